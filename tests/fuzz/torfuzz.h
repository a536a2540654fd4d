#pragma once

// Fuzz driver for what a Tor control port says. The first input byte picks:
//   even       the rest through the reply reader, cut into chunks at the sizes the input
//              itself gives, and every reply through the parsers of the replies acted on
//              (protocol info, cookie challenge, ADD_ONION, onion keys);
//   1 (mod 4)  the rest as everything a control port on 127.0.0.1 answers, to a Tor service
//              configured to use that port, until it gives up or is ready;
//   3 (mod 4)  the same from a port that knows the cookie it names, so the service gets past
//              SAFECOOKIE: the rest is everything the port answers after that, to the version
//              query, the SOCKS listener query and ADD_ONION. The service's stored onion key
//              is a fixed one, and "$SERVICEID" in the input becomes its service id, so an
//              input can take the service all the way to ready.
// The port is the driver's own, held by this user: the service's check of the account
// holding it is told so, instead of reading the socket tables for every input.

#include "testutil_controlport.h"

#include "com/torcontrol.h"
#include "com/torservice.h"
#include "db/dto.h"
#include "db/sqlitedatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdint>
#include <unistd.h>

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

// The port, the cookie it names and the database that holds the fixed onion key; made once.
struct Scene
{
    QTemporaryDir dir;
    QString cookieFile = dir.filePath(QStringLiteral("control.authcookie"));
    QByteArray cookie = QByteArray(com::torcontrol::kCookieBytes, '\x5a');
    SqliteDatabase database{dir.path()};
    QByteArray serviceId;
    QTcpServer port;
    int ready = 0;   // services that got all the way

    Scene()
    {
        QFile file(cookieFile);
        file.open(QIODevice::WriteOnly);
        file.write(cookie);
        // A valid Ed25519 scalar half: clamped as tor's expanded keys are.
        QByteArray expanded(64, '\x42');
        expanded[0] = '\x40';
        CryptoKeyDto key;
        key.uuid = newUuidString();
        key.peerUuid = nullUuidString();
        key.type = QStringLiteral("onion");
        key.secretKey = "ED25519-V3:" + expanded.toBase64();
        key.publicKey = com::torcontrol::serviceIdOf(key.secretKey).toLatin1();
        serviceId = key.publicKey;
        database.putKey(key);
        port.listen(QHostAddress::LocalHost, 0);
    }
};

inline Scene &scene()
{
    static Scene *made = new Scene;
    return *made;
}

// The port answers the first line it gets with all of `answer`; a proven one does so with
// the first line after authentication.
inline void talkToService(const QByteArray &answer, bool proven)
{
    Scene &at = scene();
    bool answered = false;
    const auto answerOnce = [&answered, &answer](const QString &) {
        const bool first = !answered;
        answered = true;
        return first ? answer : QByteArray();
    };
    testutil::ControlPortScript script;
    script.methods = QStringLiteral("SAFECOOKIE");
    script.cookieFile = at.cookieFile;
    script.knownCookie = at.cookie;
    script.afterAuthentication = answerOnce;
    QObject scope;
    QObject::connect(&at.port, &QTcpServer::newConnection, &scope, [&] {
        while (QTcpSocket *s = at.port.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, &scope, [&, s] {
                if (!proven)
                    s->write(answerOnce(QString::fromLatin1(s->readAll())));
                while (proven && s->canReadLine())
                    s->write(script.answer(QString::fromUtf8(s->readLine()).trimmed()));
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    com::TorSettings settings;
    settings.enabled = true;
    settings.controlPort = at.port.serverPort();
    settings.virtualPort = 60391;
    settings.restartFirstMs = 600000;
    com::TorService tor(nullptr, &at.database);
    tor.setHolderLookup([](const QTcpSocket &, uid_t *holder) {
        *holder = ::getuid();
        return true;
    });
    tor.start(settings);
    QElapsedTimer timer;
    timer.start();
    while (tor.state() == com::TorService::StateStarting && timer.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    at.ready += tor.state() == com::TorService::StateReady ? 1 : 0;
}

inline void fuzzTorControl(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return;
    QByteArray rest(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (data[0] % 2 == 0)
        parseReplies(data + 1, size - 1);
    else if (data[0] % 4 == 1)
        talkToService(rest, false);
    else
        talkToService(rest.replace("$SERVICEID", scene().serviceId), true);
}

} // namespace torfuzz
