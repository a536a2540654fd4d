#include "testutil_timeouts.h"

#include "com/descriptorstream.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using com::DescriptorStream;

namespace {

// Both ends of one loopback connection: `near` to be taken over, `far` a plain socket.
struct Pair
{
    QTcpServer server;
    std::unique_ptr<QTcpSocket> near;
    QTcpSocket *far = nullptr;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost))
            return false;
        near.reset(new QTcpSocket);
        near->connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!near->waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        far = server.nextPendingConnection();
        return far != nullptr;
    }
};

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + i / 251);
    return data;
}

} // namespace

class TstDescriptorStream : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void takesOverOnlyAnIdleConnectedSocket();
    void queuesWhatTheSystemRefusesAndDeliversAllInOrder();
    void closeAfterFlushLetsQueuedBytesArrive();
    void hangUpsAreReportedOnce();
};

void TstDescriptorStream::takesOverOnlyAnIdleConnectedSocket()
{
    QTcpSocket unconnected;
    QVERIFY(!DescriptorStream::take(&unconnected, nullptr));

    Pair pair;
    QVERIFY(pair.open());
    pair.far->write("early");
    QVERIFY(pair.far->waitForBytesWritten(5000));
    QVERIFY(pair.near->waitForReadyRead(5000));
    // Bytes the socket already holds would be lost to the stream.
    QVERIFY(!DescriptorStream::take(pair.near.get(), nullptr));
    QCOMPARE(pair.near->readAll(), QByteArray("early"));

    std::unique_ptr<DescriptorStream> stream(DescriptorStream::take(pair.near.get(), nullptr));
    QVERIFY(stream);
    QCOMPARE(pair.near->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(stream->peerPort(), pair.far->localPort());
    // The connection lives on in the stream.
    QSignalSpy readable(stream.get(), &DescriptorStream::readyRead);
    pair.far->write("later");
    QTRY_VERIFY(!readable.isEmpty());
    char buffer[16];
    QCOMPARE(stream->read(buffer, sizeof buffer), qint64(5));
    QCOMPARE(QByteArray(buffer, 5), QByteArray("later"));
    QCOMPARE(stream->read(buffer, sizeof buffer), qint64(0));
}

void TstDescriptorStream::queuesWhatTheSystemRefusesAndDeliversAllInOrder()
{
    Pair pair;
    QVERIFY(pair.open());
    std::unique_ptr<DescriptorStream> stream(DescriptorStream::take(pair.near.get(), nullptr));
    QVERIFY(stream);
    qint64 reported = 0;
    connect(stream.get(), &DescriptorStream::bytesWritten, this, [&](qint64 n) { reported += n; });

    // Far more than the system buffers while the other side reads nothing.
    const QByteArray data = pattern(64 * 1024 * 1024);
    for (int at = 0; at < data.size(); at += 1024 * 1024)
        stream->write(data.constData() + at, 1024 * 1024);
    QVERIFY(stream->bytesToWrite() > 0);

    QByteArray got;
    connect(pair.far, &QTcpSocket::readyRead, this, [&] { got += pair.far->readAll(); });
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), data.size(), testutil::timeoutMs(30000));
    QVERIFY(got == data);
    QCOMPARE(stream->bytesToWrite(), qint64(0));
    QTRY_COMPARE(reported, qint64(data.size()));
}

void TstDescriptorStream::closeAfterFlushLetsQueuedBytesArrive()
{
    Pair pair;
    QVERIFY(pair.open());
    QPointer<DescriptorStream> stream = DescriptorStream::take(pair.near.get(), nullptr);
    QVERIFY(stream);
    const QByteArray data = pattern(16 * 1024 * 1024);
    stream->write(data.constData(), data.size());
    stream->closeAfterFlush(testutil::timeoutMs(10000));

    QByteArray got;
    connect(pair.far, &QTcpSocket::readyRead, this, [&] { got += pair.far->readAll(); });
    QTRY_COMPARE_WITH_TIMEOUT(pair.far->state(), QAbstractSocket::UnconnectedState, testutil::timeoutMs(30000));
    got += pair.far->readAll();
    QVERIFY(got == data);
    QTRY_VERIFY(!stream);   // gone once the other side has closed too
}

void TstDescriptorStream::hangUpsAreReportedOnce()
{
    for (const bool reset : {false, true}) {
        Pair pair;
        QVERIFY(pair.open());
        std::unique_ptr<DescriptorStream> stream(DescriptorStream::take(pair.near.get(), nullptr));
        QVERIFY(stream);
        QSignalSpy hungUp(stream.get(), &DescriptorStream::hungUp);
        if (reset) {
            // Unread bytes at the other end make its close a reset; writing on must not
            // kill the process with SIGPIPE.
            stream->write("unread", 6);
            QTest::qWait(50);
            pair.far->abort();
            const QByteArray more = pattern(1024 * 1024);
            for (int i = 0; i < 8 && hungUp.isEmpty(); ++i) {
                stream->write(more.constData(), more.size());
                QTest::qWait(20);
            }
        } else {
            pair.far->disconnectFromHost();
            connect(stream.get(), &DescriptorStream::readyRead, this, [&] {
                char buffer[64];
                while (stream->read(buffer, sizeof buffer) > 0) {
                }
            });
        }
        QTRY_COMPARE(hungUp.count(), 1);
        if (!reset)
            QCOMPARE(hungUp.first().first().toString(), QStringLiteral("connection closed by peer"));
        char buffer[8];
        QCOMPARE(stream->read(buffer, sizeof buffer), qint64(-1));
        stream->write("after", 5);
        QTest::qWait(50);
        QCOMPARE(hungUp.count(), 1);
    }
}

QTEST_GUILESS_MAIN(TstDescriptorStream)
#include "tst_descriptorstream.moc"
