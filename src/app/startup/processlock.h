#pragma once

// One process at a time on a lock file: an advisory lock (flock) on the open file, held
// for as long as this object lives. The file names the holder (process id, program, host,
// one a line) for a start that finds it taken. Nothing is synced to disk: the lock lives in
// the kernel, so a crashed holder's lock goes with its process and the file it leaves is
// taken over by the next start.
//
// Any thread; one object per holder.

#include <QString>

class ProcessLock
{
public:
    explicit ProcessLock(const QString &path);
    ~ProcessLock();   // removes the file while still holding it, then lets go
    ProcessLock(const ProcessLock &) = delete;
    ProcessLock &operator=(const ProcessLock &) = delete;

    enum Result { Locked, HeldElsewhere, Failed };
    // Never waits. The file is made 0600 when missing and made private when it is not.
    Result tryLock();

    // What the file says about its holder; false (and pid 0) when it names none (yet).
    bool holder(qint64 *pid, QString *host) const;

private:
    QString m_path;
    int m_fd = -1;
};
