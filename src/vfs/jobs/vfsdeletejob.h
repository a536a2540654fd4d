#pragma once

// Deletes a list of items on one peer, one DELETE_FILE request at a time, from the last
// item to the first, permanently or into the peer's recycle bin.
//
// With `onlyEmptyFolders` (the delete that follows a cut, permanent only) a folder item is
// listed first and, when it looks empty, deleted with FSO_DELETE_ONLY_EMPTY: the server
// then removes the folder alone, never what it holds. A listing can miss names (one that is
// not valid text) and a file can be created after it; such a folder is refused by the
// server and kept like one the listing showed to be full, and the delete goes on. So
// nothing the copy did not copy is ever removed. The listing spares the request for a
// folder that is plainly full, and a peer that does not know the bit yet.

#include "peers/ipeer.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfsjob.h"

#include <QPointer>

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

class VfsDeleteJob : public VfsJob
{
    Q_OBJECT
public:
    enum { StateStart = 0, StateNextItem = 1, StateWaiting = 2, StateAborted = 3, StateFinished = 4 };

    explicit VfsDeleteJob(QObject *parent = nullptr);
    ~VfsDeleteJob() override;

    IPeer *peer() const { return m_peer; }
    void setPeer(IPeer *peer) { m_peer = peer; }
    quint32 deleteFlags() const { return m_deleteFlags; }
    void setDeleteFlags(quint32 flags) { m_deleteFlags = flags; }
    const std::vector<VfsDeleteItem> &items() const { return m_items; }
    void setItems(const std::vector<VfsDeleteItem> &items) { m_items = items; }
    void setOnlyEmptyFolders(bool on) { m_onlyEmptyFolders = on; }
    int jobState() const { return m_state; }
    // Paths deleted so far, and folders left because they were not empty.
    const QStringList &deletedPaths() const { return m_deleted; }
    const QStringList &keptFolders() const { return m_kept; }
    // Files left because they changed since the version the owner named.
    const QStringList &keptChanged() const { return m_keptChanged; }

public Q_SLOTS:
    void abort() override;
    VfsJobState state() const override;
    void process(int action) override;
    void onDeleteFileJobUpdate(VfsDeleteFileJob *job);
    void onListDirectoryJobUpdate(VfsListDirectoryJob *job);

Q_SIGNALS:
    void trashFailedAskDelete();

private:
    void sendDelete(const VfsDeleteItem &item);
    void keepFolder(const QString &path);

    QPointer<IPeer> m_peer;
    QPointer<VfsClient> m_client;
    quint32 m_deleteFlags = 0;
    std::vector<VfsDeleteItem> m_items;
    std::vector<VfsDeleteItem> m_work;
    int m_state = StateStart;
    bool m_abort = false;
    bool m_onlyEmptyFolders = false;
    bool m_listing = false;
    bool m_deleteBusy = false;
    bool m_listBusy = false;
    VfsDeleteFileJob m_delete;
    VfsListDirectoryJob m_list;
    QStringList m_deleted;
    QStringList m_kept;
    QStringList m_keptChanged;
};
