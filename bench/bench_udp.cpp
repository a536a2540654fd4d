// One link's throughput over UDP/KCP next to TCP, both on loopback in the same run: the
// client sends 64 KiB messages to a hub on a thread of its own, through the whole path
// (framing, sealing, KCP, datagram tags, opening, parsing).
//
//   bench_udp [MiB]      total to send over each transport, default 1024 (1 GiB)
//
// The last line is the figure: "udp <MB/s> MB/s, tcp <MB/s> MB/s, udp/tcp <ratio>".

#include "com/hub.h"
#include "com/kcpsocket.h"
#include "com/link.h"
#include "com/termstream.h"
#include "com/udptransport.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kMessageBytes = 64 * 1024;
constexpr qint64 kMaxQueued = 8 * 1024 * 1024;

std::vector<unsigned char> makeMessage()
{
    std::vector<unsigned char> buffer(kMessageBytes);
    com::TermStreamWriter w(buffer);
    com::writeMessageHeader(w, com::LinkClassFsoRequest, 0x12, 1);
    const std::size_t payload = kMessageBytes - w.size() - 5;
    std::vector<unsigned char> bytes(payload);
    for (std::size_t i = 0; i < payload; ++i)
        bytes[i] = static_cast<unsigned char>(i * 131);
    w.writeBlob(bytes.data(), payload);
    com::finishMessage(w);
    return buffer;
}

com::LinkTimings benchTimings()
{
    com::LinkTimings t;
    t.handshakeMs = 30000;
    t.pingIntervalMs = 1000;
    t.silenceMs = 600000;
    return t;
}

// MB/s of `count` messages over `type` ("tcp" or "udp"), or a negative value on failure.
double run(QCoreApplication &app, const QString &type, qint64 count)
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

    std::atomic<qint64> receivedMessages{0};
    std::atomic<qint64> receivedBytes{0};
    QObject::connect(server, &com::Hub::incomingLink, server, [&](com::Link *link) {
        QObject::connect(link, &com::Link::messageReceivedSrv, link, [&](std::vector<unsigned char> m) {
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

    const std::vector<unsigned char> message = makeMessage();
    QElapsedTimer timer;
    qint64 sent = 0;
    bool failed = !port;
    com::Link *link = client->connectTo(QStringLiteral("127.0.0.1"), port, server->ownPublicKey(), {}, type);
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
    if (!crypto::initialize()) {
        std::fprintf(stderr, "crypto library failed to start\n");
        return 1;
    }
    qint64 mib = 1024;
    if (argc > 1) {
        mib = std::atoll(argv[1]);
        if (mib <= 0) {
            std::fprintf(stderr, "usage: %s [MiB]\n", argv[0]);
            return 2;
        }
    }
    const qint64 count = mib * 1024 * 1024 / kMessageBytes;
    const double tcp = run(app, QStringLiteral("tcp"), count);
    const double udp = run(app, QStringLiteral("udp"), count);
    if (tcp <= 0 || udp <= 0)
        return 1;
    std::printf("udp %.1f MB/s, tcp %.1f MB/s, udp/tcp %.2f\n", udp, tcp, udp / tcp);
    return 0;
}
