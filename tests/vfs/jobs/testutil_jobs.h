#pragma once

// In-process peers for the job tests: each TestPeer owns an FSO client wired to a real FSO
// server over the parser, with every message delivered on a later turn of the event loop
// as a link would. The wire can drop messages for a while (a cut link), hold requests back
// (a stalled peer), let replies through one at a time (a slow link far away) and counts the
// bytes that WRITE_FILE requests carry.

#include "peers/ipeer.h"
#include "vfs/fso/vfsclientnusk.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/server/vfsserver.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class VfsJobModel;
class VfsManager;

class TestPeer : public IPeer
{
    Q_OBJECT
public:
    // The server of the local computer, which serves everything; or, with `shares`, that of
    // another computer, which serves only what those access entries share with this one.
    explicit TestPeer(const QString &uuid, QObject *parent = nullptr);
    TestPeer(const QString &uuid, const std::vector<PeerAclDto> &shares);
    ~TestPeer() override;

    VfsClient *vfsClient() const override { return m_client.get(); }
    VfsClientNusk *client() const { return m_client.get(); }
    VfsServerNusk *server() const { return m_server.get(); }
    // The server starts anew, as its program does after a crash or its computer after a power
    // cut: it knows nothing of what it held open or wrote before. Messages on the way are lost.
    void restartServer();

    // While set, every message in either direction is lost; as when a link drops, the server
    // lets go of what the peer had it do (its open files close, its queued requests go). Set
    // from onRequest, the request it was called for reached the server just before the drop.
    void setDropping(bool drop);
    bool dropping() const { return m_dropping; }
    // While set, requests wait, in order, instead of reaching the server; its replies to
    // earlier ones still come back. Clearing it delivers the waiting ones.
    void setHoldingRequests(bool hold);
    // While above 0, replies come back one at a time, each that long after the one before
    // (and after it was sent): a slow link far away. 0 lets those still on the way go at once.
    void setReplyPacing(int ms);
    // Data of WRITE_FILE requests the server got, and the data the client sent (lost or not).
    quint64 writtenBytes() const { return m_writtenBytes; }
    quint64 sentWriteBytes() const { return m_sentWriteBytes; }
    int writeRequests() const { return m_writeRequests; }
    int requestCount() const { return m_requests; }
    void resetCounters() { m_writtenBytes = 0; m_sentWriteBytes = 0; m_writeRequests = 0; m_requests = 0; }
    // Called for every request before it reaches the server.
    std::function<void(const VfsFenuCommand &)> onRequest;
    // Called for every reply before it reaches the client; may change it (a peer that
    // answers less than it did).
    std::function<void(VfsFenuCommand &)> onReply;

private:
    TestPeer(const QString &uuid, bool local, QObject *parent);
    void makeServer();
    void deliverRequest(const std::vector<unsigned char> &data);
    void deliverReply(const std::vector<unsigned char> &data);

    std::unique_ptr<VfsClientNusk> m_client;
    std::unique_ptr<VfsServerNusk> m_server;
    bool m_local = true;
    std::vector<PeerAclDto> m_shares;
    VfsFenuCommandParser m_parser;
    VfsFenuCommand m_serverRecord;
    VfsFenuCommand m_clientRecord;
    bool m_dropping = false;
    bool m_delivering = false; // inside onRequest: the drop waits until the request is in
    bool m_holding = false;
    std::vector<std::vector<unsigned char>> m_held;
    QTimer m_pacing;
    std::deque<std::vector<unsigned char>> m_paced;
    quint64 m_writtenBytes = 0;
    quint64 m_sentWriteBytes = 0;
    int m_writeRequests = 0;
    int m_requests = 0;
};

namespace testjobs {
// Bytes with a pattern that differs per offset and per seed.
QByteArray pattern(qint64 size, int seed = 1);
bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);
// Modification time in ms; -1 when the path does not exist.
qint64 mtimeMs(const QString &path);
bool setMtimeMs(const QString &path, qint64 ms);
// Rewrites a file in place with `data` of its own size and puts its modification time back,
// as editors, `rsync -t` and backup restores do; returns once the file system shows a new
// change time (its clock ticks in milliseconds, a rewrite within the same tick is repeated).
bool rewriteKeepingTime(const QString &path, const QByteArray &data);
// The permission bits of a path (07777), -1 when it does not exist.
int permissionsOf(const QString &path);
bool makeFifo(const QString &path);
bool waitFor(const std::function<bool()> &done, int ms = 30000);
// Folders "<n>/src" and "<n>/dst" of their own below `tmp`, made afresh for every call; false
// when they cannot be made.
bool makeTestFolders(const QTemporaryDir &tmp, QString *src, QString *dst);

// Two in-process peers A and B with a folder each (m_src on A, m_dst on B), the job model,
// and a job manager that finds the two peers, pauses 50 ms before a retry and looks for the
// sources of a move again 50 ms after their deletes: made afresh
// for every test function of the job manager's tests.
class ManagerFixture
{
protected:
    ManagerFixture();
    ~ManagerFixture();
    // False when the folders cannot be made.
    bool setUp();
    // Waits up to `ms` until every job has left the model, then takes everything down; false
    // when a job was still listed.
    bool tearDown(int ms);
    VfsCopyDto dto(TestPeer *src, TestPeer *dst, std::vector<VfsCopyItem> items, const QString &dstPath) const;

    QTemporaryDir m_tmp;
    std::unique_ptr<TestPeer> m_a;
    std::unique_ptr<TestPeer> m_b;
    std::unique_ptr<VfsJobModel> m_model;
    std::unique_ptr<VfsManager> m_manager;
    QString m_src;
    QString m_dst;
};

} // namespace testjobs
