// Reads, hashes and closes racing on one handle, and servers destroyed while their jobs are
// still on the thread pool. Meant for the AddressSanitizer and ThreadSanitizer builds too.

#include "tst_serverharness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class TestServerStress : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray m_content;
    QString m_file;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_content.resize(1 << 20);
        for (int i = 0; i < m_content.size(); ++i)
            m_content[i] = char(i * 131 + (i >> 9));
        m_file = m_dir.path() + "/big.bin";
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(m_content), qint64(m_content.size()));
    }

    void pipelinedReadAndClose()
    {
        ServerHarness h(true);
        QRandomGenerator random(7);
        for (int round = 0; round < 150; ++round) {
            const ServerHarness::Opened f = h.open(m_file, FSO_OPEN_READ);
            QCOMPARE(f.status, std::uint8_t(0));
            std::vector<std::pair<std::uint16_t, std::uint64_t>> reads;
            std::vector<std::uint16_t> hashes;
            auto postRead = [&](std::uint8_t flags) {
                VfsFenuCommand cmd = ServerHarness::make(FSO_READ_FILE, QString(), flags);
                cmd.handle = f.handle;
                cmd.offset = random.bounded(m_content.size());
                cmd.dataSize = FSO_MAX_DATA;
                reads.emplace_back(h.post(cmd), cmd.offset);
            };
            for (int i = 0; i < 12; ++i)
                postRead(i == 6 ? FSO_READ_CLOSE : 0);
            VfsFenuCommand hash = ServerHarness::make(FSO_HASH_FILE, QString(), FSO_HASH_SHA1);
            hash.handle = f.handle;
            hash.blockCount = 16;
            hash.dataSize = 64400;
            hashes.push_back(h.post(hash));
            VfsFenuCommand close = ServerHarness::make(FSO_CLOSE_FILE);
            close.handle = f.handle;
            const std::uint16_t closeTrId = h.post(close);
            for (int i = 0; i < 4; ++i)
                postRead(0);

            for (const auto &read : reads) {
                const VfsFenuCommand reply = h.take(FSO_READ_FILE, read.first);
                QVERIFY(reply.status == 0 || reply.status == 7 || reply.status == 13);
                if (reply.status != 13) {
                    QCOMPARE(reply.offset, read.second);
                    const QByteArray expected = m_content.mid(int(read.second), int(FSO_MAX_DATA));
                    QCOMPARE(QByteArray((const char *)reply.data.data(), int(reply.data.size())), expected);
                }
            }
            for (std::uint16_t trId : hashes) {
                const VfsFenuCommand reply = h.take(FSO_HASH_FILE, trId);
                QVERIFY(reply.status == 0 || reply.status == 13);
                if (reply.status == 0) {
                    QCOMPARE(reply.count, std::uint16_t(16));
                    QCOMPARE(QByteArray((const char *)reply.data.data(), 20),
                             QCryptographicHash::hash(m_content.left(64400), QCryptographicHash::Sha1));
                }
            }
            // Either the CLOSE_FILE or the read with the close flag closed it first.
            const std::uint8_t closed = h.take(FSO_CLOSE_FILE, closeTrId).status;
            QVERIFY(closed == 0 || closed == 3);
            QCOMPARE(h.server->openFileCount(), 0);
        }
        QVERIFY(ServerHarness::waitUntil([&]() { return h.server->runningJobCount() == 0; }));
        QCOMPARE(h.undecodable, 0);
        QVERIFY(h.replies.empty());
    }

    void destroyedWithJobsInFlight()
    {
        const QString tree = m_dir.path() + "/tree";
        for (int round = 0; round < 12; ++round) {
            for (int i = 0; i < 40; ++i) {
                const QString sub = tree + QStringLiteral("/d%1/e%2").arg(i % 7).arg(i);
                QVERIFY(QDir().mkpath(sub));
                QFile file(sub + "/f");
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("x");
            }
            ServerHarness h(round % 2 == 0);
            if (round % 2)
                h.server->setAcl({[&]() {
                    PeerAclDto acl;
                    acl.uuid = "{12121212-1212-1212-1212-121212121212}";
                    acl.selector = m_dir.path();
                    acl.flags = 0x7;
                    return acl;
                }()});
            const ServerHarness::Opened f = h.open(m_file, FSO_OPEN_READ | FSO_OPEN_WRITE);
            QCOMPARE(f.status, std::uint8_t(0));
            ServerHarness::Listing listing = h.startListing(m_dir.path());
            QCOMPARE(listing.status, std::uint8_t(0));
            VfsFenuCommand query = ServerHarness::make(FSO_QUERY_LIST_DIRECTORY);
            query.trId = listing.reply.trId;
            h.post(query);
            for (int i = 0; i < 20; ++i) {
                VfsFenuCommand hash = ServerHarness::make(FSO_HASH_FILE, QString(), FSO_HASH_SHA1);
                hash.handle = f.handle;
                hash.blockCount = 64;
                hash.dataSize = 64400;
                h.post(hash);
                VfsFenuCommand read = ServerHarness::make(FSO_READ_FILE);
                read.handle = f.handle;
                read.offset = std::uint64_t(i) * 4096;
                read.dataSize = FSO_MAX_DATA;
                h.post(read);
                VfsFenuCommand write = ServerHarness::make(FSO_WRITE_FILE);
                write.handle = f.handle;
                write.offset = std::uint64_t(i) * 100;
                write.data.assign(m_content.begin() + i * 100, m_content.begin() + i * 100 + 100);
                write.dataSize = 100;
                h.post(write);
            }
            h.post(ServerHarness::make(FSO_DELETE_FILE, tree));
            // The server goes while its jobs run; none of them may touch it afterwards.
            h.server.reset();
            QCoreApplication::processEvents();
        }
        // Writes only ever wrote the file's own bytes back.
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_content);
    }
};

QTEST_GUILESS_MAIN(TestServerStress)
#include "tst_serverstress.moc"
