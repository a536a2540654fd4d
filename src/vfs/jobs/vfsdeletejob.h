#pragma once

// Deletes a list of items on one peer, permanently or into the peer's recycle bin, from the
// last item to the first (vfsdeletelane.h): after a cut many at a time, otherwise one by one.
// A folder goes only after every item of the list below it has ended.
//
// With `onlyEmptyFolders` (the delete that follows a cut, permanent only) a folder item is
// listed first and, when it looks empty, deleted with FSO_DELETE_ONLY_EMPTY: the server
// then removes the folder alone, never what it holds. A listing can miss names (one that is
// not valid text) and a file can be created after it; such a folder is refused by the
// server and kept like one the listing showed to be full, and the delete goes on. So
// nothing the copy did not copy is ever removed. The listing spares the request for a
// folder that is plainly full, and a peer that does not know the bit yet. Every item of a
// cut is at its destination as well: one the server refuses is kept and named, and the
// delete goes on with the others.
//
// A file a cut deleted in the version it copied may come back: a save just after the delete
// gets its name back on the source computer, for a moment after it answered. So such a delete
// waits, once every answer is in, until that moment is over since the last file went, then
// looks for the files of folders that stay: one found there again is named (cameBack()).
//
// Otherwise the job stops at the first item that fails: what is out still comes back, then
// it ends aborted. A refused trash is asked about instead (trashFailedAskDelete). A request
// without an answer (the link or the peer is down) ends the job as well, or, with a retry
// delay, pauses it: what is left is tried again once the peer can be reached, as a copy
// retries.
//
// Lives on the thread that made it: the file views' for their deletes, the copy job's
// ("ioThread") for the delete that ends a cut.

#include "peers/ipeer.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfsdeletelane.h"
#include "vfs/jobs/vfsjob.h"

#include <QElapsedTimer>
#include <QPointer>

#include <vector>

class VfsDeleteJob : public VfsJob
{
    Q_OBJECT
public:
    enum {
        StateStart = 0,
        StateNextItem = 1, // waits for its owner's answer to a refused trash
        StateWaiting = 2,
        StateAborted = 3,
        StateFinished = 4,
        StatePaused = 5,   // waits to retry what went unanswered
    };

    explicit VfsDeleteJob(QObject *parent = nullptr);
    ~VfsDeleteJob() override;

    IPeer *peer() const { return m_peer; }
    void setPeer(IPeer *peer) { m_peer = peer; }
    quint32 deleteFlags() const { return m_deleteFlags; }
    void setDeleteFlags(quint32 flags) { m_deleteFlags = flags; }
    const std::vector<VfsDeleteItem> &items() const { return m_items; }
    void setItems(const std::vector<VfsDeleteItem> &items) { m_items = items; }
    void setOnlyEmptyFolders(bool on) { m_onlyEmptyFolders = on; }
    // The pause before what went unanswered is tried again; 0: no retry, the job ends.
    void setRetryDelay(int ms) { m_retryDelayMs = ms; }
    // With `onlyEmptyFolders`: how long after the last file went the files deleted from
    // folders that stay are looked for again; 0: never.
    void setLookAgainAfter(int ms) { m_lookAgainMs = ms; }
    int jobState() const { return m_state; }
    // Paths deleted so far, and folders left because they were not empty.
    const QStringList &deletedPaths() const { return m_deleted; }
    const QStringList &keptFolders() const { return m_kept; }
    // Files left because they changed since the version the owner named.
    const QStringList &keptChanged() const { return m_keptChanged; }
    // Items of a cut the server refused to delete.
    const QStringList &keptRefused() const { return m_keptRefused; }
    // Items that have ended, deleted or kept; jobUpdated() tells when it grows. The files
    // among them, for a count a person can hold against the files they moved.
    int endedCount() const { return m_ended; }
    int endedFileCount() const { return m_endedFiles; }
    // Items neither deleted nor kept: never sent, and sent without an answer (which may be
    // gone all the same).
    std::vector<VfsDeleteItem> unsentItems() const;
    const std::vector<VfsDeleteItem> &unansweredItems() const { return m_again; }
    // Files of a cut that had no version and whose delete went unanswered: they may be gone
    // or not, and are never sent again.
    const QStringList &unconfirmed() const { return m_unconfirmed; }
    // Files deleted and found in their folders again: saved again since.
    const QStringList &cameBack() const { return m_cameBack; }

public Q_SLOTS:
    void abort() override;
    VfsJobState state() const override;
    void process(int action) override;

Q_SIGNALS:
    void trashFailedAskDelete();

private:
    VfsDeleteLane::Events laneEvents();
    int inFlight() const;
    void onItemEnded(const VfsDeleteItem &item, VfsDeleteLane::Outcome outcome, quint8 status);
    void stateWaiting();
    // Sends what is left (the items never sent and those to try again) from its start.
    void resume();
    void retryWhenReachable();
    void setState(int state);
    // Once every answer is in: whether the job waits to look for deleted files again.
    bool waitToLookAgain();
    void endAborted(const char *why);
    void keepFolder(const QString &path);

    QPointer<IPeer> m_peer;
    QPointer<VfsClient> m_client;
    quint32 m_deleteFlags = 0;
    std::vector<VfsDeleteItem> m_items;
    int m_state = StateStart;
    bool m_abort = false;
    bool m_onlyEmptyFolders = false;
    int m_retryDelayMs = 0;
    int m_lookAgainMs = 0;
    VfsDeleteLane m_lane;
    bool m_begun = false;
    // Sent, and to be sent again: without an answer, or refused by the recycle bin.
    std::vector<VfsDeleteItem> m_again;
    bool m_askTrash = false;
    bool m_failed = false;
    int m_ended = 0;
    int m_endedFiles = 0;
    QStringList m_deleted;
    QStringList m_unconfirmed;
    QStringList m_kept;
    QStringList m_keptChanged;
    QStringList m_keptRefused;
    // Files deleted in a version (they may come back), when the last of them went, and those
    // to look for again once the wait is over.
    std::vector<VfsDeleteItem> m_deletedVersions;
    QElapsedTimer m_sinceDeletedVersion;
    std::vector<VfsDeleteItem> m_toLookAgain;
    bool m_lookedAgain = false;
    QStringList m_cameBack;
};
