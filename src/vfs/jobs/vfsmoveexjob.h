#pragma once

// Moves or renames items within one peer with MOVE requests that stay on one volume and
// never replace. Every item that cannot be moved that way (another peer, another drive, an
// existing destination name) is collected into `rest`, which the job manager copies and
// then deletes at the source. Runs on the thread of the job manager, the file models' own
// (the GUI thread): a failure names its item as the panes do, from the peer's file model.

#include "peers/ipeer.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfsjob.h"

#include <QPointer>


class VfsMoveExJob : public VfsJob
{
    Q_OBJECT
public:
    enum { StateStart = 0, StateNextItem = 1, StateWaiting = 2, StateFailed = 3, StateFinished = 4 };

    explicit VfsMoveExJob(QObject *parent = nullptr);
    ~VfsMoveExJob() override;

    void setPeers(IPeer *source, IPeer *destination);
    void setRequest(const VfsCopyDto &request) { m_request = request; }
    const VfsCopyDto &request() const { return m_request; }
    const VfsCopyDto &rest() const { return m_rest; }
    int jobState() const { return m_state; }
    // Why the job ended aborted, in the user's words; empty before that.
    QString failureReason() const { return m_reason; }

public Q_SLOTS:
    void abort() override {}
    VfsJobState state() const override;
    void process(int action) override;
    void onMoveUpdate(VfsMoveJob *job);

private:
    void fail(const QString &reason);
    // The item as the panes name it: a share by its own name, not by its access entry.
    QString shownPath(const QString &path) const;

    VfsCopyDto m_request;
    QString m_reason;
    VfsCopyDto m_rest;
    QPointer<IPeer> m_srcPeer;
    QPointer<IPeer> m_dstPeer;
    QPointer<VfsClient> m_client;
    int m_state = StateStart;
    quint32 m_index = 0;
    bool m_moveBusy = false;
    VfsMoveJob m_move;
};
