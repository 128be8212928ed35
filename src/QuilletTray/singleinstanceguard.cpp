#include "singleinstanceguard.h"

#include "logger.h"

#include <cerrno>
#include <fcntl.h>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
// A directory only this user can enter: owned by us, no rights for group or others, and not
// a link someone placed to lead the lock elsewhere.
bool isPrivateDirectory(const QByteArray& path)
{
    struct stat info
    {
    };
    return lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()
        && (info.st_mode & 077) == 0;
}

// The user's runtime directory, or a private folder in the data directory where the
// desktop session has none.
QString lockDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateDirectory(runtime))
        return QFile::decodeName(runtime);
    const QString fallback = dataDirectory() + QStringLiteral("run");
    QDir().mkpath(dataDirectory());
    const QByteArray path = QFile::encodeName(fallback);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    return isPrivateDirectory(path) ? fallback : QString();
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& instanceKey)
    : key(instanceKey)
{
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

int SingleInstanceGuard::lockFile(bool& heldByAnother)
{
    heldByAnother = false;
    const QString directory = lockDirectory();
    if (directory.isEmpty()) {
        qWarning() << "No private directory for the instance lock of" << key;
        return -1;
    }
    const QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + key + QStringLiteral(".lock"));
    const int descriptor = open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        qWarning() << "Could not open the instance lock" << QFile::decodeName(path);
        return -1;
    }
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        heldByAnother = errno == EWOULDBLOCK;
        close(descriptor);
        return -1;
    }
    return descriptor;
}

bool SingleInstanceGuard::isAnotherRunning()
{
    if (heldDescriptor >= 0)
        return false;
    bool heldByAnother = false;
    const int descriptor = lockFile(heldByAnother);
    if (descriptor < 0)
        return heldByAnother;
    close(descriptor);
    return false;
}

bool SingleInstanceGuard::tryToRun()
{
    if (heldDescriptor >= 0)
        return true;
    bool heldByAnother = false;
    heldDescriptor = lockFile(heldByAnother);
    // Only a lock that another tray holds keeps this one out; a directory or file that can't
    // be made must not leave the user without a tray.
    return !heldByAnother;
}

void SingleInstanceGuard::release()
{
    if (heldDescriptor < 0)
        return;
    close(std::exchange(heldDescriptor, -1));
}
