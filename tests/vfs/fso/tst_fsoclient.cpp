// The FSO client over an in-process wire: every request is decoded by the parser and handed
// to a scripted server in the test; its replies are encoded, decoded again and handed to the
// client on the next turn of the event loop, as the peer object would.

#include "vfs/fso/vfsclientnusk.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Bytes = std::vector<std::uint8_t>;

class Wire : public QObject
{
public:
    explicit Wire(ushort version = 3)
    {
        client.setProtocolVersion(version);
        client.setRequestTimeout(100);
        client.setTransferTimeout(100);
        QObject::connect(&client, &VfsClientNusk::fsoTransmit, this, [this, version](std::vector<unsigned char> data) {
            VfsFenuCommand req;
            if (!parser.processCommand(data, &req, version)) {
                ++undecodable;
                return;
            }
            requests.push_back(req);
            if (server)
                server(req);
        });
    }

    // Sends a reply to the client on the next turn of the event loop.
    void reply(VfsFenuCommand r)
    {
        r.msgClass = FSO_CLASS_REPLY;
        Bytes bytes;
        QVERIFY(encodeFsoMessage(r, 3, bytes));
        deliver(bytes);
    }

    void deliver(const Bytes &bytes)
    {
        QMetaObject::invokeMethod(this, [this, bytes]() {
            // one record per peer, reused for every message
            if (parser.processCommand(bytes, &shared, 3))
                client.processIncomingCommand(shared);
        }, Qt::QueuedConnection);
    }

    static VfsFenuCommand answer(const VfsFenuCommand &req, std::uint8_t status = 0)
    {
        VfsFenuCommand r;
        r.code = req.code | FSO_REPLY_BIT;
        r.trId = req.trId;
        r.status = status;
        return r;
    }

    std::vector<VfsFenuCommand> ofCode(std::uint8_t code) const
    {
        std::vector<VfsFenuCommand> v;
        for (const VfsFenuCommand &r : requests)
            if (r.code == code)
                v.push_back(r);
        return v;
    }

    VfsClientNusk client;
    VfsFenuCommandParser parser;
    VfsFenuCommand shared;
    std::function<void(const VfsFenuCommand &)> server;
    std::vector<VfsFenuCommand> requests;
    int undecodable = 0;
};

Bytes pageOf(int first, int count, std::uint32_t granted, std::vector<QString> extraNames = {})
{
    Bytes block(FSO_MAX_ENTRY_BLOCK);
    com::TermStreamWriter w(block);
    for (int i = first; i < first + count; ++i) {
        VfsDirectoryEntry e;
        e.name = QStringLiteral("f%1").arg(i, 4, 10, QLatin1Char('0'));
        e.type = FSO_ENTRY_FILE;
        e.size = std::uint64_t(i);
        writeDirectoryEntry(w, granted, e);
    }
    for (const QString &name : extraNames) {
        VfsDirectoryEntry e;
        e.name = name;
        writeDirectoryEntry(w, granted, e);
    }
    block.resize(w.size());
    return block;
}

// A directory of `total` files served in pages of `pageSize`; pages from `stopAt` on get no
// reply.
void serveDirectory(Wire &wire, int total, int pageSize, int stopAt = -1)
{
    wire.server = [&wire, total, pageSize, stopAt](const VfsFenuCommand &req) {
        if (req.code == FSO_LIST_DIRECTORY) {
            VfsFenuCommand r = Wire::answer(req);
            r.flags = req.flags & FSO_LISTDIR_ECHO_MASK;
            r.attributes.set(req.attributes.value0() & FSO_ATTR_ALL);
            r.volumeSerial = 42;
            wire.reply(r);
        } else if (req.code == FSO_QUERY_LIST_DIRECTORY) {
            const int index = int(req.index);
            if (stopAt >= 0 && index >= stopAt)
                return;
            const int n = std::min(pageSize, total - index);
            VfsFenuCommand r = Wire::answer(req, index + n >= total ? FSO_STATUS_COMPLETE : FSO_STATUS_SUCCESS);
            r.index = req.index;
            r.count = std::uint16_t(n);
            r.entryBlock = pageOf(index, n, FSO_ATTR_ALL);
            wire.reply(r);
        }
    };
}

} // namespace

class TstFsoClient : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void listingOverSeveralPages();
    void listingFlags();
    void emptyDirectory();
    void missingSecondPageTimesOut();
    void hostileListingPages();
    void leftOutEntriesKeptApart();
    void lateAndUnknownRepliesAreIgnored();
    void withdrawnRecordsAreNeverAnnounced();
    void openFileAttributesByVersion();
    void transfersAndSmallReplies();
    void unencodableRequestsFailWithoutWire();
    void receiversMayCallBackFromSignals();
    void lostLinkFailsWaitingRequestsAtOnce();
    void requestsWaitForTheLink();
    void replacedLinkRepeatsOnlyWhatChangesNothing();
    void completionsReachOnlyTheirRequester();
};

void TstFsoClient::listingOverSeveralPages()
{
    Wire wire;
    serveDirectory(wire, 250, 100);
    QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = QStringLiteral("C:/data");
    wire.client.listDirectory(&job);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<VfsListDirectoryJob *>(), &job);
    QCOMPARE(job.jobStatus, quint32(JobFinished));
    QCOMPARE(job.status, FSO_STATUS_COMPLETE);
    QCOMPARE(job.entries.size(), std::size_t(250));
    QCOMPARE(job.entries.front().name, QStringLiteral("f0000"));
    QCOMPARE(job.entries.back().name, QStringLiteral("f0249"));
    QCOMPARE(job.entries[123].size, std::uint64_t(123));
    QCOMPARE(job.entries[123].type, FSO_ENTRY_FILE);
    QCOMPARE(job.separator, QLatin1Char('\\'));
    QCOMPARE(job.volumeSerial, quint64(42));
    QVERIFY(job.request == nullptr);

    const auto list = wire.ofCode(FSO_LIST_DIRECTORY);
    const auto pages = wire.ofCode(FSO_QUERY_LIST_DIRECTORY);
    QCOMPARE(list.size(), std::size_t(1));
    QCOMPARE(list[0].path, std::string("C:/data"));
    QCOMPARE(list[0].attributes.value0(), FSO_ATTR_ALL);
    QCOMPARE(pages.size(), std::size_t(3));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        QCOMPARE(pages[i].trId, list[0].trId);
        QCOMPARE(pages[i].index, quint32(100 * i));
    }

    // a second listing gets its own transaction id
    VfsListDirectoryJob second;
    second.path = QStringLiteral("/");
    wire.client.listDirectory(&second);
    QTRY_COMPARE(spy.count(), 2);
    QVERIFY(wire.ofCode(FSO_LIST_DIRECTORY)[1].trId != list[0].trId);
}

void TstFsoClient::listingFlags()
{
    Wire wire;
    serveDirectory(wire, 0, 10);
    QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob root, watched, plain;
    root.path = QStringLiteral("/");
    root.watch = true;
    watched.path = QStringLiteral("/home");
    watched.watch = true;
    plain.path = QStringLiteral("/home");
    wire.client.listDirectory(&root);
    wire.client.listDirectory(&watched);
    wire.client.listDirectory(&plain);
    QTRY_COMPARE(spy.count(), 3);
    const auto list = wire.ofCode(FSO_LIST_DIRECTORY);
    QCOMPARE(list.size(), std::size_t(3));
    QCOMPARE(list[0].flags, 0x19u);
    QCOMPARE(list[1].flags, 0x1Du);
    QCOMPARE(list[2].flags, 0x19u);
}

void TstFsoClient::emptyDirectory()
{
    Wire wire;
    serveDirectory(wire, 0, 100);
    QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = QStringLiteral("/empty");
    wire.client.listDirectory(&job);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(job.jobStatus, quint32(JobFinished));
    QVERIFY(job.entries.empty());
}

void TstFsoClient::missingSecondPageTimesOut()
{
    Wire wire;
    serveDirectory(wire, 250, 100, 100);
    QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = QStringLiteral("/big");
    wire.client.listDirectory(&job);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(job.jobStatus, quint32(JobError));
    QCOMPARE(job.status, FSO_STATUS_TIMEOUT);
    QCOMPARE(job.entries.size(), std::size_t(100));
    QCOMPARE(job.entries.back().name, QStringLiteral("f0099"));
}

void TstFsoClient::hostileListingPages()
{
    // names that could climb out of a directory are dropped, the others kept
    {
        Wire wire;
        wire.server = [&wire](const VfsFenuCommand &req) {
            VfsFenuCommand r = Wire::answer(req);
            if (req.code == FSO_LIST_DIRECTORY) {
                r.attributes.set(FSO_ATTR_TYPE);
            } else {
                r.status = FSO_STATUS_COMPLETE;
                const std::vector<QString> bad = {QString(), QStringLiteral("."), QStringLiteral(".."),
                                                  QStringLiteral("../x"), QStringLiteral("a\\b"),
                                                  QString::fromUtf8("nul\0x", 5)};
                r.count = std::uint16_t(2 + bad.size());
                r.entryBlock = pageOf(0, 2, FSO_ATTR_TYPE, bad);
            }
            wire.reply(r);
        };
        QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
        VfsListDirectoryJob job;
        job.path = QStringLiteral("/d");
        wire.client.listDirectory(&job);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(job.jobStatus, quint32(JobFinished));
        QCOMPARE(job.entries.size(), std::size_t(2));
    }
    // "more follows" with no entries ends the listing instead of asking forever
    {
        Wire wire;
        wire.server = [&wire](const VfsFenuCommand &req) {
            VfsFenuCommand r = Wire::answer(req);
            if (req.code == FSO_LIST_DIRECTORY)
                r.attributes.set(FSO_ATTR_ALL);
            wire.reply(r);
        };
        QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
        VfsListDirectoryJob job;
        job.path = QStringLiteral("/d");
        wire.client.listDirectory(&job);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(job.jobStatus, quint32(JobFinished));
        QCOMPARE(wire.ofCode(FSO_QUERY_LIST_DIRECTORY).size(), std::size_t(1));
    }
    // a listing that never ends is cut off at the cap
    {
        Wire wire;
        wire.client.setMaxListingEntries(250);
        serveDirectory(wire, 1000000, 100);
        QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
        VfsListDirectoryJob job;
        job.path = QStringLiteral("/endless");
        wire.client.listDirectory(&job);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(job.jobStatus, quint32(JobError));
        QCOMPARE(job.entries.size(), std::size_t(250));
        QCOMPARE(wire.ofCode(FSO_QUERY_LIST_DIRECTORY).size(), std::size_t(3));
    }
}

void TstFsoClient::leftOutEntriesKeptApart()
{
    // what the server could not hand over never becomes an entry, but is named; a reused
    // record starts each listing without the names of the last one
    Wire wire;
    wire.server = [&wire](const VfsFenuCommand &req) {
        VfsFenuCommand r = Wire::answer(req);
        if (req.code == FSO_LIST_DIRECTORY) {
            r.attributes.set(FSO_ATTR_ALL);
        } else {
            r.status = FSO_STATUS_COMPLETE;
            r.count = 3;
            Bytes block = pageOf(0, 2, FSO_ATTR_ALL);
            Bytes more(1100);
            com::TermStreamWriter w(more);
            VfsDirectoryEntry e;
            e.name = QStringLiteral("bad-\uFFFD.bin");
            e.type = FSO_ENTRY_LEFT_OUT;
            writeDirectoryEntry(w, FSO_ATTR_ALL, e);
            block.insert(block.end(), more.begin(), more.begin() + std::ptrdiff_t(w.size()));
            r.entryBlock = block;
        }
        wire.reply(r);
    };
    QSignalSpy spy(&wire.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = QStringLiteral("/d");
    for (int round = 1; round <= 2; ++round) {
        job.entries.clear();
        wire.client.listDirectory(&job);
        QTRY_COMPARE(spy.count(), round);
        QCOMPARE(job.jobStatus, quint32(JobFinished));
        QCOMPARE(job.entries.size(), std::size_t(2));
        QCOMPARE(job.leftOut, std::vector<QString>{QStringLiteral("bad-\uFFFD.bin")});
    }
}

void TstFsoClient::lateAndUnknownRepliesAreIgnored()
{
    Wire wire; // the server never answers by itself
    QSignalSpy spy(&wire.client, &VfsClient::moveUpdate);
    VfsMoveJob job;
    job.source = QStringLiteral("/a");
    job.destination = QStringLiteral("/b");
    wire.client.move(&job);
    QTRY_COMPARE(wire.requests.size(), std::size_t(1));
    const VfsFenuCommand req = wire.requests[0];
    QCOMPARE(req.path, std::string("/a"));
    QCOMPARE(req.destination, std::string("/b"));

    VfsFenuCommand unknown = Wire::answer(req, FSO_STATUS_SUCCESS);
    unknown.trId = std::uint16_t(req.trId + 1);
    wire.reply(unknown);
    QVERIFY(QTest::qWaitFor([&]() { return spy.count() == 1; }, 5000));
    QCOMPARE(job.status, FSO_STATUS_TIMEOUT);
    QCOMPARE(job.jobStatus, quint32(JobError));

    // the real reply after the time-out changes nothing and announces nothing
    wire.reply(Wire::answer(req, FSO_STATUS_SUCCESS));
    QTest::qWait(20);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(job.status, FSO_STATUS_TIMEOUT);

    // a read reply for a timed-out read is ignored as well
    QSignalSpy readSpy(&wire.client, &VfsClient::readFileUpdate);
    VfsReadFileJob read;
    read.size = 10;
    wire.client.readFile(&read);
    QTRY_COMPARE(readSpy.count(), 1);
    QCOMPARE(read.status, FSO_STATUS_TIMEOUT);
    VfsFenuCommand late = Wire::answer(wire.ofCode(FSO_READ_FILE)[0]);
    late.data = Bytes(10, 1);
    wire.reply(late);
    QTest::qWait(20);
    QCOMPARE(readSpy.count(), 1);
    QCOMPARE(read.receivedSize, 0u);
}

void TstFsoClient::withdrawnRecordsAreNeverAnnounced()
{
    Wire wire;
    serveDirectory(wire, 250, 100);
    QSignalSpy listSpy(&wire.client, &VfsClient::listDirectoryUpdate);
    QSignalSpy openSpy(&wire.client, &VfsClient::openFileUpdate);
    QSignalSpy readSpy(&wire.client, &VfsClient::readFileUpdate);

    // the owner goes away while its first page is on the wire; the page still arrives
    auto listing = std::make_unique<VfsListDirectoryJob>();
    listing->path = QStringLiteral("/gone");
    auto serve = wire.server;
    bool released = false;
    wire.server = [&](const VfsFenuCommand &req) {
        if (req.code == FSO_QUERY_LIST_DIRECTORY && listing) {
            QVERIFY(listing->release);
            listing->release(listing.get());
            released = listing->request == nullptr;
            listing.reset();
        }
        serve(req);
    };
    wire.client.listDirectory(listing.get());
    QTRY_VERIFY(released);

    auto open = std::make_unique<VfsOpenFileJob>();
    open->path = QStringLiteral("/f");
    open->flags = FSO_OPEN_READ;
    wire.client.openFile(open.get());
    open->release(open.get()); // withdrawn before it was ever sent
    open.reset();

    auto read = std::make_unique<VfsReadFileJob>();
    read->size = 5;
    wire.client.readFile(read.get()); // sent at once
    QCOMPARE(wire.ofCode(FSO_READ_FILE).size(), std::size_t(1));
    const VfsFenuCommand readReq = wire.ofCode(FSO_READ_FILE)[0];
    read->release(read.get());
    read.reset();
    VfsFenuCommand readReply = Wire::answer(readReq);
    readReply.data = Bytes(5, 7);
    wire.reply(readReply);

    // well past every time-out: nothing was announced, nothing else was asked for
    QTest::qWait(300);
    QCOMPARE(listSpy.count(), 0);
    QCOMPARE(openSpy.count(), 0);
    QCOMPARE(readSpy.count(), 0);
    QVERIFY(wire.ofCode(FSO_OPEN_FILE).empty());

    // releasing an announced record, or after the client is gone, does nothing
    VfsMakeDirectoryJob mk;
    mk.path = QStringLiteral("/m");
    {
        Wire other;
        other.server = [&other](const VfsFenuCommand &req) { other.reply(Wire::answer(req)); };
        QSignalSpy mkSpy(&other.client, &VfsClient::makeDirectoryUpdate);
        other.client.makeDirectory(&mk);
        QTRY_COMPARE(mkSpy.count(), 1);
        mk.release(&mk);
    }
    // the client goes away with a record still queued; its owner may still call release
    auto client = std::make_unique<VfsClientNusk>();
    VfsDeleteFileJob del;
    del.path = QStringLiteral("/x");
    client->deleteFile(&del);
    auto releaseLater = del.release;
    QVERIFY(releaseLater);
    client.reset();
    releaseLater(&del);
    QVERIFY(del.request == nullptr);
}

void TstFsoClient::openFileAttributesByVersion()
{
    auto sendOpen = [](ushort version, quint32 flags, qint64 atime, qint64 mtime, quint64 size) {
        Wire wire(version);
        VfsOpenFileJob job;
        job.path = QStringLiteral("/f");
        job.flags = flags;
        job.accessTime = atime;
        job.modificationTime = mtime;
        job.size = size;
        wire.client.openFile(&job);
        if (!QTest::qWaitFor([&]() { return !wire.requests.empty(); }, 5000))
            return VfsFenuCommand();
        return wire.requests[0];
    };
    const qint64 T = 1700000000000;
    const quint64 S = 123456;

    VfsFenuCommand v3 = sendOpen(3, 0x06, 0, T, S);
    QCOMPARE(v3.flags, 0x16u);
    QCOMPARE(v3.attributes.mask, std::uint16_t(1));
    QCOMPARE(v3.attributes.values[0], 0x22u);
    QCOMPARE(v3.modifyTime, T);
    QCOMPARE(v3.size, S);

    VfsFenuCommand v2 = sendOpen(2, 0x06, 0, T, S);
    QCOMPARE(v2.flags, 0x16u);
    QCOMPARE(v2.attributes.values[0], 0x20u);
    QCOMPARE(v2.size, std::uint64_t(0));

    VfsFenuCommand v1 = sendOpen(1, 0x06, 0, T, S);
    QCOMPARE(v1.flags, 0x06u);
    QCOMPARE(v1.attributes.mask, std::uint16_t(0));

    // a truncation size without any time still reaches a version 3 server
    VfsFenuCommand sizeOnly = sendOpen(3, 0x06, 0, 0, S);
    QCOMPARE(sizeOnly.flags, 0x16u);
    QCOMPARE(sizeOnly.attributes.values[0], FSO_ATTR_SIZE);
    QCOMPARE(sizeOnly.size, S);

    VfsFenuCommand both = sendOpen(3, 0x02, T - 1, T, 0);
    QCOMPARE(both.attributes.values[0], 0x28u);
    QCOMPARE(both.accessTime, T - 1);

    // reading only: no times are offered
    VfsFenuCommand readOnly = sendOpen(3, 0x01, T, T, 0);
    QCOMPARE(readOnly.flags, 0x01u);
}

void TstFsoClient::transfersAndSmallReplies()
{
    Wire wire;
    wire.server = [&wire](const VfsFenuCommand &req) {
        VfsFenuCommand r = Wire::answer(req);
        switch (req.code) {
        case FSO_READ_FILE:
            r.data = Bytes(req.handle == 66 ? req.dataSize + 1 : req.dataSize, 0x61);
            r.dataSize = std::uint32_t(r.data.size());
            break;
        case FSO_WRITE_FILE:
            r.dataSize = std::uint32_t(req.data.size());
            break;
        case FSO_HASH_FILE:
            r.flags = 1;
            r.count = req.blockCount;
            r.data = Bytes(20u * req.blockCount, 0x77);
            break;
        case FSO_LIST_DRIVES: {
            FsoDriveRecord d;
            d.lead = 1;
            d.type = 1;
            d.bytesTotal = 2000000000;
            d.path = "C:\\";
            d.name = "System";
            r.drives = {d};
            break;
        }
        case FSO_DELETE_FILE:
            r.status = FSO_STATUS_NOT_PERMITTED;
            r.path = req.path;
            break;
        case FSO_MAKE_DIRECTORY:
            r.detail = FSO_MKDIR_DETAIL_EXISTED;
            break;
        case FSO_CLOSE_FILE:
        case FSO_OPEN_FILE:
            r.handle = 9;
            break;
        default:
            break;
        }
        wire.reply(r);
    };

    QSignalSpy readSpy(&wire.client, &VfsClient::readFileUpdate);
    VfsReadFileJob read;
    read.size = 1000;
    read.handle = 5;
    wire.client.readFile(&read);
    VfsReadFileJob greedy; // the server sends more than asked for
    greedy.size = 1000;
    greedy.handle = 66;
    wire.client.readFile(&greedy);
    QTRY_COMPARE(readSpy.count(), 2);
    QCOMPARE(read.jobStatus, quint32(JobFinished));
    QCOMPARE(read.receivedSize, 1000u);
    QCOMPARE(read.data.size(), std::size_t(1000));
    QCOMPARE(greedy.receivedSize, 0u);

    QSignalSpy writeSpy(&wire.client, &VfsClient::writeFileUpdate);
    VfsWriteFileJob write;
    write.data = Bytes(300, 1);
    write.size = 300;
    wire.client.writeFile(&write);
    QTRY_COMPARE(writeSpy.count(), 1);
    QCOMPARE(write.written, 300u);
    QCOMPARE(wire.ofCode(FSO_WRITE_FILE).back().data.size(), std::size_t(300));

    QSignalSpy hashSpy(&wire.client, &VfsClient::hashFileUpdate);
    VfsHashFileJob hash;
    hash.flags = FSO_HASH_SHA1;
    hash.blockCount = 64;
    hash.blockSize = 64400;
    wire.client.hashFile(&hash);
    QTRY_COMPARE(hashSpy.count(), 1);
    QCOMPARE(hash.digestCount, quint16(64));
    QCOMPARE(hash.digests.size(), std::size_t(64 * 20));

    QSignalSpy drivesSpy(&wire.client, &VfsClient::listDrivesUpdate);
    VfsListDrivesJob drives;
    wire.client.listDrives(&drives);
    QCOMPARE(drives.status, quint8(1));
    QTRY_COMPARE(drivesSpy.count(), 1);
    QCOMPARE(drives.drives.size(), std::size_t(1));
    QCOMPARE(drives.drives[0].path, QStringLiteral("C:"));
    QCOMPARE(drives.drives[0].name, QStringLiteral("System"));
    QCOMPARE(drives.drives[0].trId, wire.ofCode(FSO_LIST_DRIVES)[0].trId);
    QCOMPARE(drives.status, quint8(0));

    QSignalSpy delSpy(&wire.client, &VfsClient::deleteFileUpdate);
    VfsDeleteFileJob del;
    del.path = QString::fromUtf8("/ä");
    wire.client.deleteFile(&del);
    QTRY_COMPARE(delSpy.count(), 1);
    QCOMPARE(del.failedPath, QString::fromUtf8("/ä"));
    QCOMPARE(del.status, FSO_STATUS_NOT_PERMITTED);

    QSignalSpy mkSpy(&wire.client, &VfsClient::makeDirectoryUpdate);
    VfsMakeDirectoryJob mk;
    mk.path = QStringLiteral("/m");
    wire.client.makeDirectory(&mk);
    QTRY_COMPARE(mkSpy.count(), 1);
    QCOMPARE(mk.detail, FSO_MKDIR_DETAIL_EXISTED);

    QSignalSpy closeSpy(&wire.client, &VfsClient::closeFileUpdate);
    VfsCloseFileJob close;
    close.handle = 9;
    wire.client.closeFile(&close);
    QTRY_COMPARE(closeSpy.count(), 1);
    QCOMPARE(close.jobStatus, quint32(JobFinished));

    QSignalSpy changedSpy(&wire.client, &VfsClient::directoryChanged);
    VfsFenuCommand note;
    note.code = FSO_DIRECTORY_CHANGED;
    note.path = "%drives";
    wire.reply(note);
    QTRY_COMPARE(changedSpy.count(), 1);
    QCOMPARE(changedSpy.at(0).at(0).toString(), QStringLiteral("%drives"));
}

void TstFsoClient::unencodableRequestsFailWithoutWire()
{
    Wire wire;
    QSignalSpy moveSpy(&wire.client, &VfsClient::moveUpdate);
    QSignalSpy openSpy(&wire.client, &VfsClient::openFileUpdate);
    QSignalSpy writeSpy(&wire.client, &VfsClient::writeFileUpdate);
    VfsMoveJob move;
    move.source = QStringLiteral("/a");
    wire.client.move(&move);
    VfsOpenFileJob open;
    wire.client.openFile(&open);
    VfsWriteFileJob write;
    write.size = 64401;
    write.data = Bytes(64401, 0);
    wire.client.writeFile(&write);
    VfsDeleteFileJob longPath;
    longPath.path = QString(1024, QLatin1Char('x'));
    QSignalSpy delSpy(&wire.client, &VfsClient::deleteFileUpdate);
    wire.client.deleteFile(&longPath);
    QTRY_COMPARE(moveSpy.count(), 1);
    QTRY_COMPARE(openSpy.count(), 1);
    QTRY_COMPARE(writeSpy.count(), 1);
    QTRY_COMPARE(delSpy.count(), 1);
    QCOMPARE(move.jobStatus, quint32(JobError));
    QCOMPARE(open.jobStatus, quint32(JobError));
    QCOMPARE(open.status, FSO_STATUS_IO_ERROR);
    QCOMPARE(write.jobStatus, quint32(JobError));
    QCOMPARE(longPath.jobStatus, quint32(JobError));
    QVERIFY(wire.requests.empty());
    QCOMPARE(wire.undecodable, 0);
}

void TstFsoClient::receiversMayCallBackFromSignals()
{
    // A job steps its state machine straight from the update signal: open, then read, then
    // close, all from within the previous announcement.
    Wire wire;
    wire.server = [&wire](const VfsFenuCommand &req) {
        VfsFenuCommand r = Wire::answer(req);
        r.handle = 3;
        if (req.code == FSO_READ_FILE) {
            r.data = Bytes(req.dataSize, 0x42);
            r.dataSize = req.dataSize;
        }
        wire.reply(r);
    };
    VfsOpenFileJob open;
    open.path = QStringLiteral("/f");
    open.flags = FSO_OPEN_READ;
    VfsReadFileJob read;
    VfsCloseFileJob close;
    bool closed = false;
    connect(&wire.client, &VfsClient::openFileUpdate, this, [&](VfsOpenFileJob *job) {
        if (job != &open)
            return;
        read.handle = open.handle;
        read.size = 64;
        wire.client.readFile(&read);
    }, Qt::DirectConnection);
    connect(&wire.client, &VfsClient::readFileUpdate, this, [&](VfsReadFileJob *job) {
        if (job != &read)
            return;
        close.handle = read.handle;
        wire.client.closeFile(&close);
    }, Qt::DirectConnection);
    connect(&wire.client, &VfsClient::closeFileUpdate, this, [&](VfsCloseFileJob *job) { closed = job == &close; },
            Qt::DirectConnection);
    wire.client.openFile(&open);
    QTRY_VERIFY(closed);
    QCOMPARE(read.receivedSize, 64u);
    QCOMPARE(close.handle, quint16(3));
}

void TstFsoClient::lostLinkFailsWaitingRequestsAtOnce()
{
    Wire wire;   // no server: nothing is ever answered
    wire.client.setRequestTimeout(3600000);
    wire.client.setTransferTimeout(3600000);
    QSignalSpy readSpy(&wire.client, &VfsClient::readFileUpdate);
    QSignalSpy listSpy(&wire.client, &VfsClient::listDirectoryUpdate);

    VfsReadFileJob read;
    read.size = 5;
    wire.client.readFile(&read);
    VfsListDirectoryJob listing;
    listing.path = QStringLiteral("/d");
    wire.client.listDirectory(&listing);
    QTRY_COMPARE(wire.requests.size(), std::size_t(2));

    wire.client.failPendingRequests();
    QTRY_COMPARE(readSpy.count(), 1);
    QTRY_COMPARE(listSpy.count(), 1);
    QCOMPARE(read.jobStatus, quint32(JobError));
    QCOMPARE(read.status, FSO_STATUS_TIMEOUT);
    QCOMPARE(listing.status, FSO_STATUS_TIMEOUT);

    // a late reply to the failed read is dropped, and the client takes new work
    VfsFenuCommand late = Wire::answer(wire.ofCode(FSO_READ_FILE)[0]);
    late.data = Bytes(5, 1);
    wire.reply(late);
    VfsMakeDirectoryJob mk;
    mk.path = QStringLiteral("/m");
    wire.server = [&wire](const VfsFenuCommand &req) { wire.reply(Wire::answer(req)); };
    QSignalSpy mkSpy(&wire.client, &VfsClient::makeDirectoryUpdate);
    wire.client.makeDirectory(&mk);
    QTRY_COMPARE(mkSpy.count(), 1);
    QCOMPARE(mk.status, quint8(FSO_STATUS_SUCCESS));
    QCOMPARE(readSpy.count(), 1);
}

// Until the link is ready nothing leaves; what was asked meanwhile goes once it is, and
// what waited longer than its timeout fails as unanswered. A lost link fails only what was
// sent on it.
void TstFsoClient::requestsWaitForTheLink()
{
    Wire wire;
    wire.client.setRequestTimeout(3600000);
    wire.client.setLinkReady(false);
    wire.server = [&wire](const VfsFenuCommand &req) { wire.reply(Wire::answer(req)); };
    QSignalSpy mkSpy(&wire.client, &VfsClient::makeDirectoryUpdate);
    VfsMakeDirectoryJob early;
    early.path = QStringLiteral("/early");
    wire.client.makeDirectory(&early);
    QTest::qWait(50);
    QCOMPARE(wire.requests.size(), std::size_t(0));

    wire.client.setLinkReady(true);
    QTRY_COMPARE(mkSpy.count(), 1);
    QCOMPARE(early.status, quint8(FSO_STATUS_SUCCESS));

    wire.client.setLinkReady(false);
    wire.client.setRequestTimeout(300);
    VfsMakeDirectoryJob late;
    late.path = QStringLiteral("/late");
    wire.client.makeDirectory(&late);
    wire.client.failPendingRequests();   // nothing was sent: it waits on
    QTest::qWait(50);
    QCOMPARE(mkSpy.count(), 1);
    QTRY_COMPARE(mkSpy.count(), 2);
    QCOMPARE(late.status, FSO_STATUS_TIMEOUT);
    QCOMPARE(wire.requests.size(), std::size_t(1));
}

// The other side dropped the link before reading what was on it: a listing halfway through
// its pages starts over (its entries once, not twice); a directory to make is not asked for
// twice; a late page of the first listing changes nothing.
void TstFsoClient::replacedLinkRepeatsOnlyWhatChangesNothing()
{
    Wire wire;
    wire.client.setRequestTimeout(3600000);
    serveDirectory(wire, 250, 100, 200);
    QSignalSpy listSpy(&wire.client, &VfsClient::listDirectoryUpdate);
    QSignalSpy mkSpy(&wire.client, &VfsClient::makeDirectoryUpdate);
    VfsListDirectoryJob listing;
    listing.path = QStringLiteral("/d");
    wire.client.listDirectory(&listing);
    VfsMakeDirectoryJob mk;
    mk.path = QStringLiteral("/d/new");
    wire.client.makeDirectory(&mk);
    QTRY_COMPARE(wire.ofCode(FSO_QUERY_LIST_DIRECTORY).size(), std::size_t(3));
    const VfsFenuCommand unanswered = wire.ofCode(FSO_QUERY_LIST_DIRECTORY).back();

    serveDirectory(wire, 250, 100);
    wire.client.repeatUnanswered();
    QTRY_COMPARE(listSpy.count(), 1);
    QCOMPARE(listing.status, FSO_STATUS_COMPLETE);
    QCOMPARE(listing.entries.size(), std::size_t(250));
    QCOMPARE(wire.ofCode(FSO_LIST_DIRECTORY).size(), std::size_t(2));
    QVERIFY(wire.ofCode(FSO_LIST_DIRECTORY)[1].trId != unanswered.trId);
    QCOMPARE(wire.ofCode(FSO_MAKE_DIRECTORY).size(), std::size_t(1));

    VfsFenuCommand late = Wire::answer(unanswered, FSO_STATUS_COMPLETE);
    late.count = 50;
    late.entryBlock = pageOf(200, 50, FSO_ATTR_ALL);
    wire.reply(late);
    wire.reply(Wire::answer(wire.ofCode(FSO_MAKE_DIRECTORY)[0]));
    QTRY_COMPARE(mkSpy.count(), 1);
    QCOMPARE(mk.status, quint8(FSO_STATUS_SUCCESS));
    QCOMPARE(listSpy.count(), 1);
    QCOMPARE(listing.entries.size(), std::size_t(250));
}

void TstFsoClient::completionsReachOnlyTheirRequester()
{
    Wire wire;
    wire.server = [&wire](const VfsFenuCommand &req) {
        VfsFenuCommand r = Wire::answer(req);
        r.count = req.blockCount;
        r.data = Bytes(std::size_t(req.blockCount) * FSO_DIGEST_SIZE, std::uint8_t(req.offset));
        wire.reply(r);
    };
    QSignalSpy hashSpy(&wire.client, &VfsClient::hashFileUpdate);

    // Two records of one kind, each with its own completion; a third on the signal.
    VfsHashFileJob first, second, plain;
    std::vector<VfsHashFileJob *> firstDone, secondDone;
    first.done = [&](VfsHashFileJob *job) { firstDone.push_back(job); };
    second.done = [&](VfsHashFileJob *job) { secondDone.push_back(job); };
    for (VfsHashFileJob *job : {&first, &second, &plain}) {
        job->blockCount = 1;
        job->blockSize = 100;
    }
    first.offset = 1;
    second.offset = 2;
    wire.client.hashFile(&first);
    wire.client.hashFile(&second);
    wire.client.hashFile(&plain);
    QTRY_COMPARE(hashSpy.count(), 1);
    QTRY_COMPARE(firstDone.size() + secondDone.size(), std::size_t(2));
    QCOMPARE(firstDone, std::vector<VfsHashFileJob *>{&first});
    QCOMPARE(secondDone, std::vector<VfsHashFileJob *>{&second});
    QCOMPARE(hashSpy.at(0).at(0).value<VfsHashFileJob *>(), &plain);
    QCOMPARE(second.digests.front(), std::uint8_t(2));

    // Once the client's thread is gone, no record of any kind keeps a request behind.
    Wire idle;
    VfsHashFileJob hash;
    VfsDeleteFileJob del;
    VfsMoveJob move;
    del.path = move.source = move.destination = QStringLiteral("/x");
    idle.client.hashFile(&hash);
    idle.client.deleteFile(&del);
    idle.client.move(&move);
    QTRY_COMPARE(idle.requests.size(), std::size_t(3));
    idle.client.onThreadFinished();
    QVERIFY(!hash.request && !del.request && !move.request);
}

QTEST_GUILESS_MAIN(TstFsoClient)
#include "tst_fsoclient.moc"
