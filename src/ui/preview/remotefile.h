#pragma once

// The bytes of another peer's file, read through that peer's file client from a worker
// thread: opened for reading, read block by block, closed. A file longer than maxBytes is not
// fetched at all (nothing is decoded from a part of it).

#include <QByteArray>
#include <QString>

class VfsClient;

// Blocks the calling worker (never the client's own thread); empty on any failure or when a
// step gets no answer within timeoutMs.
QByteArray readRemoteFile(VfsClient *client, const QString &path, qint64 maxBytes, int timeoutMs = 20000);

// The peer found by uuid in the peer model; empty when there is none or it has no client.
QByteArray fetchRemoteFileBytes(const QString &peerUuid, const QString &path, qint64 maxBytes);
