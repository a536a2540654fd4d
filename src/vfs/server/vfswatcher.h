#pragma once

// The one watcher of the process: watches the directories that peers list with the watch
// flag, re-checks them now and then in case a notification was lost, keeps the local drive
// list that LIST_DRIVES serves, and announces every change as a path ("%drives" for the
// drive list). Lives on the GUI thread; FSO servers on "ioThread" may call watchDirectory
// and copyDriveCache directly.

#include "vfs/server/drives.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

// One watched directory, also the input and the result of one check.
struct WatchItem
{
    QString path;
    std::uint64_t previousHash = 0; // listing hash before the last check
    std::uint64_t hash = 0;         // listing hash of the last check
    qint64 duration = 0;            // milliseconds the last check took
    QDateTime lastCheck;
    bool exists = false;
};

Q_DECLARE_METATYPE(WatchItem)

// The watcher's intervals and mount-table source; the defaults are the production values,
// tests shorten them.
struct VfsWatcherTimings
{
    int checkMs = 10000;         // one watched directory re-hashed per tick
    int notifyMs = 50;           // spacing of announcements
    int maxNotifyDelayMs = 1000; // longest a burst of notifications may hold announcements back
    int startDriveMs = 50;       // first drive read after construction
    int deviceDriveMs = 500;     // drive read after a mount change
    int burstDriveMs = 5000;     // drive read after a burst of directory changes
    int mountPollMs = 2000;      // mount-table polling where change events are unavailable
    QString mountTable = QStringLiteral("/proc/self/mountinfo");
};

class VfsWatcherPrivate;

class VfsWatcher : public QObject
{
    Q_OBJECT

public:
    // More directories than this are not watched at once: the oldest makes room.
    static constexpr int MaxWatchedDirectories = 33;

    explicit VfsWatcher(QObject *parent = nullptr);
    explicit VfsWatcher(const VfsWatcherTimings &timings, QObject *parent = nullptr);
    ~VfsWatcher() override;

    // The single instance; null before it is made and after it is gone.
    static VfsWatcher *instance();

    // Starts watching a directory; a missing or already watched directory is ignored.
    // Safe from any thread: from another thread the work is queued to the watcher's thread.
    void watchDirectory(const QString &path);

    // A copy of the drive list ("/" and the home directory's mount first). Any thread.
    std::vector<DriveCache> copyDriveCache() const;
    // Whether the drives have been read at least once; before that the list is empty for
    // want of a look, not for want of drives. Any thread.
    bool hasDriveList() const;

    // Reads the drives now, blocking; the watcher itself does this on the thread pool.
    std::vector<DriveCache> readDrives();

    // The watch list, oldest first (watcher's thread only).
    std::vector<WatchItem> watchItems() const;

    // Hashes what a listing of the directory shows (names, inodes, modification times, sizes
    // of non-directories); a first check (hash 0) never reports a change.
    static WatchItem checkDirectory(const WatchItem &item);

Q_SIGNALS:
    // One changed directory, or "%drives"; FSO servers connect with a queued connection.
    void directoryChanged(QString path);
    // The mount table changed: the drive list is read again 500 ms later.
    void drivesChangedInternal();

public Q_SLOTS:
    void onDirectoryChanged(QString path);
    void onCheckFutureFinished();
    void onCheckTimerFired();
    void onNotifyTimerFired();
    void initDriveWatch();

private Q_SLOTS:
    void onDriveTimerFired();
    void onDriveFutureFinished();
    void onMountTableEvent();
    void onMountPollTimerFired();

private:
    void watchDirectoryHere(const QString &path);
    void queuePath(const QString &path, bool restartTimer);

    VfsWatcherPrivate *d;
};
