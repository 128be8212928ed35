#pragma once

#include <QString>

// Keeps one tray per user: the running tray holds an exclusive lock on a file in the user's
// private runtime directory. The kernel drops the lock when the process ends, however it
// ends, so a crash leaves nothing behind that could keep the next tray out; and no other
// user can create or lock files in that directory.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString& instanceKey);
    ~SingleInstanceGuard();

    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    bool isAnotherRunning();
    bool tryToRun();
    void release();

private:
    // The open lock file, or -1 when the lock couldn't be taken; the lock is held while the
    // descriptor stays open.
    int lockFile(bool& heldByAnother);

    const QString key;
    int heldDescriptor = -1;
};
