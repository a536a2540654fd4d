// One link's throughput over UDP/KCP next to TCP, both on loopback in the same run: the
// client sends 64 KiB messages to a hub on a thread of its own, through the whole path
// (framing, sealing, KCP, datagram tags, opening, parsing).
//
//   bench_udp [MiB] [only]   total to send over each transport, default 1024 (1 GiB);
//                            only: "tcp" or "udp" runs just that one (for profiling)
//
// With coturn installed, the same through a TURN relay it starts on 127.0.0.1 (both ends
// allocate there; the client dials the server's relayed address).
//
// The last line is the figures: "udp <MB/s> MB/s, turn relay <MB/s> MB/s, tcp <MB/s> MB/s,
// udp/tcp <ratio>, turn/tcp <ratio>".

#include "benchutil_link.h"
#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/termstream.h"
#include "com/turnclient.h"
#include "com/udptransport.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

using benchutil::benchTimings;
using benchutil::kMaxQueued;
using benchutil::kMessageBytes;
using benchutil::makeMessage;

// A coturn on 127.0.0.1 for the relay figure: port once it runs, 0 without one.
quint16 startCoturn(QProcess &process, const QTemporaryDir &dir)
{
    if (QStandardPaths::findExecutable(QStringLiteral("turnserver")).isEmpty())
        return 0;
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = probe.localPort();
    probe.close();
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("turnserver"),
                  {QStringLiteral("-n"), QStringLiteral("--listening-ip=127.0.0.1"), QStringLiteral("--relay-ip=127.0.0.1"),
                   QStringLiteral("--listening-port=%1").arg(port), QStringLiteral("--min-port=47000"),
                   QStringLiteral("--max-port=47100"), QStringLiteral("--lt-cred-mech"),
                   QStringLiteral("--user=bench:bench"), QStringLiteral("--realm=nusk.bench"),
                   QStringLiteral("--allow-loopback-peers"), QStringLiteral("--no-tls"), QStringLiteral("--no-dtls"),
                   QStringLiteral("--no-cli"), QStringLiteral("--no-tcp-relay"),
                   QStringLiteral("--userdb=%1").arg(QDir(dir.path()).filePath(QStringLiteral("turndb"))),
                   QStringLiteral("--pidfile=%1").arg(QDir(dir.path()).filePath(QStringLiteral("turn.pid")))});
    return process.waitForStarted(5000) ? port : 0;
}

// Allocates on the relay; false when that does not happen within a few seconds.
bool allocate(com::TurnClient *turn, quint16 port)
{
    const Qt::ConnectionType there = turn->thread() == QThread::currentThread() ? Qt::DirectConnection
                                                                                : Qt::BlockingQueuedConnection;
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(turn, [turn, port, &done] {
        QObject::connect(turn, &com::TurnClient::allocated, turn, [&done] { done = true; });
        turn->setServer(QHostAddress::LocalHost, port);
        turn->setCredentials(QStringLiteral("bench"), QStringLiteral("bench"));
        turn->start();
    }, there);
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QMetaObject::invokeMethod(turn, [turn] { QObject::disconnect(turn, &com::TurnClient::allocated, nullptr, nullptr); },
                              there);
    return done;
}

// MB/s of `count` messages over `type` ("tcp", "udp", or "turn" through the relay at
// turnPort), or a negative value on failure.
double run(QCoreApplication &app, const QString &type, qint64 count, quint16 turnPort = 0)
{
    QThread serverThread;
    auto *server = new com::Hub;
    auto *client = new com::Hub;
    server->setIdentity(crypto::generateSigningKeyPair());
    client->setIdentity(crypto::generateSigningKeyPair());
    server->setTimings(benchTimings());
    client->setTimings(benchTimings());
    const QByteArray clientKey = client->ownPublicKey();
    server->setKnownKeyResolver([clientKey](const QByteArray &key) {
        return key == clientKey ? com::KeyVerdict::accept(QStringLiteral("{bbbbbbbb-0000-0000-0000-000000000000}"))
                                : com::KeyVerdict::refuse();
    });
    auto *serverUdp = new com::UdpTransport(server, server);
    com::UdpTransport clientUdp(client);
    clientUdp.bind(0, QHostAddress::LocalHost);
    client->setStreamFactory(QStringLiteral("udp"), [&clientUdp] { return clientUdp.createStream(); });
    client->setStreamFactory(QStringLiteral("turn"), [&clientUdp] { return clientUdp.createStream(true); });
    com::TurnClient clientTurn(&clientUdp);
    auto *serverTurn = new com::TurnClient(serverUdp, server);

    std::atomic<qint64> receivedMessages{0};
    std::atomic<qint64> receivedBytes{0};
    QObject::connect(server, &com::Hub::incomingLink, server, [&](com::Link *link) {
        QObject::connect(link, &com::Link::messageReceivedSrv, link, [&](const std::vector<unsigned char> &m) {
            receivedBytes += qint64(m.size());
            if (++receivedMessages == count)
                QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        });
    }, Qt::DirectConnection);

    server->moveToThread(&serverThread);
    serverThread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(server, [&] {
        server->listen(0);
        serverUdp->bind(0, QHostAddress::LocalHost);
        port = type == QLatin1String("udp") ? serverUdp->port() : server->listenPort();
    }, Qt::BlockingQueuedConnection);
    QString host = QStringLiteral("127.0.0.1");
    if (type == QLatin1String("turn")) {
        port = 0;
        if (allocate(&clientTurn, turnPort) && allocate(serverTurn, turnPort)) {
            QMetaObject::invokeMethod(server, [&] {
                host = serverTurn->relayedAddress().toString();
                port = serverTurn->relayedPort();
            }, Qt::BlockingQueuedConnection);
        }
    }

    const std::vector<unsigned char> message = makeMessage();
    QElapsedTimer timer;
    qint64 sent = 0;
    bool failed = !port;
    com::Link *link = client->connectTo(host, port, server->ownPublicKey(), {}, type);
    auto pump = [&] {
        while (sent < count && link->isEstablished() && link->bytesToWrite() < kMaxQueued) {
            if (!link->send(message)) {
                failed = true;
                app.quit();
                return;
            }
            ++sent;
        }
    };
    QObject::connect(link, &com::Link::established, &app, [&] {
        timer.start();
        pump();
    });
    QObject::connect(link, &com::Link::bytesWritten, &app, pump);
    QObject::connect(link, &com::Link::closed, &app, [&](const QString &reason) {
        if (receivedMessages.load() < count) {
            std::fprintf(stderr, "%s link closed: %s\n", qPrintable(type), qPrintable(reason));
            failed = true;
            app.quit();
        }
    });
    if (!failed)
        app.exec();
    const double seconds = timer.isValid() ? double(timer.nsecsElapsed()) / 1e9 : 0.0;
    QObject::disconnect(link, nullptr, &app, nullptr);

    QMetaObject::invokeMethod(server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    delete client;

    if (failed || receivedMessages.load() != count || seconds <= 0) {
        std::fprintf(stderr, "%s failed: %lld of %lld messages arrived\n", qPrintable(type),
                     static_cast<long long>(receivedMessages.load()), static_cast<long long>(count));
        return -1;
    }
    const double mbps = double(receivedBytes.load()) / 1e6 / seconds;
    std::printf("%s: %lld x %d bytes in %.3f s, %.1f MB/s\n", qPrintable(type), static_cast<long long>(count),
                kMessageBytes, seconds, mbps);
    return mbps;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = benchutil::messageCountFromArguments(argc, argv);
    if (count <= 0)
        return 2;
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (only == QLatin1String("tcp") || only == QLatin1String("udp"))
        return run(app, only, count) > 0 ? 0 : 1;
    const double tcp = run(app, QStringLiteral("tcp"), count);
    const double udp = run(app, QStringLiteral("udp"), count);
    QTemporaryDir dir;
    QProcess coturn;
    const quint16 turnPort = startCoturn(coturn, dir);
    double turn = -1;
    if (turnPort) {
        QThread::msleep(500);   // coturn opens its port shortly after it starts
        turn = run(app, QStringLiteral("turn"), count, turnPort);
        coturn.terminate();
        coturn.waitForFinished(3000);
    } else {
        std::fprintf(stderr, "no turnserver (coturn): relay figure left out\n");
    }
    if (tcp <= 0 || udp <= 0)
        return 1;
    if (turn > 0)
        std::printf("udp %.1f MB/s, turn relay %.1f MB/s, tcp %.1f MB/s, udp/tcp %.2f, turn/tcp %.2f\n", udp, turn,
                    tcp, udp / tcp, turn / tcp);
    else
        std::printf("udp %.1f MB/s, tcp %.1f MB/s, udp/tcp %.2f\n", udp, tcp, udp / tcp);
    return 0;
}
