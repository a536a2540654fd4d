#pragma once

// A copy-sized transfer over a link for the transport tests: random FSO requests sent with a
// bounded amount in flight, counted and hashed where they arrive.

#include "com/hub.h"
#include "com/link.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>
#include <QPointer>

namespace testutil {

// Lets `server` admit the key of `client` (as one fixed peer uuid).
void admitClient(com::Hub *server, const com::Hub *client);

// What reaches a hub's server side over the links it admits.
struct Receiver
{
    explicit Receiver(com::Hub *hub);
    void reset();

    QObject context;
    QPointer<com::Link> link;   // the latest admitted
    qint64 bytes = 0;
    int messages = 0;
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

// Sends `total` payload bytes in messages of `chunk` over `link` and waits until `receiver`
// has all of them. Returns the hash of the messages sent, empty on failure or timeout.
QByteArray copyOver(com::Link *link, const Receiver &receiver, qint64 total, int chunk, int timeoutMs);

} // namespace testutil
