#pragma once

// Copies the items of one request from a source peer to a destination peer (either may be
// the local computer, both may be the same). Runs on "ioThread"; the job windows read its
// properties from the GUI thread.
//
// Two passes: the first counts files and bytes (crawling folders, creating nothing), the
// second creates folders and copies files block by block (vfsblocktransfer.h). A transient
// failure (a peer gone, a request without reply) waits until every request of the job is
// answered, closes what it opened, pauses and starts over; blocks already copied are
// recognised by their digests. A failure that would only repeat (missing source, a folder
// where a file should go, the same file under two names) ends the job as aborted with a
// prompt that says why. An item that cannot be read or written is asked about (skip, skip
// all, retry, abort) when a window answers questions, else left out after one retry; every
// item left out is counted as an error and listed (leftOutItems()). A file the destination's
// disk had no room for after a few pauses is treated the same way. The hidden file of one
// the job will not finish (skipped, left out) is deleted; a cancel deletes the hidden files
// the job made and names those it keeps (an earlier copy's, or out of reach). A pause says
// why the job waits; so does a wait for a computer that stopped answering before its link
// gives up (vfsstallwatch.h). After a pause the figures stay where they were until the new
// count reaches them. Every path in a text is named as the panes name it (vfscopypathnames.h).
//
// Data safety: a file is written under a hidden name in its destination folder
// (partialName()) and renamed to its real name only after its whole content was written and
// its length verified; only then it is closed and gets the source's times. So an unfinished
// file never carries the real name, and a later copy resumes from the hidden one. The hidden
// file is the job's own: made new (exclusively) where there was none, and held open from
// then until it has its real name, as a server lets no second open write a file one holds.
// A hidden file another copy holds (one of the same name, from another source) is left as
// it is: the job pauses and tries again, and once the other copy has taken the real name it
// asks whether to replace it, as it asks when the real name is taken at its end. A file the
// user allowed to be replaced is first renamed to the hidden name, so its
// blocks that already match are kept. One of the source's size is only read first: if it
// holds the source's content already, it is left as it is (its name and change stamp; its
// time and mode are set only where they differ), so that a copy reading it at the same time
// (the other computer copying it the other way) neither loses it nor sees it change; else it
// is replaced as any other, its matching blocks kept. The job remembers which source files it
// finished, so that a cut deletes nothing else. Before its end it lists the finished sources
// again: one whose size, modification time or change stamp (change time and inode, which no
// one can put back) moved since it was listed for the copy may have been read half old, half
// new, and is copied again, by a copy and a cut alike; one that keeps changing is named and
// never counted copied. One that is gone arrived whole all the same: it is named where it
// arrived, and the job ends without a retry that could not find it (a cut has nothing left
// to delete of it). Copies get the source's permission bits with their times.
//
// Small files that are new at the destination go several at a time through a lane of their
// own (vfssmallfilelane.h); whatever is unusual about one of them sends it back here. A retry
// passes over the files the job finished before it that the destination confirmed and that are
// still as it left them (vfsfinishedfiles.h), and the lane takes what a failure left unfinished
// of the small ones, and compares those it finished but the destination had not confirmed.
//
// Durability: servers don't flush each file as it closes. While the job copies, it asks the
// destination now and then to write out the file systems it wrote to (FSO_SYNC,
// vfsdestinationflush.h), and once more before it reports its end (and before a cut may delete a
// single source). A file counts as on the destination's disk only once such a flush sent after it
// was finished was answered before the next cut; a retry passes over only those, and checks what
// it finished since by content before it counts again (vfsfinishedfiles.h), after a cut at the end
// as well. A destination that refuses fails the job; one that does not answer in time (a slow
// disk, or a peer that does not know the request) is reported, and a cut then keeps its sources.
// A flush that finds no folder left to reach its file system through ends the job saying so.
//
// A cut ends with the delete of the sources it copied (vfscopyjobcut.cpp), many at a time
// (vfsdeletejob.h), before the job reports its end: its window stays until the move is
// done and counts the deletes. A delete without an answer waits for the source to be
// reached again, as the copy does; what the move keeps at the source is listed with the
// items left out.

#include "peers/ipeer.h"
#include "vfs/jobs/vfsblocktransfer.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfscopypathnames.h"
#include "vfs/jobs/vfsdestinationflush.h"
#include "vfs/jobs/vfsfinishedfiles.h"
#include "vfs/jobs/vfsjob.h"
#include "vfs/jobs/vfsjobtimings.h"
#include "vfs/jobs/vfsleftoutlist.h"
#include "vfs/jobs/vfsowndestinations.h"
#include "vfs/jobs/vfssmallfilelane.h"
#include "vfs/jobs/vfsstallwatch.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPair>
#include <QMutex>
#include <QPointer>
#include <QSet>

#include <atomic>
#include <functional>
#include <map>

class VfsClient;
class VfsDeleteJob;

struct VfsCopyDestinationEntry
{
    int type = VfsCopyItem::NoType;
    quint64 size = 0;
    qint64 mtime = 0;
    quint64 fileId = 0;
    quint32 links = 0;
    // The version stamp, where the server tells it (0 otherwise).
    qint64 changeNs = 0;
    quint64 inode = 0;
    qint32 permissions = -1;
};

struct VfsCopyBatch
{
    QString srcPath;
    QString dstPath;
    QString renameFrom;
    QString renameTo;
    VfsCopyItem item;
    std::vector<VfsCopyItem> children;
    // What the destination folder held when it was listed, by name.
    std::map<QString, VfsCopyDestinationEntry> dstEntries;
    quint64 dstVolume = 0;
};

class VfsCopyJob : public VfsJob
{
    Q_OBJECT
    Q_PROPERTY(QString bytesCopied READ bytesCopied NOTIFY bytesCopiedChanged)
    Q_PROPERTY(QString bytesTotal READ bytesTotal NOTIFY bytesTotalChanged)
    Q_PROPERTY(double percentDone READ percentDone NOTIFY percentDoneChanged)
    Q_PROPERTY(int totalFileCount READ totalFileCount NOTIFY totalFileCountChanged)
    Q_PROPERTY(QString userActionPrompt READ userActionPrompt NOTIFY userActionPromptChanged)
    Q_PROPERTY(QString currentFile READ currentFile NOTIFY currentFileChanged)
    Q_PROPERTY(QString writeSpeed READ writeSpeed NOTIFY writeSpeedChanged)
    Q_PROPERTY(QString remainingTime READ remainingTime NOTIFY remainingTimeChanged)
    Q_PROPERTY(QString waitingText READ waitingText NOTIFY waitingTextChanged)
    Q_PROPERTY(int sourcesToDelete READ sourcesToDelete NOTIFY sourcesDeletedChanged)
    Q_PROPERTY(int sourcesDeleted READ sourcesDeleted NOTIFY sourcesDeletedChanged)

public:
    enum CopyState {
        CopyStateStart = 0,
        CopyStateNextItem = 1,
        CopyStateOpenSource = 2,
        CopyStateOpenDestination = 3,
        CopyStateCloseSource = 4,
        CopyStateCloseDestination = 5,
        CopyStateTransfer = 6,
        CopyStateMakeDirectory = 7,
        CopyStateReadDirectory = 8,
        CopyStateFolderTimes = 9,
        CopyStateError = 10,
        CopyStateFinished = 11,
        CopyStateRestart = 12,
        CopyStateSmallFiles = 13, // small new files through the lane, then the ones it gave back
        CopyStateDeleteSources = 14, // after a cut: the copied sources are deleted
    };

    static constexpr int kFatalErrorCount = 1000000;
    // Times a file that changed while it was copied is copied again before it is reported.
    static constexpr int kMaxChangedCopies = 3;
    // Pauses for a full destination disk on one file before the job asks about it (or,
    // without a window, leaves it out): a file larger than the free space never fits.
    static constexpr int kMaxNoRoomPauses = 3;

    explicit VfsCopyJob(QObject *parent = nullptr);
    ~VfsCopyJob() override;

    // Inputs, set before the start on the thread that made the job.
    void setPeers(IPeer *source, IPeer *destination);
    void setRequest(const VfsCopyDto &request);
    const VfsCopyDto &request() const { return m_request; }
    // Names to give items of a peer's "%shares" root (path -> shown name), resolved from
    // the file model before the start so the job never reads a model.
    void setShareNames(const QHash<QString, QString> &names) { m_shareNames = names; }
    // The pause before a retry, the delays before the job deletes itself, the silence after
    // which it says what it waits for.
    void setTimings(const VfsJobTimings &timings);
    void setRetryDelay(int ms) { m_timings.retryDelayMs = ms; }
    void setDeleteDelays(int finishedMs, int abortedMs);
    // Set by the owner of a job window: an item that cannot be read or written (and would
    // fail the same way again) is asked about at once. Without, it is left out after one
    // retry and the job goes on. May be set from any thread.
    void setAsksOnFailure(bool asks) { m_asksOnFailure = asks; }
    bool asksOnFailure() const { return m_asksOnFailure.load(); }

    QString bytesCopied() const;
    QString bytesTotal() const;
    double percentDone() const;
    int totalFileCount() const { return m_fileCount.load(); }
    QString userActionPrompt() const;
    QString currentFile() const;
    QString writeSpeed() const;
    QString remainingTime() const;
    // Which computer the job waits for while nothing comes back (vfsstallwatch.h); empty
    // while data moves.
    QString waitingText() const;
    // Files that arrived whole whose sources were deleted meanwhile (their sources could not
    // be listed again at the end), named where they arrived. Read on any thread.
    QStringList sourcesGone() const;

    // Whole figures as the window shows them, for the peer host and the tests.
    quint64 bytesCopiedCount() const { return shownCopied(); }
    quint64 bytesTotalCount() const { return shownTotal(); }
    // Bytes of every write sent to the destination, retries and unanswered ones included.
    quint64 bytesWrittenCount() const { return m_bytesSent.load(); }
    qint64 bytesPerSecond() const { return m_speed.load(); }
    int copyState() const { return m_copyState.load(); }
    int errorCount() const { return m_errorCount.load(); }
    VfsCopyResult result() const;
    // The items left out so far with why, the first VfsLeftOutList::kMaxShown of them, and
    // how many were left out in all. Read on any thread.
    QVector<VfsLeftOutItem> leftOutItems() const;
    int leftOutCount() const;
    // After a cut: the source files to delete, and those done with (deleted or kept); the
    // folders are deleted with them but not counted. Read on any thread.
    int sourcesToDelete() const { return m_sourcesToDelete.load(); }
    int sourcesDeleted() const { return m_sourcesDeleted.load(); }

    // The remaining-time text for an estimate of `seconds` when `percentDone` of the copy is
    // done ("nearly done" only from kNearlyDonePercent on).
    static constexpr double kNearlyDonePercent = 80.0;
    static QString remainingTimeText(qint64 seconds, double percentDone = 100.0);
    // Percent of copied of total, always within 0..100.
    static double percentOf(quint64 copied, quint64 total);
    // "%1 %2%3" candidate names for a copy of `name` into its own folder.
    static QString duplicateName(const QString &name, bool isFolder, int n);
    // The hidden name a file called `name` is written under until it is complete; the same
    // for every run of a copy, so that a resumed copy finds it.
    static QString partialName(const QString &name);
    // Whether `name` is such a hidden name: an unfinished copy, never itself copied along.
    static bool isPartialName(const QString &name);

public Q_SLOTS:
    void abort() override;
    VfsJobState state() const override;
    void process(int action) override;
    bool userActionEnabled(int action) const;
    void skipCurrentItem();
    void replaceCurrentItem();
    void replaceAllItems();
    // Answers to the question about an item that cannot be read or written (Skip and
    // Abort are the slots above).
    void skipAllItems();
    void retryCurrentItem();

    void onOpenFileJobUpdate(VfsOpenFileJob *job);
    void onCloseFileJobUpdate(VfsCloseFileJob *job);
    void onListDirectoryJobUpdate(VfsListDirectoryJob *job);
    void onMakeDirectoryJobUpdate(VfsMakeDirectoryJob *job);
    void onMoveJobUpdate(VfsMoveJob *job);
    void onDeleteFileJobUpdate(VfsDeleteFileJob *job);

Q_SIGNALS:
    void bytesCopiedChanged();
    void bytesTotalChanged();
    void percentDoneChanged();
    void totalFileCountChanged();
    void userActionPromptChanged();
    void currentFileChanged();
    void writeSpeedChanged();
    void remainingTimeChanged();
    void waitingTextChanged();
    // Emitted once, right before jobFinished(), with what was copied.
    void copyCompleted(VfsCopyDto request, VfsCopyResult result);
    void leftOutChanged();
    void sourcesDeletedChanged();

private:
    VfsBlockTransfer::Events transferEvents();
    // Runs an answer of the transfer or the lane on the job's thread, once the stall watch
    // heard of it.
    void postAnswer(std::function<void()> work);
    // The side (VfsStallWatch::Side) whose computer answered this record.
    int answeringSide(const void *record) const;
    VfsSmallFileLane::Events laneEvents();
    // Passes over the files of the current folder that are finished already and hands the
    // small ones that are new, or that a failure left unfinished, to the lane; false when the
    // lane has none.
    bool startLane();
    bool laneFileOf(const VfsCopyItem &item, VfsSmallFileLane::File *file) const;
    void beginLane(std::vector<VfsSmallFileLane::File> files);
    void stateSmallFiles(int action);
    VfsDestinationFlush::Events flushEvents();
    // Before the end: what the job finished is confirmed on the destination's disk or checked
    // again; true once it is (or the destination does not know how). After a pass through every
    // item, what it was to check and did not finish again no longer counts; after a retry that
    // went through no folder, every finished file must still be listed as the job left it.
    bool settleFinished(int action);
    bool checkFinishedFolders(int action);
    bool syncDestination();
    void noteWrittenFolder(const QString &folder, quint64 volume);
    void onTransferAnswered();
    // The sides (VfsStallWatch::Side bits) the job waits for an answer from while it runs.
    int sidesWaitedFor() const;
    void onStallChanged();
    void onBytesWritten(quint64 n);
    bool storeUiText(QString &field, const QString &text);
    // start
    void stateStart(int action);
    void beginStartListings();
    void startNextListing();
    // Sends the job's one listing record out for `path`; its answer comes as a reply step.
    void requestOwnListing(VfsClient *client, const QString &path);
    void onStartListing();
    void finishStart();
    void resolveDuplicateNames();
    // states
    void stateNextItem(int action);
    void stateOpenSource(int action);
    void stateOpenDestination(int action);
    // Asks whether the existing destination file (`existing`) is replaced by the current item.
    void askReplace(const VfsCopyDestinationEntry &existing);
    // Leaves the current file out without a word (skipped, or skipped with every later clash).
    void skipClash();
    // Whether the existing destination file is the current source itself, reached through
    // another computer: the same inode with the same change stamp, size and time.
    bool isSourceItself(const VfsCopyDestinationEntry &existing) const;
    // The current file is already where it should go: nothing to write.
    void keepSourceItself();
    // Opens the existing destination file `existing` for reading, to see whether it holds the
    // current file's content already; the reply steps the job.
    void openForCheck(const VfsCopyDestinationEntry &existing);
    // Whether the finished file is to get the source's times and mode.
    bool attributesToSet() const;
    // The current file is under its real name now, as the job left it: complete with its
    // times, or with its times still to be set.
    void leaveDestination(bool withTimes);
    // Sends the open of `path` for reading; its handle is the one `openFor` names, and the
    // reply steps the job.
    void openForReading(VfsClient *client, const QString &path, int openFor);
    // A file that failed the same way too often (changed under every read, no room for it
    // after several pauses) is asked about or left out before it is written again; true
    // when it was.
    bool leftOutAsRepeating();
    // Deletes the hidden file of the current item when this job wrote it and will not
    // finish it; true while the delete is out (its reply steps the job).
    bool discardOwnPartial();
    // Sends the delete of the hidden file `path`; its reply steps the job.
    void sendPartialDelete(const QString &path);
    // Takes the answer of the delete sent last; true when its file is gone.
    bool takePartialDelete();
    // After a cancel, the hidden files this job made go, one delete at a time (true while
    // one is out); what stays, made by an earlier copy or out of reach, is named.
    bool removeMadePartials();
    void nameKeptPartials();
    // Renames `from` to `to` in the destination folder; the reply steps the job.
    void sendMove(const QString &from, const QString &to, bool replace);
    // Gives `dstPath` the item's times and mode through an attribute open; the reply steps
    // the job.
    void sendAttributes(const VfsCopyItem &item, const QString &dstPath);
    // The rename of the finished hidden file to its real name, then its times.
    void stateFinishDestination(int action);
    void stateClose(int action);
    void stateMakeDirectory(int action);
    void stateReadDirectory(int action);
    void stateFolderTimes(int action);
    void pendingFolderDone();
    void stateError(int action);
    void stateRestart(int action);
    void stateFinished(int action);
    // After the copy of a cut: deletes what it copied (vfscopyjobcut.cpp).
    bool hasSourcesToDelete() const;
    void stateDeleteSources(int action);
    void startSourceDelete();
    void onSourceDeleteStateChanged();
    void onSourceDeleteEnded();
    // Lists sources the move copied but keeps, with why.
    void keepAtSource(const QStringList &paths, const QString &reason);
    // After the copy of a cut: the finished sources are listed again; one that changed since
    // it was copied is left out of the result, so the delete that follows keeps it.
    bool verifySources(int action);
    // The source of finished file `index` of the result was not there when it was listed again.
    void noteSourceGone(int index);
    // The folder of finished file `index` of the result could not be listed where it was.
    void noteSourceNotFound(int index);
    void stateTransfer(int action);
    // Another file took the real name while the current one was copied: with what the folder
    // holds now, the file is taken again from its start, where the question is asked.
    void retakeAfterNameTaken(int action);
    // The answer to a listing of the destination's folder `folder` becomes what the job knows
    // of it; false, with the job failing, when there is none.
    bool takeDestinationListing(const QString &folder);
    // Sends the figures that changed to the window, at most every kPublishMs; held back, they
    // go out when the interval is over.
    void emitChanges();
    void publishLater(qint64 ms);
    // Bytes were written, but too shortly for a first speed.
    bool firstSpeedDue() const;
    void sampleSpeed();

    void setJobState(int state, int line);
    // While a computer of the copy cannot be reached, the prompt says which one the job waits
    // for; true when one is away.
    bool sayWhichPeerIsAway();
    void abortJob(const QString &reason, int line);
    // Ends the job as aborted, with a prompt telling the user why and naming `shownPath` (the
    // item it failed on as a person reads it, when there is one); no retry.
    void failJob(const char *messageId, const char *english, const QString &shownPath, const QString &reason,
                 int line);
    // A path of either side as the texts name it (vfscopypathnames.h).
    QString shownSource(const QString &path) const;
    QStringList shownSources(const QStringList &paths) const;
    QString shownDestination(const QString &path) const;
    void setPrompt(const QString &text);
    // Whether a request about `key` failed with `status` before a retry already (and the
    // failure is one that would only repeat); remembers the first time.
    bool failsAgain(const QString &key, quint8 status);
    // Counts `path` (of the source, or of the destination) as an error, names it in the
    // prompt and lists it with `reason` (a general one when empty); the job goes on without it.
    void leaveOut(const QString &path, const QString &reason = QString(),
                  VfsCopyPathNames::Side side = VfsCopyPathNames::Source);
    // Which failure an item that cannot be read or written meets; "skip all" skips the
    // later ones of the same kind.
    enum FailureKind { FailureUnreadable = 0, FailureUnwritable = 1, FailurePathTooLong = 2, FailureNoRoom = 3 };
    struct Failure
    {
        int kind = FailureUnreadable;
        QString shownPath;      // named in the question
        QStringList items;      // left out by Skip
        QString incompleteBelow; // left out without a question when something below it was
        std::function<void()> skip;  // goes on without the items
        std::function<void()> retry; // sends the failed request again
    };
    // A request that failed with `status` in a way that would only repeat: asks, when the
    // job has someone to ask; leaves the items out when they were skipped before or after
    // one retry of the job (keyed by `key`). False when the caller takes the retry cycle.
    bool repeatingFailure(quint8 status, const QString &key, const QString &sentPath, Failure failure);
    void askAboutFailure(Failure failure);
    Failure unlistedParent(const QString &path);
    // The current file, which cannot be written at the destination (its retry is the caller's).
    Failure unwritableCurrentFile();
    // After a close the destination answered with an error: asked about, left out or retried.
    void failedClose();
    // A close of the destination file that its file system answered with an error: true when
    // it is asked about or left out rather than retried with the job.
    bool closeFailsAgain();
    void leaveOutFailure(const Failure &failure);
    // Ends the failure question; true when there was one.
    bool takeFailure(Failure &failure);
    static QString failureReason(int kind);
    // The message naming every item left out; empty when none was.
    QString leftOutPrompt() const;
    void setCurrentFile(const QString &text);
    void addBytesCopied(quint64 n);
    // The figures the window shows: the counts, or what a pause held while they are below.
    quint64 shownCopied() const;
    quint64 shownTotal() const;
    bool anyRecordBusy() const;
    void releaseAllRecords();
    // At the end of a job: withdraws every request except opens and closes, which are
    // waited for so that no handle is left open or closed twice.
    void withdrawForEnd();
    // Takes the handle of an open that was answered while the job was ending.
    void adoptAnsweredOpen();
    // Closes what is open (but the destination's handle with `keepDestination`); true when
    // nothing else is open any more.
    bool closeHandles(bool keepDestination = false);
    void handleUserAbort(int action);

    QString joinDst(const QString &folder, const QString &name) const;
    QString joinSrc(const QString &folder, const QString &name) const;
    QString srcName(const QString &path) const;
    QString srcParent(const QString &path) const;
    QString destinationName(const VfsCopyItem &item) const;
    bool sameIdentity(quint64 volA, quint64 idA, quint64 volB, quint64 idB) const;
    // The destination folder and every folder above it (the root excluded).
    QStringList destinationChain() const;
    // `dstPath`: where the file arrived under its real name.
    void noteFinished(const VfsCopyItem &item, const QString &dstPath);
    // The copy of `source` the job finished is not at the destination as it left it: the file
    // counts as copied only once it is copied again.
    void forgetFinished(const QString &source);
    // The job itself wrote the file there just now; a retry may pass over it (vfsfinishedfiles.h).
    void noteWritten(const VfsCopyItem &item, const QString &dstPath);
    bool samePeer() const;
    bool isOwnListing(VfsListDirectoryJob *job) const { return job == &m_list; }

    // --- plan: what to copy where, fixed before the start or by the start phase -------------
    VfsCopyDto m_request;
    std::vector<VfsCopyItem> m_items; // the request's items, refreshed and renamed
    bool m_namesResolved = false;
    QHash<QString, QString> m_shareNames;
    VfsCopyPathNames m_names;
    QPointer<IPeer> m_srcPeer;
    QPointer<IPeer> m_dstPeer;
    QPointer<VfsClient> m_src;
    QPointer<VfsClient> m_dst;
    QChar m_srcSep = QLatin1Char('/');
    QChar m_dstSep = QLatin1Char('/');
    VfsJobTimings m_timings;
    bool m_countingPass = true;
    // start phase: listings of the items' parents, then of the destination
    int m_startPhase = 0;
    QStringList m_startParents;
    int m_startIndex = 0;
    QHash<QString, QPair<quint64, quint64>> m_identity; // folder -> (volume, file id)

    // --- cursor: where the copy stands --------------------------------------------------------
    std::atomic<int> m_copyState{CopyStateStart};
    std::vector<VfsCopyItem> m_work;
    std::vector<VfsCopyBatch> m_batches;
    VfsCopyItem m_pendingFolder;
    QString m_pendingFolderDst;
    QString m_curDstFolder;
    std::map<QString, VfsCopyDestinationEntry> m_curDstEntries;
    quint64 m_curDstVolume = 0;
    quint64 m_curDstFolderId = 0;
    quint64 m_curSrcFolderId = 0;
    quint64 m_curSrcVolume = 0;
    VfsCopyItem m_curItem;     // the file being copied
    QString m_curDstPath;      // the real name
    QString m_curPartPath;     // the hidden name it is written under
    bool m_curMayReplace = false; // the final rename may replace what holds the real name
    bool m_movingAside = false;   // an existing file is being renamed to the hidden name
    quint64 m_curFileSize = 0;
    bool m_curDstFresh = false;   // the destination file was new or empty when opened
    bool m_curFileComplete = false;
    bool m_skipping = false;
    // An existing destination of the source's size, read before it is replaced: open for the
    // check, found to hold the content (left as it is), or found to differ (then closed, and
    // written the usual way).
    bool m_checkingInPlace = false;
    bool m_curInPlace = false;
    bool m_inPlaceChecked = false;
    bool m_writeAfterCheck = false;
    quint64 m_checkBaseline = 0;   // bytes copied when the check began
    VfsCopyDestinationEntry m_curExisting;
    int m_restartPhase = 0;
    // Every item had arrived: a failure in the checks at the end retries only those, so a link
    // that drops every few seconds need not carry all the job's listings in one short window.
    bool m_copyPassDone = false;
    // The destination folders of the finished files that such a retry lists before it goes on.
    QStringList m_foldersToCheck;
    // After the source's close: 0 the rename to the real name, 1 the destination's close, 2 the
    // times; 3 the listing after another file took the real name meanwhile (m_nameTakenAtEnd);
    // 4 the rename back to the hidden name after the close failed.
    int m_closePhase = 0;
    bool m_nameTakenAtEnd = false;
    QStringList m_verifyFolders;
    // Sources found changed after they were copied, and how often the job copied again.
    QSet<QString> m_changedSources;
    int m_changedCopies = 0;
    // Per source file: transfers that failed because it changed while read, and pauses
    // because the destination disk was full.
    QHash<QString, int> m_changedReads;
    QHash<QString, int> m_noRoomPauses;
    // Hidden files this job wrote and has not renamed to their real names yet, and whether it
    // made them (none was there before). A skip deletes the file; a cancel deletes those it
    // made and names the others, which a later copy resumes.
    QHash<QString, bool> m_ownPartials;
    bool m_curPartialMade = false;  // the open of the current file makes its hidden file
    QSet<QString> m_removalSent;    // after a cancel: made files whose delete went out
    // Files whose open failed once, and those left out after failing again.
    QSet<QString> m_failedOnce;
    VfsLeftOutList m_leftOut;       // under m_uiMutex
    std::atomic<bool> m_asksOnFailure{false};
    std::atomic<bool> m_failureQuestion{false};
    Failure m_failure;
    QSet<int> m_skipAllKinds;
    int m_verifyIndex = -1;
    bool m_sourcesVerified = false;
    // The user's answers to replace questions.
    bool m_questionPending = false;
    bool m_replaceCurrent = false;
    bool m_replaceAll = false;
    bool m_skipAllClashes = false;   // "Skip all" answered to a name clash
    bool m_requestReplaceApplied = false;
    QStringList m_replaceList;
    // Destination files this job left under their real names: a retry replaces one without
    // asking only while it is as the job left it (vfsowndestinations.h).
    VfsOwnDestinations m_ownDestinations;
    // Destinations whose final rename was sent but never answered. After a retry a file of
    // the source's size there, with no hidden file left, is taken as the one it made.
    QSet<QString> m_maybeOwnDestinations;

    // --- in flight: open handles and the records lent to the clients --------------------------
    VfsBlockTransfer m_transfer;
    quint16 m_srcHandle = 0;
    quint16 m_dstHandle = 0;
    VfsOpenFileJob m_open;
    bool m_openBusy = false;
    // Which handle the open in flight will give: an abort waits for it and closes it.
    enum { OpenForNothing = 0, OpenForSource = 1, OpenForDestination = 2 };
    int m_openFor = OpenForNothing;
    VfsCloseFileJob m_closeSrc;
    bool m_closeSrcBusy = false;
    VfsCloseFileJob m_closeDst;
    bool m_closeDstBusy = false;
    bool m_dstCloseFailed = false;
    VfsListDirectoryJob m_list;
    bool m_listBusy = false;
    bool m_listFromSource = true;
    VfsMakeDirectoryJob m_mkdir;
    bool m_mkdirBusy = false;
    VfsMoveJob m_move;
    bool m_moveBusy = false;
    VfsDeleteFileJob m_delete;
    bool m_deleteBusy = false;
    bool m_deleteAnswered = false;

    // --- small files: the lane, whether the current folder's files were offered to it, the
    // files it gave back (and whether a request for them went unanswered), and the listing that
    // tells the one-at-a-time path what it left ---
    // Times the lane takes the files of a folder again whose requests went unanswered.
    static constexpr int kLaneRetakes = 3;
    VfsSmallFileLane m_lane;
    bool m_laneTried = false;
    int m_lanePhase = 0;
    int m_laneRetakes = 0;
    std::vector<std::pair<VfsCopyItem, bool>> m_laneHandedBack;
    QString m_laneFolder;
    QElapsedTimer m_laneNotify; // since the window last heard of a file of the lane

    // --- the flushes of the destination, while copying and at the end --------------------------
    VfsDestinationFlush m_flush;
    bool m_destinationSynced = false;

    // --- outcome: what was copied, the figures shown, and how the job ends ---------------------
    VfsCopyResult m_result;
    QSet<QString> m_finishedSet;
    // What the job wrote, what the destination confirmed of it, and what a retry checks again.
    VfsFinishedFiles m_finishedFiles;
    QHash<QString, QString> m_finishedDst; // source file -> where it arrived
    QStringList m_sourcesGone;             // shown destinations, under m_uiMutex
    QSet<QString> m_folderSet;
    struct SourceStamp
    {
        quint64 size = 0;
        qint64 mtime = 0;
        qint64 changeNs = 0; // 0 from a server that does not tell
        quint64 inode = 0;
        // Whether a listing entry shows the version that was copied. Size and modification
        // time may have been put back after a rewrite; the change time and the inode can't.
        bool matches(const VfsDirectoryEntry &entry) const;
    };
    QHash<QString, SourceStamp> m_finishedStamps; // source file -> the version it was copied from
    std::atomic<int> m_errorCount{0};
    bool m_abort = false;
    bool m_aborting = false;      // abort seen: records withdrawn, handles closing
    bool m_abortedEmitted = false;
    bool m_fatal = false;
    // A write the destination answered with fewer bytes than it was given (a full disk):
    // the pause before the retry says so.
    bool m_shortWrite = false;
    // The prompt says a computer of the copy cannot be reached; the next start that finds both
    // up takes it back.
    bool m_unreachableShown = false;
    std::atomic<int> m_fileCount{0};
    std::atomic<quint64> m_bytesTotal{0};
    std::atomic<quint64> m_bytesCopied{0};
    std::atomic<quint64> m_bytesSent{0};
    // After a pause the job counts again from the start, finding by their digests the blocks
    // that are there. Meanwhile the window keeps what it showed: what was on the destination
    // then is still there (a source that changed is copied anew, and nothing is held).
    std::atomic<quint64> m_heldCopied{0};
    std::atomic<quint64> m_heldTotal{0};
    bool m_sourceChangedSincePause = false;
    quint32 m_changeFlags = 0; // what the window has not heard of: 1 bytes, 4 speed, 8 deletes
    static constexpr qint64 kPublishMs = 100;
    static constexpr qint64 kSpeedSampleMs = 1000;
    QElapsedTimer m_published; // since the figures last went out
    bool m_publishPending = false;
    std::atomic<qint64> m_speed{0};
    std::atomic<qint64> m_remaining{-1};
    // --- after a cut: the delete of the copied sources, on this job's thread ---------------
    QPointer<VfsDeleteJob> m_sourceDelete;
    bool m_sourceDeleteStopped = false;    // the user's cancel went to it
    std::atomic<bool> m_sourceDeleteWaits{false}; // paused until the source can be reached
    std::atomic<int> m_sourcesToDelete{0};
    std::atomic<int> m_sourcesDeleted{0};
    quint64 m_writtenSinceSample = 0;
    QElapsedTimer m_speedTimer;
    VfsStallWatch *m_stall = nullptr;
    // The texts the window reads, under m_uiMutex.
    mutable QMutex m_uiMutex;
    QString m_prompt;
    QString m_currentFile;
    QString m_waitingText;
};
