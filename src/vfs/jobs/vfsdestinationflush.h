#pragma once

// The flushes of a copy job's destination: the destination is asked to put on its disk what the
// job wrote there (FSO_SYNC), one request per file system written to since the last flush it
// confirmed, one after the other. A file system is reached through any folder of it the job still
// knows: one the user renamed or deleted meanwhile answers "not found" (and so do the folders
// below it), and the next is tried. While the job copies, a flush leaves once something written
// has waited a moment, one at a time, so that a cut finds little the destination has not
// confirmed (vfsfinishedfiles.h); the job's end sends one of its own.
//
// Owned by its copy job and used on the job's thread only; the answers come back through the
// job's `post`, like those of the block transfer.

#include "vfs/fso/vfsclient.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

class VfsDestinationFlush
{
public:
    enum Outcome {
        NotSent,
        Pending,
        Confirmed,  // every file system flushed is on its disk
        Failed,     // one answered that it could not write it out: status(), folder()
        FolderGone, // no folder of a file system written to is left to reach it through: folder()
        LinkLost,   // unanswered, the link dropped (or looked as if)
        Unanswered, // unanswered while the link stayed up: a slow disk, or a peer that does not
                    // know the request
    };
    // An end's flush unanswered while the link stays up is taken for a cut while the destination
    // has confirmed a flush of the job before (a link that drops for a moment may stay up), this
    // many times in a row at most.
    static constexpr int kUnansweredFinalsAsCuts = 3;

    struct Events
    {
        std::function<void(std::function<void()>)> post;
        // Runs a closure on the job's thread after `ms`, or never once the job is gone.
        std::function<void(int ms, std::function<void()>)> later;
        std::function<bool()> linkUp;  // whether the destination's link is up
        std::function<quint64()> sent; // a flush leaves now: its number (VfsFinishedFiles::flushSent)
        // A flush ended; `final` for the job's end.
        std::function<void(quint64 flush, Outcome outcome, bool final)> ended;
    };

    explicit VfsDestinationFlush(Events events);
    ~VfsDestinationFlush();
    VfsDestinationFlush(const VfsDestinationFlush &) = delete;
    VfsDestinationFlush &operator=(const VfsDestinationFlush &) = delete;

    // A folder on `volume` (0: not told) that exists at the destination: a flush of that file
    // system may go through it.
    void knowFolder(const QString &folder, quint64 volume);
    // The job wrote into `folder` (made, or put a file in it): its file system is flushed next.
    void noteWritten(const QString &folder, quint64 volume);
    // From now until stop(), a flush leaves `intervalMs` after the first write no flush covers
    // yet, and no sooner after the last one than that one took: a slow disk spends at most half
    // its time writing out for the flushes. One that fails or goes unanswered ends them until
    // the next stop(): the end's flush says what it means, and a cut (whose requests went
    // unanswered too) starts them again.
    void flushWhileCopying(VfsClient *destination, int intervalMs);
    // The end's flush, replacing one out; its outcome is finalOutcome().
    void sendFinal(VfsClient *destination);
    Outcome finalOutcome() const { return m_finalOutcome; }
    quint8 status() const { return m_status; }
    QString folder() const { return m_folder; }
    bool busy() const { return m_busy; }
    // Withdraws the request out (it is never answered), stops the flushes while copying, and
    // forgets the end's outcome: after a cut, or at the end of the job.
    void stop();

private:
    struct Volume
    {
        QStringList folders;   // the most recently written first
        QSet<QString> known;
        quint64 written = 0;   // the last write into it
        quint64 flushed = 0;   // the last write a confirmed flush covered
        quint64 covering = 0;  // the last write the flush out covers
    };
    void schedule();
    void send(bool final);
    void sendNext();
    void onAnswer();
    void end(Outcome outcome);
    static QString keyOf(const QString &folder, quint64 volume);

    Events m_events;
    std::map<QString, Volume> m_volumes;
    quint64 m_writes = 0;
    QPointer<VfsClient> m_dst;
    VfsSyncJob m_record;
    bool m_busy = false;
    QStringList m_round;   // the file systems this flush still has to go through
    quint64 m_flush = 0;   // its number
    bool m_final = false;
    Outcome m_finalOutcome = NotSent;
    quint8 m_status = 0;
    QString m_folder;
    int m_intervalMs = 0;
    bool m_whileCopying = false;
    bool m_gaveUp = false;      // a flush while copying failed or went unanswered since stop()
    bool m_anyConfirmed = false;
    int m_unansweredFinals = 0; // since a flush was confirmed
    QElapsedTimer m_unflushed;  // since the first write no flush covers
    QElapsedTimer m_sent;       // since the flush out, or the last one, left
    QElapsedTimer m_ended;      // since the last one ended
    qint64 m_tookMs = 0;        // how long it took
    bool m_due = false;         // a wake-up for the next flush is armed
    int m_dueRound = 0;         // a wake-up armed before the last stop() is void
};
