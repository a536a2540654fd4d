#pragma once

// Entry point of the file views for copying and moving: turns a request into a running
// copy or move job, and turns what a move could not do into a copy of a cut (which deletes
// at the source exactly what it copied, vfscopyjob.h).
//
// Lives on the thread of the file views (GUI thread). Copy jobs are moved to the
// connection manager's thread ("ioThread") and started there; move jobs run here.

#include "vfs/jobs/vfsjobtimings.h"
#include "vfs/jobs/vfscopydto.h"

#include <QMutex>
#include <QObject>
#include <QPointer>

#include <functional>

class IPeer;
class VfsCopyJob;
class VfsJob;
class VfsMoveExJob;

class VfsManager : public QObject
{
    Q_OBJECT
public:
    enum Refusal {
        Accepted = 0,
        UnknownPeer = 1,      // a peer of the request is not known
        IntoItself = 2,       // a folder into itself or below itself
    };
    Q_ENUM(Refusal)

    explicit VfsManager(QObject *parent = nullptr);
    ~VfsManager() override;

    // Starts a copy job; null when refused (see lastRefusal()).
    VfsCopyJob *copy(const VfsCopyDto &dto);
    // Starts a move job; null when refused.
    VfsMoveExJob *move(const VfsCopyDto &dto);
    // Lists a job in the job model (when there is one) under the manager's mutex.
    bool addJob(VfsJob *job);
    Refusal lastRefusal() const { return m_lastRefusal; }

    // How peers are found; the peer model by default.
    void setPeerLookup(std::function<IPeer *(const QString &)> lookup) { m_lookup = std::move(lookup); }
    // The waits of the jobs it makes; setRetryDelay changes the copy's pause alone.
    void setTimings(const VfsJobTimings &timings) { m_timings = timings; }
    void setRetryDelay(int ms) { m_timings.retryDelayMs = ms; }
    void setFlushInterval(int ms) { m_timings.flushIntervalMs = ms; }

    // Whether the request would copy a folder into itself or below itself.
    static bool isIntoItself(const VfsCopyDto &dto);

public Q_SLOTS:
    void onCopyJobFinished(VfsCopyDto request, VfsCopyResult result);
    void onCopyJobAborted();
    void onMoveJobFinished();
    void onMoveJobAborted();

Q_SIGNALS:
    void copyFinished(VfsCopyDto request);
    void copyRefused(VfsCopyDto request, int refusal);
    // A move that stopped before its end, or kept sources it copied, with why (for the
    // status line).
    void moveFailed(VfsCopyDto request, QString reason);

private:
    IPeer *peerFor(const QString &uuid) const;
    // Both peers of a copy or move (`what`); both null after the refusal was announced,
    // when one is unknown or a folder would go into itself.
    struct Peers
    {
        IPeer *src = nullptr;
        IPeer *dst = nullptr;
    };
    Peers accept(const VfsCopyDto &dto, const char *what);

    QMutex m_mutex;
    std::function<IPeer *(const QString &)> m_lookup;
    Refusal m_lastRefusal = Accepted;
    VfsJobTimings m_timings;
};
