#pragma once

// Fuzz driver for what a Tor control port says. The first input byte picks:
//   even  the rest through the reply reader, cut into chunks at the sizes the input itself
//         gives, and every reply through the parsers of the replies acted on (protocol
//         info, cookie challenge, ADD_ONION, onion keys);
//   odd   the rest as everything a control port on 127.0.0.1 answers, to a Tor service
//         configured to use that port, until it gives up or is ready.

#include "com/torcontrol.h"
#include "com/torservice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>

namespace torfuzz {

inline void parseReplies(const std::uint8_t *data, std::size_t size)
{
    com::torcontrol::ReplyReader reader;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t chunk = std::min<std::size_t>(size - pos, 1 + data[pos] % 64);
        reader.feed(reinterpret_cast<const char *>(data + pos), int(chunk));
        pos += chunk;
        com::torcontrol::Reply reply;
        while (reader.next(&reply)) {
            com::torcontrol::parseProtocolInfo(reply.lines);
            com::torcontrol::Challenge challenge;
            com::torcontrol::parseChallenge(reply.lines, &challenge);
            com::torcontrol::serviceIdIn(reply.lines);
            for (const QString &line : reply.lines)
                com::torcontrol::serviceIdOf(line.toLatin1());
        }
    }
}

// A port that answers the first line it gets with all of `answer`.
inline void talkToService(const QByteArray &answer)
{
    static QTcpServer *port = [] {
        auto *server = new QTcpServer;
        server->listen(QHostAddress::LocalHost, 0);
        return server;
    }();
    static QByteArray current;
    current = answer;
    QObject scope;
    QObject::connect(port, &QTcpServer::newConnection, &scope, [] {
        while (QTcpSocket *s = port->nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                if (!s->property("answered").toBool())
                    s->write(current);
                s->setProperty("answered", true);
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    com::TorSettings settings;
    settings.enabled = true;
    settings.controlPort = port->serverPort();
    settings.virtualPort = 60391;
    settings.restartFirstMs = 600000;
    com::TorService tor(nullptr, nullptr);
    tor.start(settings);
    QElapsedTimer timer;
    timer.start();
    while (tor.state() == com::TorService::StateStarting && timer.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

inline void fuzzTorControl(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return;
    if (data[0] % 2 == 0)
        parseReplies(data + 1, size - 1);
    else
        talkToService(QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1)));
}

} // namespace torfuzz
