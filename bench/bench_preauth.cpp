// What a connection costs the listener before the other side has proven anything, and how
// real peers fare while 64 addresses flood it.
//
//   bench_preauth [connections]    per measured kind, default 2000
//
// The listener runs on a thread of its own; its CPU time is read from that thread's clock.
// Figures: CPU per connection for a hello not made for the listener's key (dropped at the
// tag), for a genuine hello (key exchange and signature), and for a silent connection (held
// until the first-message limit); memory per silent pending connection; and the share of
// 50 real peers that came up while 64 loopback addresses (127.0.x.1) kept 512 silent
// connections open, with their mean time to come up.

#include "com/hub.h"
#include "com/link.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <memory>
#include <pthread.h>
#include <vector>

namespace {

double threadCpuMs(pthread_t thread)
{
    clockid_t clock;
    timespec ts;
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return 0;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.size() > 1 ? parts[1].toLong() * 4 : 0;
}

QByteArray helloFrame(const QByteArray &serverKey)
{
    QByteArray hello = QByteArray("NUSK") + char(com::kLinkProtocolVersion) + crypto::generateKxKeyPair().publicKey
                       + crypto::randomBytes(32);
    hello += crypto::keyedHash(hello, serverKey, com::kLinkHelloTagBytes);
    return QByteArray::fromHex("55000000") + hello;
}

// Sends `bytes` on a fresh connection from the i-th loopback address (each its own sender
// for the rate limit) and waits until the listener hangs up or answers.
void oneConnection(quint16 port, const QByteArray &bytes, bool waitForAnswer, int i)
{
    QTcpSocket s;
    s.bind(QHostAddress(QStringLiteral("127.1.%1.%2").arg(i / 200).arg(1 + i % 200)));
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return;
    s.write(bytes);
    s.waitForBytesWritten(1000);
    if (waitForAnswer)
        s.waitForReadyRead(2000);
    else if (s.state() == QAbstractSocket::ConnectedState)
        s.waitForDisconnected(2000);
    s.abort();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    crypto::initialize();
    const int count = argc > 1 ? qMax(10, atoi(argv[1])) : 2000;

    QThread serverThread;
    com::LinkTimings timings;
    timings.firstMessageMs = 2000;
    auto *server = new com::Hub;
    const crypto::SigningKeyPair serverId = crypto::generateSigningKeyPair();
    server->setIdentity(serverId);
    server->setTimings(timings);
    server->moveToThread(&serverThread);
    serverThread.start();
    pthread_t serverNative = 0;
    QMetaObject::invokeMethod(server, [&] { server->listen(0); serverNative = pthread_self(); },
                              Qt::BlockingQueuedConnection);
    quint16 port = 0;
    QMetaObject::invokeMethod(server, [&] { port = server->listenPort(); }, Qt::BlockingQueuedConnection);

    auto measure = [&](const char *what, auto makeBytes, bool waitForAnswer) {
        const double before = threadCpuMs(serverNative);
        QElapsedTimer wall;
        wall.start();
        for (int i = 0; i < count; ++i)
            oneConnection(port, makeBytes(), waitForAnswer, i);
        const double cpu = threadCpuMs(serverNative) - before;
        std::printf("%-34s %7.1f us CPU of the listener per connection (%d in %lld ms)\n", what,
                    1000.0 * cpu / count, count, (long long)wall.elapsed());
        QThread::msleep(1500); // let the rate limit refill
    };
    // Memory of silent pending connections, on a listener of its own in this thread.
    {
        com::Hub local;
        local.setIdentity(crypto::generateSigningKeyPair());
        local.setTimings(timings);
        local.listen(0);
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        const long rssBefore = rssKiB();
        for (int i = 0; i < com::Hub::kMaxPendingIncoming; ++i) {
            silent.emplace_back(new QTcpSocket);
            silent.back()->bind(QHostAddress(QStringLiteral("127.2.%1.2").arg(1 + i / 4)));
            silent.back()->connectToHost(QHostAddress::LocalHost, local.listenPort());
        }
        QElapsedTimer wait;
        wait.start();
        while (local.pendingHandshakes() < com::Hub::kMaxPendingIncoming && wait.elapsed() < 1500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const int pending = local.pendingHandshakes();
        const long rssAfter = rssKiB();
        std::printf("silent pending connection:         %7.1f KiB each (%d pending; both ends in this process)\n",
                    pending ? double(rssAfter - rssBefore) / pending : 0.0, pending);
    }

    const QByteArray strangerKey = crypto::generateSigningKeyPair().publicKey;
    measure("hello for another key (dropped):", [&] { return helloFrame(strangerKey); }, false);
    measure("genuine hello (exchange + sign):", [&] { return helloFrame(serverId.publicKey); }, true);

    // The flood: 64 addresses keep 512 silent connections open; 50 real peers dial.
    auto *client = new com::Hub;
    client->setIdentity(crypto::generateSigningKeyPair());
    const QByteArray clientKey = client->ownPublicKey();
    QMetaObject::invokeMethod(server, [&] {
        server->setKnownKeyResolver([clientKey](const QByteArray &k) {
            return k == clientKey ? com::KeyVerdict::accept(QStringLiteral("{12345678-1234-1234-1234-123456789012}"))
                                  : com::KeyVerdict::unknown();
        });
    }, Qt::BlockingQueuedConnection);
    std::vector<std::unique_ptr<QTcpSocket>> flood(512);
    QTimer refill;
    QObject::connect(&refill, &QTimer::timeout, [&] {
        for (std::size_t i = 0; i < flood.size(); ++i) {
            if (flood[i] && flood[i]->state() != QAbstractSocket::UnconnectedState)
                continue;
            flood[i].reset(new QTcpSocket);
            flood[i]->bind(QHostAddress(QStringLiteral("127.0.%1.1").arg(1 + i % 64)));
            flood[i]->connectToHost(QHostAddress::LocalHost, port);
        }
    });
    refill.start(20);
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    int up = 0;
    qint64 totalMs = 0;
    for (int i = 0; i < 50; ++i) {
        bool done = false, established = false;
        QElapsedTimer t;
        t.start();
        com::Link *link = client->connectTo(QStringLiteral("127.0.0.1"), port, serverId.publicKey);
        QObject::connect(link, &com::Link::established, [&] { done = established = true; });
        QObject::connect(link, &com::Link::closed, [&] { done = true; });
        while (!done && t.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (established) {
            ++up;
            totalMs += t.elapsed();
            link->close();
        }
    }
    refill.stop();
    flood.clear();
    std::printf("real peers up during the flood:    %d of 50 (mean %.1f ms to come up)\n", up,
                up ? double(totalMs) / up : 0.0);

    QMetaObject::invokeMethod(server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    delete client;
    return 0;
}
