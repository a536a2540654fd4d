#pragma once

// The DELETE_FILE requests of one delete job, up to `inFlight` of them out at once. A folder
// goes only after every item of the list below it has ended: deleted, or kept with the answer
// that says why. Each item is sent with its own version stamp, so the server takes only the
// version it names; with `onlyEmptyFolders` a folder is listed first and sent with
// FSO_DELETE_ONLY_EMPTY when it looks empty (vfsdeletejob.h says why).
//
// The lane sends and sorts the answers; its job decides what an outcome means (go on, ask,
// retry, stop). An item whose request went unanswered, or could not go to the recycle bin,
// holds back every folder above it until the job starts the lane again with what is left.
//
// After a cut "not found" alone does not make an item gone: a peer answers so as well when
// a folder above it is gone, renamed with all it holds, and older peers when the name could
// not be looked at. The folder holding it is listed (once for all such items of that folder
// that have come in meanwhile): an item it does not show is gone, one it shows is kept, and
// one whose folder cannot be listed either is not confirmed gone.
//
// A file deleted in the version it names may come back on the server once the answer has
// gone: a save just after the delete, by a program that had the file, gets its name back
// there. Once its job has waited long enough for that, the lane looks for such files in their
// folders again (lookAgain()), one listing per folder: one it finds is there again.
//
// Owned by its delete job and used on the job's thread only; each record's answer comes back
// through the job's `post`.

#include "vfs/fso/vfsclient.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

struct VfsDeleteItem
{
    QString name;
    QString path;
    quint64 size = 0;
    int type = 0; // VfsCopyItem::ItemType
    // The version of a file that may be deleted (change time ns, inode); 0: any.
    qint64 changeNs = 0;
    quint64 inode = 0;
};

class VfsDeleteLane
{
public:
    // Requests out at most at once. The server runs a few deletes side by side and answers
    // each as it ends; a link's answers come in bursts. With 5 ms round trip a move's 10,000
    // deletes took 1.3 s with 64 out, 1.0-1.5 s with 128 and 1.05-1.1 s with 256 (0.8-1.1 s
    // without delay): past 128 the server, not the link, sets the pace.
    static constexpr int kInFlight = 128;

    enum Outcome {
        Deleted,
        AlreadyGone,   // after a cut: not in the folder that held it
        KeptChanged,   // not the version the item names
        KeptNotEmpty,  // a folder that still holds something
        Refused,       // any other answer; `status` says which
        TrashRefused,  // could not go to the recycle bin (FSO_STATUS_NETWORK_PATH)
        Unanswered,    // no answer in time: the link or the peer is down
        // After a cut, a file sent without a version (its server gives none) and not
        // answered: never sent again, as another file may hold its name by then. Or an item
        // answered "not found" whose folder could not be listed.
        Unconfirmed,
        // Deleted, and found in its folder again by lookAgain(): saved again since.
        CameBack,
    };

    struct Events
    {
        std::function<void(std::function<void()>)> post;
        std::function<void(const VfsDeleteItem &, Outcome, quint8 status)> ended;
        std::function<void()> answered; // step again
    };

    explicit VfsDeleteLane(Events events);
    ~VfsDeleteLane();
    VfsDeleteLane(const VfsDeleteLane &) = delete;
    VfsDeleteLane &operator=(const VfsDeleteLane &) = delete;

    // Starts on `items`, deleted from the back, at most `inFlight` (1 to kInFlight) out at
    // once; every record must be back.
    void begin(VfsClient *client, quint32 flags, bool onlyEmptyFolders, std::vector<VfsDeleteItem> items,
               int inFlight);
    // Sends what may go now; false once nothing is out and nothing more will be sent.
    bool step();
    // Sends nothing more; what is out still comes back.
    void hold() { m_held = true; }
    bool anyBusy() const;
    // Withdraws every request still out; they are never answered.
    void withdraw();
    // What was never sent, for a new begin() to take up where this one stopped.
    std::vector<VfsDeleteItem> unsent() const;
    // Lists the folders of `files`, deleted before, at the next steps: each found there ends
    // again, as CameBack; nothing is said of the others.
    void lookAgain(std::vector<VfsDeleteItem> files);

private:
    struct Slot;

    void start(Slot &slot, const VfsDeleteItem &item);
    void sendDelete(Slot &slot);
    void onListed(Slot &slot);
    void onDeleted(Slot &slot);
    // After a cut: the item of `slot` was answered "not found"; it waits for a listing of its
    // folder, or, while the lane is held, ends as if unanswered.
    void doubt(Slot &slot);
    void startCheck(Slot &slot, const QString &folder);
    // Sends the listing of `folder` for `slot`; takes in its answer (what the folder holds),
    // whether it was listed.
    void list(Slot &slot, const QString &folder);
    static bool takeListing(Slot &slot, quint8 *status, QSet<QString> *names);
    void onChecked(Slot &slot);
    // Ends the items the slot checked as the listing says (`names`: what the folder holds),
    // then lists the folder again for those that came in meanwhile.
    void settleCheck(Slot &slot, bool listed, quint8 status, const QSet<QString> &names);
    void startLookingAgain(Slot &slot, const QString &folder, std::vector<VfsDeleteItem> files);
    void onLookedAgain(Slot &slot);
    void end(Slot &slot, Outcome outcome, quint8 status = 0);
    void endItem(const VfsDeleteItem &item, Outcome outcome, quint8 status);
    // Whether `item` is a folder with items of the list still pending below it.
    bool waitsForContent(const VfsDeleteItem &item) const;
    // Counts `item` into (+1) or out of (-1) every folder of the list above it; a folder
    // waiting for its content that has none left goes to the ready list.
    void countAbove(const VfsDeleteItem &item, int delta);

    Events m_events;
    QPointer<VfsClient> m_client;
    quint32 m_flags = 0;
    bool m_onlyEmptyFolders = false;
    bool m_held = false;
    int m_inFlight = 1;
    std::vector<VfsDeleteItem> m_queue;           // not taken yet, from the back
    std::vector<VfsDeleteItem> m_ready;           // folders whose content has ended
    QHash<QString, VfsDeleteItem> m_waiting;      // folders taken while their content is out
    QHash<QString, int> m_pendingBelow;           // folder of the list -> its items not ended
    // Folder -> items answered "not found" that wait for the next listing of it. Only while
    // a slot lists that folder: the slot lists it again for them when it is done.
    QHash<QString, std::vector<VfsDeleteItem>> m_doubted;
    // Folder -> deleted files to look for in it again, not yet listed.
    QHash<QString, std::vector<VfsDeleteItem>> m_lookAgain;
    std::vector<std::unique_ptr<Slot>> m_slots;
};
