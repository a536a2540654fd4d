// Throughput of one link over loopback: the client sends 64 KiB messages to a listener that
// runs on a thread of its own, through the whole path (framing, sealing, opening, parsing).
//
//   bench_channel [MiB]      total to send, default 1024 (1 GiB)
//
// The last line is the figure: "channel throughput: <MB/s> MB/s".

#include "benchutil_link.h"
#include "com/hub.h"
#include "com/link.h"
#include "com/termstream.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

using benchutil::benchTimings;
using benchutil::kMaxQueued;
using benchutil::kMessageBytes;
using benchutil::makeMessage;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = benchutil::messageCountFromArguments(argc, argv);
    if (count <= 0)
        return 2;

    QThread serverThread;
    serverThread.setObjectName(QStringLiteral("server"));
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
        port = server->listenPort();
    }, Qt::BlockingQueuedConnection);
    if (!port) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }

    const std::vector<unsigned char> message = makeMessage();
    QElapsedTimer timer;
    qint64 sent = 0;
    bool failed = false;
    com::Link *link = client->connectTo(QStringLiteral("127.0.0.1"), port, server->ownPublicKey());
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
            std::fprintf(stderr, "link closed: %s\n", qPrintable(reason));
            failed = true;
            app.quit();
        }
    });
    if (count > 0)
        app.exec();
    const double seconds = timer.isValid() ? double(timer.nsecsElapsed()) / 1e9 : 0.0;

    QMetaObject::invokeMethod(server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    delete client;

    if (failed || receivedMessages.load() != count || seconds <= 0) {
        std::fprintf(stderr, "benchmark failed: %lld of %lld messages arrived\n",
                     static_cast<long long>(receivedMessages.load()), static_cast<long long>(count));
        return 1;
    }
    const double mbps = double(receivedBytes.load()) / 1e6 / seconds;
    std::printf("messages: %lld x %d bytes in %.3f s\n", static_cast<long long>(count), kMessageBytes, seconds);
    std::printf("channel throughput: %.1f MB/s\n", mbps);
    return 0;
}
