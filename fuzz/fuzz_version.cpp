// Version parsing and ordering. Update decisions compare versions, so the order must be a
// strict weak order on whatever texts arrive, and a version must survive its own text form.
#include "fuzzcheck.h"
#include "version.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {
Version consumeVersion(FuzzedDataProvider& provider)
{
    const std::string text = provider.ConsumeRandomLengthString(64);
    return Version(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

bool equivalent(const Version& a, const Version& b)
{
    return !(a < b) && !(b < a);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const Version a = consumeVersion(provider);
    const Version b = consumeVersion(provider);
    const Version c = consumeVersion(provider);

    for (const Version* v : {&a, &b, &c}) {
        FUZZ_CHECK(!(*v < *v));
        const Version reread(v->toString());
        FUZZ_CHECK(reread.components() == v->components());
        FUZZ_CHECK(equivalent(reread, *v));
        FUZZ_CHECK(v->toString(3).count(QLatin1Char('.')) == 2);
    }
    FUZZ_CHECK(!(a < b && b < a));
    if (a < b && b < c)
        FUZZ_CHECK(a < c);
    // Equivalence is transitive too, so equal versions sort together.
    if (equivalent(a, b) && equivalent(b, c))
        FUZZ_CHECK(equivalent(a, c));
    // Exactly one of less, greater or equivalent.
    FUZZ_CHECK(int(a < b) + int(b < a) + int(equivalent(a, b)) == 1);
    return 0;
}
