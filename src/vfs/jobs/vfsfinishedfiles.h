#pragma once

// The files a copy job has finished, how it left each one at the destination and whether the
// destination confirmed that it is on its disk; and what a retry does with them after a cut.
//
// A file counts as on the destination's disk once a flush sent after it was finished was
// answered before the next cut (vfsdestinationflush.h). What was finished since the last
// answered flush may be lost or wrong after a cut, however it looks: a computer that lost power
// may bring a file back at its full size with zeros inside, and a server that restarted knows
// nothing of what it wrote before, so it writes none of that out. Such a file is compared with
// its source by content (both read whole, or block by block) or sent again, and counts again
// only once a flush after that is answered.
//
// A retry passes over a confirmed file without a single request while the destination's listing
// shows it as the job left it: a regular file of the source's size and modification time, and,
// from the first listing that shows it after the job finished it, that file (its inode and
// change stamp: a file written again, renamed over or stamped anew gets another one) at the time
// that listing showed. A destination keeps the time the job set at its own precision (2 s on
// FAT, 10 ms on exFAT): the first listing is read at that precision, the later ones exactly. Its
// source must still be the version that was copied (size, time, change stamp). A file that
// differs in any of these is looked at again.
//
// Owned by its copy job and used on the job's thread only.

#include "vfs/jobs/vfscopydto.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <utility>

struct VfsCopyDestinationEntry;

class VfsFinishedFiles
{
public:
    // The coarsest time a destination keeps: FAT's two seconds.
    static constexpr qint64 kCoarsestTimeMs = 2000;

    // The job finished `source` at `dstPath`: complete, verified, under its real name, with the
    // source's times where it has them. Not confirmed before a flush sent after now is answered.
    void add(const QString &dstPath, const VfsCopyItem &source);
    int count() const { return m_left.size(); }

    // --- what the destination confirmed ------------------------------------------------------
    // A flush leaves now: it covers every file finished so far. Its number, for flushAnswered().
    quint64 flushSent() { return m_nextFlush++; }
    // That flush was answered: the files it covers are on the destination's disk, unless a cut
    // came between.
    void flushAnswered(quint64 flush);
    // A cut: a failure of the job, or the destination's link gone. What the destination has not
    // confirmed is to be checked before it counts again, and a flush out now confirms nothing.
    void cut();
    // Finished files the destination has not confirmed, those to check included.
    int unconfirmedCount() const;

    // --- the retry after a cut ------------------------------------------------------------------
    // Whether every file is confirmed: nothing to check after the cut.
    bool allConfirmed() const { return unconfirmedCount() == 0; }
    // A pass through every item of the request begins.
    void passBegins() { m_passCuts = m_cuts; }
    // Whether the file at `dstPath`, listed now as `listed`, is confirmed and still as the job
    // left it, and `source`, listed now, still the version it copied: passed over. A confirmed
    // file that is not is looked at again (and counts as finished again only once it is).
    bool stillAsLeft(const QString &dstPath, const VfsCopyItem &source, const VfsCopyDestinationEntry &listed);
    // Whether the file at `dstPath` was finished before a cut that came before the destination
    // confirmed it: compared with its source by content (or sent again) before it counts.
    bool toCheck(const QString &dstPath) const;
    // At the end of a pass: false when a cut came during it (what was finished before that cut is
    // for the next pass to check). Otherwise the files this pass was to look at again and did not
    // finish again (their source gone, left out, or found changed) are no longer finished; their
    // sources are added to `unfinished`.
    bool passComplete(QStringList *unfinished);

    // A retry after the last file goes through no folder; the destination folders of the
    // finished files are listed once each, and every finished file must be in its listing as the
    // job left it. The folders to list:
    QStringList beginFolderCheck(QChar separator);
    // Whether each finished file of `folder` is in `listed` (by name) as the job left it.
    bool folderAsLeft(const QString &folder, const std::map<QString, VfsCopyDestinationEntry> &listed);

    // Whether `listed`, a time a destination lists for a file the job gave time `set`, is that
    // time as a destination may keep it.
    static bool timeAsSet(qint64 listed, qint64 set);

private:
    enum State {
        Unconfirmed, // no flush sent after it was answered yet
        Confirmed,   // on the destination's disk
        ToCheck,     // a cut came first
        Dropped,     // found not as left: no longer finished unless finished again
    };
    struct Left
    {
        QString source;
        State state = Unconfirmed;
        quint64 flush = 0; // the first flush that covers it
        int cut = 0;       // the cut that made it one to check
        // The source's version that was copied.
        quint64 size = 0;
        qint64 mtime = 0;
        qint64 sourceChangeNs = 0;
        quint64 sourceInode = 0;
        // The destination file, once a listing has shown it (0 from a server that does not tell).
        bool seen = false;
        qint64 keptMtime = 0; // the time that listing showed
        quint64 fileId = 0;
        quint64 inode = 0;
        qint64 changeNs = 0;
    };
    // Whether the destination's entry shows the file as the job left it; the first listing that
    // does tells what it is.
    static bool destinationAsLeft(Left &left, const VfsCopyDestinationEntry &listed);

    QHash<QString, Left> m_left;
    // The files not confirmed yet, in the order they were finished, with the first flush that
    // covers each; one finished again since has a later entry.
    std::deque<std::pair<QString, quint64>> m_waiting;
    quint64 m_nextFlush = 1;
    quint64 m_firstValidFlush = 1; // a flush sent before the last cut confirms nothing
    int m_cuts = 0;
    int m_passCuts = 0; // cuts when the current pass began
    // The finished files of each destination folder, for the check of a retry after the last file.
    QHash<QString, QStringList> m_byFolder;
};
