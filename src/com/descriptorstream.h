#pragma once

// A connected TCP socket read and written through its descriptor, without Qt's socket
// buffers: a link that is up over plain TCP moves its bytes through this, in large pieces
// and without the copy into and out of QTcpSocket's buffers for every byte.
//
// The stream owns a duplicate of the socket's descriptor, so the QTcpSocket it came from
// can be closed right after (see take()). Non-blocking; lives on one thread.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;

namespace com {

class DescriptorStream : public QObject
{
    Q_OBJECT

public:
    // Takes over a connected socket that holds nothing in its own buffers: the socket is
    // closed (disconnect from its signals first) and the stream carries on with the
    // connection. nullptr, and the socket untouched, when that is not possible.
    static DescriptorStream *take(QTcpSocket *socket, QObject *parent);
    // Ends the connection at once (what is queued is dropped).
    ~DescriptorStream() override;

    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }

    // Reads what is waiting, up to maxSize bytes: 0 when nothing is, -1 when the stream
    // has ended (hungUp() follows on the next turn of the event loop).
    qint64 read(char *data, qint64 maxSize);
    // Hands bytes to the system at once as far as it takes them and queues the rest.
    void write(const char *data, qint64 size);
    qint64 bytesToWrite() const { return m_pending.size() - m_pendingPos; }
    // Lets what is queued leave, says the connection is done, and deletes itself once the
    // other side has closed too or after graceMs. No signal is emitted any more.
    void closeAfterFlush(int graceMs);
    // Ends the connection at once; what is queued is dropped.
    void abort();

Q_SIGNALS:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void hungUp(const QString &reason);

private:
    DescriptorStream(int fd, const QHostAddress &address, quint16 port, QObject *parent);

    bool writeOut();
    void reportWritten();
    void hangUp(const QString &reason);
    void onReadable();
    void onWritable();

    int m_fd = -1;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pending;        // what the system did not take yet
    int m_pendingPos = 0;
    qint64 m_unreported = 0;     // written, bytesWritten() not yet emitted
    bool m_reportQueued = false;
    quint64 m_reads = 0;         // calls of read(), to see whether readyRead() was heard
    bool m_ended = false;
    bool m_closing = false;
};

} // namespace com
