// The update document reader on arbitrary bytes (in the program it reads only documents whose
// signature verified, but a signed document can still be malformed). It must never crash, and
// an accepted document always names the product's web page.
#include "fuzzcheck.h"
#include "httpresponse.h"

#include <QCoreApplication>
#include <QVariant>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    silenceQtMessages();
    // The notice is read in the application's language, a property of the application object.
    static QCoreApplication app(*argc, *argv);
    app.setProperty("lang", QStringLiteral("en"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray document(reinterpret_cast<const char*>(data), qsizetype(size));
    HttpResponse response;
    const bool accepted = response.deserializeXml(document);
    FUZZ_CHECK(!accepted || !response.url().isEmpty());

    // A second object reading the same bytes comes to the same result.
    HttpResponse again;
    FUZZ_CHECK(again.deserializeXml(document) == accepted);
    FUZZ_CHECK(again.url() == response.url());
    FUZZ_CHECK(again.notice() == response.notice());
    FUZZ_CHECK(again.version().components() == response.version().components());

    // Reading a document again leaves the object as one reading leaves it.
    FUZZ_CHECK(again.deserializeXml(document) == accepted);
    FUZZ_CHECK(again.url() == response.url());
    FUZZ_CHECK(again.version().components() == response.version().components());
    return 0;
}
