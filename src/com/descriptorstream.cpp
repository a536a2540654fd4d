#include "com/descriptorstream.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace com {

namespace {

// What the queue keeps of its room once it has drained.
constexpr int kKeepPendingBytes = 4 * 1024 * 1024;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

DescriptorStream *DescriptorStream::take(QTcpSocket *socket, QObject *parent)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState || socket->bytesAvailable() > 0
        || socket->bytesToWrite() > 0)
        return nullptr;
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return nullptr;
    const int own = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return nullptr;
    const int flags = ::fcntl(own, F_GETFL);
    if (flags < 0 || ::fcntl(own, F_SETFL, flags | O_NONBLOCK) < 0) {
        ::close(own);
        return nullptr;
    }
    auto *stream = new DescriptorStream(own, socket->peerAddress(), socket->peerPort(), parent);
    // Closing the socket closes only its own descriptor; the connection lives on in ours.
    socket->abort();
    return stream;
}

DescriptorStream::DescriptorStream(int fd, const QHostAddress &address, quint16 port, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_peerAddress(address)
    , m_peerPort(port)
{
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &DescriptorStream::onReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &DescriptorStream::onWritable);
}

DescriptorStream::~DescriptorStream()
{
    abort();
}

void DescriptorStream::abort()
{
    m_ended = true;
    if (m_fd < 0)
        return;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
    m_pendingPos = 0;
}

qint64 DescriptorStream::read(char *data, qint64 maxSize)
{
    if (m_ended)
        return -1;
    ++m_reads;
    for (;;) {
        const ssize_t got = ::recv(m_fd, data, std::size_t(maxSize), 0);
        if (got > 0)
            return got;
        if (got == 0) {
            hangUp(QStringLiteral("connection closed by peer"));
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_readNotifier->setEnabled(true);   // the reader has caught up
            return 0;
        }
        hangUp(errorText(errno));
        return -1;
    }
}

void DescriptorStream::write(const char *data, qint64 size)
{
    if (m_ended || m_closing || size <= 0)
        return;
    if (bytesToWrite() == 0) {
        // Nothing queued before: straight to the system, no copy.
        qint64 done = 0;
        while (done < size) {
            const ssize_t sent = ::send(m_fd, data + done, std::size_t(size - done), MSG_NOSIGNAL);
            if (sent > 0) {
                done += sent;
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            hangUp(errorText(sent < 0 ? errno : EPIPE));
            return;
        }
        if (done > 0) {
            m_unreported += done;
            // Reported from the event loop, never from inside the caller's write.
            if (!m_reportQueued) {
                m_reportQueued = true;
                QMetaObject::invokeMethod(this, [this] {
                    m_reportQueued = false;
                    reportWritten();
                }, Qt::QueuedConnection);
            }
        }
        data += done;
        size -= done;
        if (size == 0)
            return;
    }
    if (m_pendingPos > 0 && m_pendingPos >= m_pending.size() / 2) {
        m_pending.remove(0, m_pendingPos);
        m_pendingPos = 0;
    }
    m_pending.append(data, int(size));
    m_writeNotifier->setEnabled(true);
}

bool DescriptorStream::writeOut()
{
    while (bytesToWrite() > 0) {
        const ssize_t sent = ::send(m_fd, m_pending.constData() + m_pendingPos, std::size_t(bytesToWrite()),
                                    MSG_NOSIGNAL);
        if (sent > 0) {
            m_pendingPos += int(sent);
            m_unreported += sent;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        hangUp(errorText(sent < 0 ? errno : EPIPE));
        return false;
    }
    m_writeNotifier->setEnabled(false);
    if (m_pending.capacity() > kKeepPendingBytes)
        m_pending = QByteArray();
    else
        m_pending.resize(0);
    m_pendingPos = 0;
    return true;
}

void DescriptorStream::reportWritten()
{
    if (m_unreported <= 0)
        return;
    const qint64 bytes = m_unreported;
    m_unreported = 0;
    Q_EMIT bytesWritten(bytes);
}

void DescriptorStream::hangUp(const QString &reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    if (m_closing) {
        deleteLater();
        return;
    }
    // Told from the event loop: the reader may be in the middle of read().
    QMetaObject::invokeMethod(this, [this, reason] { Q_EMIT hungUp(reason); }, Qt::QueuedConnection);
}

void DescriptorStream::onReadable()
{
    if (m_closing) {
        // Whatever still comes is dropped; the other side's end is what we wait for.
        char sink[16 * 1024];
        while (read(sink, sizeof sink) > 0) {
        }
        return;
    }
    const quint64 reads = m_reads;
    QPointer<DescriptorStream> self(this);
    Q_EMIT readyRead();
    // Nobody read: quiet until someone does, rather than being told again and again.
    if (self && m_reads == reads && !m_ended)
        m_readNotifier->setEnabled(false);
}

void DescriptorStream::onWritable()
{
    if (!writeOut())
        return;
    if (m_closing) {
        if (bytesToWrite() == 0)
            ::shutdown(m_fd, SHUT_WR);
        return;
    }
    reportWritten();
}

void DescriptorStream::closeAfterFlush(int graceMs)
{
    if (m_closing)
        return;
    m_closing = true;
    disconnect(this, nullptr, nullptr, nullptr);
    if (m_ended) {
        deleteLater();
        return;
    }
    QTimer::singleShot(graceMs, this, [this] { deleteLater(); });
    if (bytesToWrite() == 0)
        ::shutdown(m_fd, SHUT_WR);
    m_readNotifier->setEnabled(true);
}

} // namespace com
