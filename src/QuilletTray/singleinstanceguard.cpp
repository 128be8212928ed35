#include "singleinstanceguard.h"

#include <QCryptographicHash>

namespace {
QString keyHash(const QString& key, const QString& salt)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(key.toUtf8());
    hash.addData(salt.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& instanceKey)
    : key(instanceKey)
    , memLockKey(keyHash(instanceKey, QStringLiteral("_memLockKey")))
    , sharedmemKey(keyHash(instanceKey, QStringLiteral("_sharedmemKey")))
    , sharedMem(sharedmemKey)
    , memLock(memLockKey, 1, QSystemSemaphore::Open)
{
    // A tray that died without clean-up leaves its segment behind; attaching and
    // detaching once frees a segment that no live process holds any more.
    memLock.acquire();
    {
        QSharedMemory leftover(sharedmemKey);
        leftover.attach();
    }
    memLock.release();
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

bool SingleInstanceGuard::isAnotherRunning()
{
    if (sharedMem.isAttached())
        return false;

    memLock.acquire();
    const bool attached = sharedMem.attach();
    if (attached)
        sharedMem.detach();
    memLock.release();

    return attached;
}

bool SingleInstanceGuard::tryToRun()
{
    if (isAnotherRunning())
        return false;

    memLock.acquire();
    const bool created = sharedMem.create(8);
    memLock.release();

    if (!created) {
        release();
        return false;
    }
    return true;
}

void SingleInstanceGuard::release()
{
    memLock.acquire();
    if (sharedMem.isAttached())
        sharedMem.detach();
    memLock.release();
}
