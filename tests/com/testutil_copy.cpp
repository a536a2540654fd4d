#include "testutil_copy.h"

#include "testutil_com.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

namespace testutil {

void admitClient(com::Hub *server, const com::Hub *client)
{
    const QByteArray key = client->ownPublicKey();
    server->setKnownKeyResolver([key](const QByteArray &k) {
        return k == key ? com::KeyVerdict::accept(QStringLiteral("{11111111-2222-3333-4444-555555555555}"))
                        : com::KeyVerdict::unknown();
    });
}

Receiver::Receiver(com::Hub *hub)
{
    QObject::connect(hub, &com::Hub::incomingLink, &context, [this](com::Link *l) {
        link = l;
        QObject::connect(l, &com::Link::messageReceivedSrv, &context, [this](std::vector<unsigned char> m) {
            ++messages;
            bytes += qint64(m.size());
            hash.addData(reinterpret_cast<const char *>(m.data()), int(m.size()));
        });
    });
}

void Receiver::reset()
{
    bytes = 0;
    hash.reset();
}

QByteArray copyOver(com::Link *link, const Receiver &receiver, qint64 total, int chunk, int timeoutMs)
{
    QPointer<com::Link> guard(link);
    QCryptographicHash sent(QCryptographicHash::Sha256);
    QRandomGenerator rng(99);
    qint64 queued = 0, queuedBytes = 0;
    const qint64 start = receiver.bytes;
    QElapsedTimer clock;
    clock.start();
    while ((queued < total || receiver.bytes - start < queuedBytes) && clock.elapsed() < timeoutMs && guard) {
        while (queued < total && guard->bytesToWrite() < 8 * qint64(chunk)) {
            QByteArray payload(int(qMin<qint64>(chunk, total - queued)), Qt::Uninitialized);
            rng.fillRange(reinterpret_cast<quint32 *>(payload.data()), payload.size() / 4);
            const auto message = makeMessage(com::LinkClassFsoRequest, 1, payload);
            sent.addData(reinterpret_cast<const char *>(message.data()), int(message.size()));
            if (!guard->send(message))
                return QByteArray();
            queued += payload.size();
            queuedBytes += qint64(message.size());
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return receiver.bytes - start == queuedBytes ? sent.result() : QByteArray();
}

} // namespace testutil
