// The configuration reader on arbitrary file contents, read from the file as the tray does.
// A file it can't use throws AppException and nothing else; a file it accepts yields every value.
#include "appexception.h"
#include "fuzzcheck.h"
#include "quilletconfig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {
QString configPath;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silenceQtMessages();
    // The reader looks for ../etc/Quillet.conf from the current directory, as beside the program.
    static QTemporaryDir root;
    if (!root.isValid() || !QDir(root.path()).mkpath(QStringLiteral("bin"))
        || !QDir(root.path()).mkpath(QStringLiteral("etc"))
        || !QDir::setCurrent(root.filePath(QStringLiteral("bin"))))
        std::abort();
    configPath = root.filePath(QStringLiteral("etc/Quillet.conf"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        QFile file(configPath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }

    QuilletConfig config;
    try {
        config.loadConfig();
    } catch (const AppException& error) {
        FUZZ_CHECK(!error.generalMessage().isEmpty());
        return 0;
    }

    FUZZ_CHECK(!config.url().isEmpty());
    FUZZ_CHECK(!config.downloadUrl().isEmpty());
    const QString version = config.version().toString(3);
    const bool checkUser = config.checkUser();

    // Reading the same file again gives the same values.
    QuilletConfig again;
    again.loadConfig();
    FUZZ_CHECK(again.checkUser() == checkUser);
    FUZZ_CHECK(again.url() == config.url());
    FUZZ_CHECK(again.downloadUrl() == config.downloadUrl());
    FUZZ_CHECK(again.version().toString(3) == version);
    return 0;
}
