#include "testutil_jobs.h"

#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

TestPeer::TestPeer(const QString &uuid, QObject *parent) : TestPeer(uuid, true, parent) {}

TestPeer::TestPeer(const QString &uuid, const std::vector<PeerAclDto> &shares) : TestPeer(uuid, false, nullptr)
{
    m_shares = shares;
    m_server->setAcl(shares);
}

TestPeer::TestPeer(const QString &uuid, bool local, QObject *parent)
    : IPeer(PeerDto{uuid, QStringLiteral("nusk"), 0}, parent)
    , m_client(new VfsClientNusk)
    , m_local(local)
{
    m_client->setProtocolVersion(FSO_PROTOCOL_VERSION);
    makeServer();
    setLinkState(LinkUp);
    connect(m_client.get(), &VfsClientNusk::fsoTransmit, this, [this](std::vector<unsigned char> data) {
        // byte 8 is the code: after the tagged u32 length and the tagged u8 class
        if (data.size() > 9 && data[8] == FSO_WRITE_FILE) {
            VfsFenuCommand sent;
            if (decodeFsoCommand(data.data(), data.size(), sent, 3))
                m_sentWriteBytes += sent.data.size();
        }
        if (m_dropping)
            return;
        QMetaObject::invokeMethod(this, [this, data]() { deliverRequest(data); }, Qt::QueuedConnection);
    }, Qt::DirectConnection);
    m_pacing.setInterval(0);
    connect(&m_pacing, &QTimer::timeout, this, [this] {
        if (m_paced.empty())
            return m_pacing.stop();
        const std::vector<unsigned char> data = std::move(m_paced.front());
        m_paced.pop_front();
        deliverReply(data);
    });
}

void TestPeer::makeServer()
{
    m_server.reset(new VfsServerNusk(m_local));
    m_server->setProtocolVersion(FSO_PROTOCOL_VERSION);
    if (!m_local)
        m_server->setAcl(m_shares);
    VfsServerNusk *server = m_server.get();
    connect(server, &VfsServerNusk::fsoTransmit, this, [this, server](std::vector<unsigned char> data) {
        if (m_dropping || server != m_server.get())
            return;
        QMetaObject::invokeMethod(this, [this, data]() {
            if (m_pacing.interval() > 0) {
                m_paced.push_back(data);
                if (!m_pacing.isActive())
                    m_pacing.start();
                return;
            }
            deliverReply(data);
        }, Qt::QueuedConnection);
    }, Qt::DirectConnection);
}

void TestPeer::restartServer()
{
    const quint16 version = m_server->protocolVersion();
    makeServer();
    m_server->setProtocolVersion(version);
}

void TestPeer::deliverReply(const std::vector<unsigned char> &data)
{
    if (m_dropping || !m_parser.processCommand(data, &m_clientRecord, 3))
        return;
    if (onReply)
        onReply(m_clientRecord);
    m_client->processIncomingCommand(m_clientRecord);
}

void TestPeer::setReplyPacing(int ms)
{
    m_pacing.setInterval(ms);
    if (ms > 0)
        return;
    m_pacing.stop();
    while (!m_paced.empty()) {
        const std::vector<unsigned char> data = std::move(m_paced.front());
        m_paced.pop_front();
        deliverReply(data);
    }
}

TestPeer::~TestPeer()
{
    m_server.reset();
    m_client.reset();
}

void TestPeer::deliverRequest(const std::vector<unsigned char> &data)
{
    if (m_holding) {
        m_held.push_back(data);
        return;
    }
    if (m_dropping || !m_parser.processCommand(data, &m_serverRecord, 3))
        return;
    ++m_requests;
    if (m_serverRecord.code == FSO_WRITE_FILE) {
        ++m_writeRequests;
        m_writtenBytes += m_serverRecord.data.size();
    }
    const bool wasDropping = m_dropping;
    if (onRequest) {
        m_delivering = true;
        onRequest(m_serverRecord);
        m_delivering = false;
    }
    m_server->processIncomingCommand(m_serverRecord);
    if (m_dropping && !wasDropping)
        m_server->linkDropped();
}

void TestPeer::setDropping(bool drop)
{
    if (drop && !m_dropping && !m_delivering)
        m_server->linkDropped();
    m_dropping = drop;
}

void TestPeer::setHoldingRequests(bool hold)
{
    m_holding = hold;
    if (hold)
        return;
    // At once, so that they stay ahead of requests still on their way.
    std::vector<std::vector<unsigned char>> held;
    held.swap(m_held);
    for (const auto &data : held)
        deliverRequest(data);
}

namespace testjobs {

QByteArray pattern(qint64 size, int seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = 0x9E3779B9u * quint32(seed + 1);
    for (int i = 0; i < data.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

qint64 mtimeMs(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

bool setMtimeMs(const QString &path, qint64 ms)
{
    timespec times[2];
    times[0].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = long(ms % 1000) * 1000000L;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool rewriteKeepingTime(const QString &path, const QByteArray &data)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat before;
    if (::stat(native.constData(), &before) != 0 || before.st_size != data.size())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000) {
        const int fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool written = ::pwrite(fd, data.constData(), size_t(data.size()), 0) == data.size();
        ::close(fd);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        struct stat after;
        if (!written || ::utimensat(AT_FDCWD, native.constData(), times, 0) != 0
            || ::stat(native.constData(), &after) != 0)
            return false;
        if (after.st_ctim.tv_sec != before.st_ctim.tv_sec || after.st_ctim.tv_nsec != before.st_ctim.tv_nsec)
            return true;
    }
    return false;
}

int permissionsOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

bool makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

bool makeTestFolders(const QTemporaryDir &tmp, QString *src, QString *dst)
{
    static int n = 0;
    const QString base = tmp.filePath(QString::number(++n));
    *src = base + QStringLiteral("/src");
    *dst = base + QStringLiteral("/dst");
    return tmp.isValid() && QDir().mkpath(*src) && QDir().mkpath(*dst);
}

ManagerFixture::ManagerFixture() = default;

ManagerFixture::~ManagerFixture() = default;

bool ManagerFixture::setUp()
{
    if (!makeTestFolders(m_tmp, &m_src, &m_dst))
        return false;
    m_a.reset(new TestPeer(QStringLiteral("{00000000-0000-0000-0000-00000000000a}")));
    m_b.reset(new TestPeer(QStringLiteral("{00000000-0000-0000-0000-00000000000b}")));
    m_model.reset(new VfsJobModel);
    m_manager.reset(new VfsManager);
    VfsJobTimings timings;
    timings.retryDelayMs = 50;
    // No late save comes here but in the tests that wait the whole grace for one.
    timings.lookAgainMs = 50;
    m_manager->setTimings(timings);
    m_manager->setPeerLookup([this](const QString &uuid) -> IPeer * {
        if (uuid == m_a->uuid())
            return m_a.get();
        if (uuid == m_b->uuid())
            return m_b.get();
        return nullptr;
    });
    return true;
}

bool ManagerFixture::tearDown(int ms)
{
    const bool done = waitFor([&]() { return m_model->rowCount() == 0; }, ms);
    m_manager.reset();
    m_model.reset();
    m_a.reset();
    m_b.reset();
    return done;
}

VfsCopyDto ManagerFixture::dto(TestPeer *src, TestPeer *dst, std::vector<VfsCopyItem> items,
                               const QString &dstPath) const
{
    VfsCopyDto d;
    d.srcPeerUuid = src->uuid();
    d.dstPeerUuid = dst->uuid();
    d.items = std::move(items);
    d.dstPath = dstPath;
    return d;
}

} // namespace testjobs
