#include "vfs/fso/vfsfenucommandparser.h"

#include <QSignalSpy>
#include <QtTest>

using com::TermStreamReader;
using com::TermStreamWriter;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char *text)
{
    const QByteArray b = QByteArray::fromHex(QByteArray(text));
    return Bytes(b.begin(), b.end());
}

VfsFenuCommand record(std::uint8_t code, std::uint16_t trId = 0x4711)
{
    VfsFenuCommand c;
    c.msgClass = (code & FSO_REPLY_BIT) || code == FSO_DIRECTORY_CHANGED ? FSO_CLASS_REPLY : FSO_CLASS_REQUEST;
    c.code = code;
    c.trId = trId;
    return c;
}

Bytes encoded(const VfsFenuCommand &c, unsigned version = 3)
{
    Bytes out;
    if (!encodeFsoMessage(c, version, out))
        qFatal("encode of code 0x%02X failed", c.code);
    return out;
}

bool decode(const Bytes &b, VfsFenuCommand &c, unsigned version = 3)
{
    return decodeFsoCommand(b.data(), b.size(), c, version);
}

Bytes entryBlock(const std::vector<VfsDirectoryEntry> &entries, std::uint32_t granted)
{
    Bytes buf(FSO_MAX_ENTRY_BLOCK);
    TermStreamWriter w(buf);
    for (const VfsDirectoryEntry &e : entries)
        writeDirectoryEntry(w, granted, e);
    buf.resize(w.size());
    return buf;
}

// One valid message of every code, with every optional part present.
std::vector<VfsFenuCommand> sampleMessages()
{
    std::vector<VfsFenuCommand> v;
    auto c = record(FSO_LIST_DIRECTORY);
    c.flags = 0x1D; c.attributes.set(FSO_ATTR_ALL); c.path = "/home/user";
    v.push_back(c);
    c = record(FSO_LIST_DIRECTORY_REPLY);
    c.flags = 0x19; c.attributes.set(0x7FB); c.volumeSerial = 0x1122334455667788ull;
    v.push_back(c);
    c = record(FSO_QUERY_LIST_DIRECTORY); c.index = 300;
    v.push_back(c);
    c = record(FSO_QUERY_LIST_DIRECTORY_REPLY); c.index = 300; c.count = 1;
    VfsDirectoryEntry e; e.name = QStringLiteral("a.txt"); e.type = FSO_ENTRY_FILE; e.size = 5;
    c.entryBlock = entryBlock({e}, 0x7FB);
    v.push_back(c);
    c = record(FSO_LIST_DRIVES); c.flags = 0x10; c.index = 2;
    v.push_back(c);
    c = record(FSO_LIST_DRIVES_REPLY);
    FsoDriveRecord d; d.lead = 1; d.type = 2; d.bytesTotal = 1000; d.bytesAvailable = 10; d.path = "C:\\"; d.name = "System";
    c.drives = {d, d};
    v.push_back(c);
    c = record(FSO_MOVE); c.flags = 3; c.path = "/a"; c.destination = "/b";
    v.push_back(c);
    c = record(FSO_MOVE_REPLY); c.status = FSO_STATUS_SAME_PATH;
    v.push_back(c);
    c = record(FSO_OPEN_FILE); c.flags = 0x16; c.attributes.set(0x2A);
    c.accessTime = 11; c.modifyTime = 33; c.size = 44; c.path = "/f";
    v.push_back(c);
    c = record(FSO_OPEN_FILE_REPLY); c.handle = 9;
    v.push_back(c);
    c = record(FSO_READ_FILE); c.flags = 4; c.handle = 9; c.offset = 64400; c.dataSize = 64400;
    v.push_back(c);
    c = record(FSO_READ_FILE_REPLY); c.flags = 4; c.offset = 64400; c.data = Bytes(100, 0xAB); c.dataSize = 100;
    v.push_back(c);
    c = record(FSO_WRITE_FILE); c.flags = 1; c.handle = 9; c.offset = 7; c.data = Bytes(10, 0x5A); c.dataSize = 10;
    v.push_back(c);
    c = record(FSO_WRITE_FILE_REPLY); c.flags = 0; c.offset = 7; c.dataSize = 10;
    v.push_back(c);
    c = record(FSO_DELETE_FILE); c.flags = 1; c.path = "/x";
    v.push_back(c);
    c = record(FSO_DELETE_FILE_REPLY); c.status = 3; c.path = "/x";
    v.push_back(c);
    c = record(FSO_MAKE_DIRECTORY); c.path = "/d";
    v.push_back(c);
    c = record(FSO_MAKE_DIRECTORY_REPLY); c.detail = FSO_MKDIR_DETAIL_EXISTED;
    v.push_back(c);
    c = record(FSO_CLOSE_FILE); c.handle = 9;
    v.push_back(c);
    c = record(FSO_CLOSE_FILE_REPLY); c.handle = 9;
    v.push_back(c);
    c = record(FSO_HASH_FILE); c.flags = 1; c.handle = 9; c.blockCount = 64; c.dataSize = 64400; c.offset = 0;
    v.push_back(c);
    c = record(FSO_HASH_FILE_REPLY); c.flags = 1; c.count = 2; c.data = Bytes(40, 0x11); c.dataSize = 40;
    v.push_back(c);
    c = record(FSO_DIRECTORY_CHANGED); c.path = "%drives";
    v.push_back(c);
    c = record(FSO_PUT_FILE); c.accessTime = 11; c.modifyTime = 33; c.path = "/d/f"; c.destination = "/d/.f.part";
    c.data = Bytes(10, 0x33); c.dataSize = 10;
    v.push_back(c);
    c = record(FSO_PUT_FILE_REPLY); c.status = FSO_STATUS_EXISTS;
    v.push_back(c);
    c = record(FSO_GET_FILE); c.path = "/d/f"; c.dataSize = 4096;
    v.push_back(c);
    c = record(FSO_GET_FILE_REPLY); c.status = FSO_STATUS_END_OF_FILE; c.data = Bytes(10, 0x44); c.dataSize = 10;
    v.push_back(c);
    return v;
}

// Bytes of a message up to and including its fixed fields, i.e. where a cut must be refused.
std::size_t mandatoryBytes(const VfsFenuCommand &c, const Bytes &b)
{
    if (c.code == FSO_QUERY_LIST_DIRECTORY_REPLY)
        return com::kTermHeaderBytes + 2 + 5 + 3; // status, index, count; the block is the rest
    return b.size();
}

} // namespace

class TstFsoParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void goldenBytesBothWays();
    void everyCodeRoundTrips();
    void truncatedPrefixesAreRefused();
    void openFileByVersion();
    void fieldsOfEarlierMessagesDoNotLeak();
    void oversizedBlocks();
    void driveReplyLimits();
    void hashReplyConsistency();
    void pathAndNameLimits();
    void directoryEntries();
    void unusableNames();
    void malformedHeaderAndUnknownCode();
};

void TstFsoParser::goldenBytesBothWays()
{
    const Bytes close = hex("0714000000054205150634120700000000060700");
    VfsFenuCommand c;
    QVERIFY(decode(close, c));
    QCOMPARE(c.code, FSO_CLOSE_FILE);
    QCOMPARE(c.trId, std::uint16_t(0x1234));
    QCOMPARE(c.flags, 0u);
    QCOMPARE(c.handle, std::uint16_t(7));
    QCOMPARE(encoded(c), close);

    const Bytes list = hex("071E0000000542050A060201071900000006010007FB0700000D03433A2F");
    QVERIFY(decode(list, c));
    QCOMPARE(c.code, FSO_LIST_DIRECTORY);
    QCOMPARE(c.trId, std::uint16_t(0x0102));
    QCOMPARE(c.flags, 0x19u);
    QCOMPARE(c.attributes.mask, std::uint16_t(1));
    QCOMPARE(c.attributes.values[0], 0x7FBu);
    QCOMPARE(c.path, std::string("C:/"));
    QCOMPARE(encoded(c), list);

    // the QObject face: true and the signal for a good message, false for a bad one
    VfsFenuCommandParser parser;
    QSignalSpy spy(&parser, &VfsFenuCommandParser::commandReceived);
    QVERIFY(parser.processCommand(close, &c, 3));
    QCOMPARE(spy.count(), 1);
    QVERIFY(!parser.processCommand(Bytes(close.begin(), close.end() - 1), &c, 3));
    QVERIFY(!parser.processCommand(close, nullptr, 3));
    QCOMPARE(spy.count(), 1);
}

void TstFsoParser::everyCodeRoundTrips()
{
    for (const VfsFenuCommand &m : sampleMessages()) {
        const Bytes b = encoded(m);
        VfsFenuCommand c;
        QVERIFY2(decode(b, c), qPrintable(QString::number(m.code, 16)));
        QCOMPARE(c.length, std::uint32_t(b.size()));
        QCOMPARE(c.code, m.code);
        QCOMPARE(c.trId, m.trId);
        QCOMPARE(c.status, m.status);
        QCOMPARE(c.flags, m.flags);
        QCOMPARE(c.path, m.path);
        QCOMPARE(c.destination, m.destination);
        QCOMPARE(c.handle, m.handle);
        QCOMPARE(c.offset, m.offset);
        QCOMPARE(c.dataSize, m.dataSize);
        QCOMPARE(c.data, m.data);
        QCOMPARE(c.entryBlock, m.entryBlock);
        QCOMPARE(c.drives.size(), m.drives.size());
        QCOMPARE(c.detail, m.detail);
        QCOMPARE(c.accessTime, m.accessTime);
        QCOMPARE(c.modifyTime, m.modifyTime);
        QCOMPARE(c.size, m.size);
        QCOMPARE(c.volumeSerial, m.volumeSerial);
        // re-encoding what was decoded gives the same bytes
        VfsFenuCommand again = c;
        again.count = m.code == FSO_LIST_DRIVES_REPLY ? c.count : again.count;
        QCOMPARE(encoded(again), b);
    }
}

void TstFsoParser::truncatedPrefixesAreRefused()
{
    for (const VfsFenuCommand &m : sampleMessages()) {
        const Bytes b = encoded(m);
        const std::size_t need = mandatoryBytes(m, b);
        VfsFenuCommand c;
        for (std::size_t n = 0; n < need; ++n) {
            // a heap copy of exactly n bytes, so a read past the cut is caught by ASan
            Bytes cut(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
            cut.shrink_to_fit();
            QVERIFY2(!decode(cut, c), qPrintable(QStringLiteral("code 0x%1 cut at %2").arg(m.code, 0, 16).arg(n)));
        }
    }
    // the entries inside a listing page are checked when they are read
    VfsDirectoryEntry e;
    e.name = QStringLiteral("name");
    e.type = FSO_ENTRY_LINK;
    e.linkTarget = QStringLiteral("/target");
    const Bytes block = entryBlock({e}, FSO_ATTR_ALL);
    for (std::size_t n = 0; n < block.size(); ++n) {
        Bytes cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
        cut.shrink_to_fit();
        TermStreamReader r(cut.data(), cut.size());
        VfsDirectoryEntry out;
        QVERIFY(!readDirectoryEntry(r, FSO_ATTR_ALL, out));
    }
}

void TstFsoParser::openFileByVersion()
{
    auto open = record(FSO_OPEN_FILE, 5);
    open.flags = 0x16;
    open.attributes.set(0x2A);
    open.accessTime = 1000;
    open.modifyTime = 3000;
    open.size = 4096;
    open.path = "/f";

    // version 3: the set, then access time, modification time, size, in that order
    const Bytes v3 = encoded(open, 3);
    Bytes expected = hex("0700000000" "0542" "0510" "060500" "0716000000" "060100" "072A000000"
                         "0CE803000000000000" "0CB80B000000000000" "080010000000000000" "0D022F66");
    expected[1] = static_cast<std::uint8_t>(expected.size());
    QCOMPARE(v3, expected);
    VfsFenuCommand c;
    QVERIFY(decode(v3, c, 3));
    QCOMPARE(c.accessTime, std::int64_t(1000));
    QCOMPARE(c.birthTime, std::int64_t(0));
    QCOMPARE(c.modifyTime, std::int64_t(3000));
    QCOMPARE(c.size, std::uint64_t(4096));
    QCOMPARE(c.path, std::string("/f"));

    // version 2 carries no size: its own bytes decode, the version 3 bytes don't
    const Bytes v2 = encoded(open, 2);
    QCOMPARE(v2.size(), v3.size() - 9);
    QVERIFY(decode(v2, c, 2));
    QCOMPARE(c.modifyTime, std::int64_t(3000));
    QCOMPARE(c.size, std::uint64_t(0));
    QVERIFY(!decode(v3, c, 2));

    // version 1: the set always, without times, even with flags lacking 0x10
    auto plain = open;
    plain.flags = 0x06;
    plain.attributes.clear();
    const Bytes v1 = encoded(plain, 1);
    QVERIFY(decode(v1, c, 1));
    QCOMPARE(c.attributes.mask, std::uint16_t(0));
    QCOMPARE(c.accessTime, std::int64_t(0));
    QCOMPARE(v1.size(), std::size_t(12 + 5 + 3 + 4)); // header, flags, empty set, path
    QVERIFY(!decode(v1, c, 3)); // in version 3 no set is expected without 0x10

    // a value outside 0x3A, or a mask other than 0 or 1, is dropped in versions 2 and 3
    auto bad = open;
    bad.attributes.set(0x41);
    QVERIFY(!decode(encoded(bad, 3), c, 3));
    QVERIFY(!decode(encoded(bad, 2), c, 2));
    QVERIFY(decode(encoded(bad, 1), c, 1));
    bad.attributes.set(0x08);
    bad.attributes.mask = 3;
    QVERIFY(!decode(encoded(bad, 3), c, 3));

    // Permission bits trail the path: a sender that predates them sends none (-1 decoded),
    // and a receiver that predates them reads the same request up to the path.
    QVERIFY(decode(v3, c, 3));
    QCOMPARE(c.permissions, -1);
    auto withBits = open;
    withBits.permissions = 0755;
    const Bytes trailing = encoded(withBits, 3);
    QCOMPARE(Bytes(trailing.begin() + 4, trailing.begin() + std::ptrdiff_t(v3.size())), Bytes(v3.begin() + 4, v3.end()));
    QVERIFY(decode(trailing, c, 3));
    QCOMPARE(c.permissions, 0755);
    QCOMPARE(c.path, std::string("/f"));

    // The same for the version DELETE_FILE may delete.
    auto del = record(FSO_DELETE_FILE, 6);
    del.flags = FSO_DELETE_PERMANENT;
    del.path = "/f";
    const Bytes anyVersion = encoded(del);
    del.expectChangeNs = 1700000000123456789LL;
    del.expectInode = 77;
    const Bytes oneVersion = encoded(del);
    QCOMPARE(Bytes(oneVersion.begin() + 4, oneVersion.begin() + std::ptrdiff_t(anyVersion.size())),
             Bytes(anyVersion.begin() + 4, anyVersion.end()));
    QVERIFY(decode(anyVersion, c));
    QCOMPARE(c.expectChangeNs, std::int64_t(0));
    QVERIFY(decode(oneVersion, c));
    QCOMPARE(c.expectChangeNs, std::int64_t(1700000000123456789LL));
    QCOMPARE(c.expectInode, std::uint64_t(77));
}

void TstFsoParser::fieldsOfEarlierMessagesDoNotLeak()
{
    auto withTimes = record(FSO_OPEN_FILE);
    withTimes.flags = 0x16;
    withTimes.attributes.set(0x2A);
    withTimes.accessTime = 1;
    withTimes.modifyTime = 2;
    withTimes.size = 3;
    withTimes.path = "/first";
    auto bare = record(FSO_OPEN_FILE);
    bare.flags = FSO_OPEN_READ;
    bare.path = "/second";

    VfsFenuCommand shared;
    QVERIFY(decode(encoded(withTimes), shared));
    QVERIFY(decode(encoded(bare), shared));
    QCOMPARE(shared.accessTime, std::int64_t(0));
    QCOMPARE(shared.modifyTime, std::int64_t(0));
    QCOMPARE(shared.size, std::uint64_t(0));
    QCOMPARE(shared.attributes.mask, std::uint16_t(0));

    auto read = record(FSO_READ_FILE_REPLY);
    read.data = Bytes(50, 1);
    read.dataSize = 50;
    QVERIFY(decode(encoded(read), shared));
    QVERIFY(decode(encoded(record(FSO_MOVE_REPLY)), shared));
    QVERIFY(shared.data.empty());
    QCOMPARE(shared.dataSize, 0u);
    QVERIFY(shared.path.empty());
}

void TstFsoParser::oversizedBlocks()
{
    // READ reply with 64401 bytes: the size is kept, nothing is copied
    std::vector<std::uint8_t> buf(70000);
    TermStreamWriter w(buf);
    writeFsoHeader(w, FSO_READ_FILE_REPLY, 1, FSO_CLASS_REPLY);
    w.writeU8(0);
    w.writeU8(0);
    w.writeU64(0);
    const Bytes big(64401, 0x33);
    w.writeBlob(big.data(), big.size());
    QVERIFY(finishFsoMessage(w, buf));
    VfsFenuCommand c;
    QVERIFY(decode(buf, c));
    QCOMPARE(c.dataSize, 64401u);
    QVERIFY(c.data.empty());

    auto ok = record(FSO_READ_FILE_REPLY);
    ok.data = Bytes(64400, 0x44);
    ok.dataSize = 64400;
    QVERIFY(decode(encoded(ok), c));
    QCOMPARE(c.data.size(), std::size_t(64400));

    // the encoder never produces an oversized block
    auto tooBig = record(FSO_WRITE_FILE);
    tooBig.data = big;
    Bytes out;
    QVERIFY(!encodeFsoMessage(tooBig, 3, out));
    QVERIFY(out.empty());

    // a block from the caller's buffer: the same bytes as from the record, no larger one
    ok = record(FSO_WRITE_FILE);
    ok.flags = 1; ok.handle = 7; ok.offset = 3 * 64400;
    const Bytes payload(64400, 0x5A);
    Bytes outside;
    QVERIFY(encodeFsoMessage(ok, 3, outside, payload.data(), payload.size()));
    QVERIFY(!encodeFsoMessage(ok, 3, out, big.data(), big.size()));
    ok.data = payload;
    QVERIFY(outside == encoded(ok));
    // given away, the message itself becomes the record's data, its block at dataAt; a
    // message without a block stays with the caller and decodes as usual
    Bytes given = outside;
    QVERIFY(decodeFsoCommandTaking(given, c, 3));
    QVERIFY(given.empty());
    QCOMPARE(c.dataSize, 64400u);
    QCOMPARE(c.data.size(), outside.size());
    QVERIFY(std::equal(payload.begin(), payload.end(), c.data.begin() + std::ptrdiff_t(c.dataAt)));
    QCOMPARE(c.offset, std::uint64_t(3 * 64400));
    Bytes kept = encoded(record(FSO_CLOSE_FILE));
    QVERIFY(decodeFsoCommandTaking(kept, c, 3));
    QVERIFY(!kept.empty());
    QCOMPARE(c.dataAt, std::size_t(0));

    // a listing page: no bytes after the count is an empty page
    auto page = record(FSO_QUERY_LIST_DIRECTORY_REPLY);
    page.status = FSO_STATUS_COMPLETE;
    page.count = 7;
    QVERIFY(decode(encoded(page), c));
    QCOMPARE(c.count, std::uint16_t(0));
    QVERIFY(c.entryBlock.empty());

    // LIST_DIRECTORY reply without 0x10 carries no serial
    auto reply = record(FSO_LIST_DIRECTORY_REPLY);
    reply.flags = 0x09;
    reply.volumeSerial = 99;
    const Bytes rb = encoded(reply);
    QVERIFY(decode(rb, c));
    QCOMPARE(c.volumeSerial, std::uint64_t(0));
}

void TstFsoParser::driveReplyLimits()
{
    std::vector<std::uint8_t> buf(8192);
    TermStreamWriter w(buf);
    writeFsoHeader(w, FSO_LIST_DRIVES_REPLY, 2, FSO_CLASS_REPLY);
    w.writeU8(0);
    w.writeU16(0);
    w.writeU16(0);
    w.writeU16(40);
    for (int i = 0; i < 40; ++i) {
        FsoDriveRecord d;
        d.lead = 1;
        d.path = std::string(1, char('A' + (i % 26))) + ":\\";
        d.name = "Disk " + std::to_string(i);
        writeDriveRecord(w, d);
    }
    QVERIFY(finishFsoMessage(w, buf));
    VfsFenuCommand c;
    QVERIFY(decode(buf, c));
    QCOMPARE(c.count, std::uint16_t(32));
    QCOMPARE(c.drives.size(), std::size_t(32));
    QCOMPARE(c.drives[31].name, std::string("Disk 31"));

    // all the strings of one reply together stay within 64400 bytes
    auto reply = record(FSO_LIST_DRIVES_REPLY);
    FsoDriveRecord big;
    big.path = "/";
    big.name = std::string(30000, 'n');
    reply.drives = {big, big};
    QVERIFY(decode(encoded(reply), c));
    reply.drives.push_back(big);
    QVERIFY(!decode(encoded(reply), c));

    // a count larger than the records present is a truncated message
    buf.assign(256, 0);
    TermStreamWriter w2(buf);
    writeFsoHeader(w2, FSO_LIST_DRIVES_REPLY, 2, FSO_CLASS_REPLY);
    w2.writeU8(0);
    w2.writeU16(0);
    w2.writeU16(0);
    w2.writeU16(3);
    writeDriveRecord(w2, FsoDriveRecord());
    QVERIFY(finishFsoMessage(w2, buf));
    QVERIFY(!decode(buf, c));
}

void TstFsoParser::hashReplyConsistency()
{
    auto make = [](std::uint16_t n, std::size_t bytes) {
        std::vector<std::uint8_t> buf(70000);
        TermStreamWriter w(buf);
        writeFsoHeader(w, FSO_HASH_FILE_REPLY, 3, FSO_CLASS_REPLY);
        w.writeU8(0);
        w.writeU8(1);
        w.writeU16(n);
        const Bytes digests(bytes, 0x5C);
        w.writeBlob(digests.data(), digests.size());
        finishFsoMessage(w, buf);
        return buf;
    };
    VfsFenuCommand c;
    QVERIFY(decode(make(0, 0), c));
    QCOMPARE(c.count, std::uint16_t(0));
    QVERIFY(decode(make(3, 60), c));
    QCOMPARE(c.data.size(), std::size_t(60));
    QVERIFY(decode(make(3220, 64400), c));
    QVERIFY(!decode(make(3, 0), c));       // digests announced, none sent
    QVERIFY(!decode(make(0, 20), c));      // digests sent, none announced
    QVERIFY(!decode(make(2, 60), c));      // the block doesn't hold exactly n digests
    QVERIFY(!decode(make(3221, 64420), c)); // more than one block can hold
}

void TstFsoParser::pathAndNameLimits()
{
    auto del = record(FSO_DELETE_FILE);
    del.path = std::string(1023, 'p');
    VfsFenuCommand c;
    QVERIFY(decode(encoded(del), c));
    QCOMPARE(c.path.size(), std::size_t(1023));
    Bytes out;
    del.path.push_back('p');
    QVERIFY(!encodeFsoMessage(del, 3, out));

    // a 1024-byte path written by hand is refused by the decoder
    std::vector<std::uint8_t> buf(2048);
    TermStreamWriter w(buf);
    writeFsoHeader(w, FSO_DIRECTORY_CHANGED, 0, FSO_CLASS_REPLY);
    w.writeU32(0);
    w.writeString(del.path);
    QVERIFY(finishFsoMessage(w, buf));
    QVERIFY(!decode(buf, c));

    // entry names: 1022 bytes pass, 1023 end the page
    VfsDirectoryEntry e;
    e.name = QString(1022, QLatin1Char('n'));
    e.type = FSO_ENTRY_FILE;
    VfsDirectoryEntry next;
    next.name = QStringLiteral("next");
    Bytes block = entryBlock({e, next}, FSO_ATTR_TYPE);
    TermStreamReader r(block);
    VfsDirectoryEntry out1, out2;
    QVERIFY(readDirectoryEntry(r, FSO_ATTR_TYPE, out1));
    QCOMPARE(out1.name.size(), 1022);
    QVERIFY(readDirectoryEntry(r, FSO_ATTR_TYPE, out2));

    Bytes longBlock(2000);
    TermStreamWriter lw(longBlock);
    const std::string longName(1023, 'n');
    lw.writeString(longName);
    lw.writeU8(FSO_WIRE_TYPE_FILE);
    longBlock.resize(lw.size());
    TermStreamReader lr(longBlock);
    QVERIFY(!readDirectoryEntry(lr, FSO_ATTR_TYPE, out1));
    QVERIFY(lr.failed());
    // and the writer refuses to produce such an entry
    e.name = QString(1023, QLatin1Char('n'));
    Bytes wb(4096);
    TermStreamWriter ww(wb);
    QVERIFY(!writeDirectoryEntry(ww, FSO_ATTR_TYPE, e));
}

void TstFsoParser::directoryEntries()
{
    VfsDirectoryEntry link;
    link.name = QStringLiteral("lnk");
    link.type = FSO_ENTRY_LINK;
    link.hidden = 1;
    link.linkTarget = QStringLiteral("/etc");
    link.linkTargetType = FSO_ENTRY_DIRECTORY;
    link.size = 4;
    link.accessTime = -5;
    link.birthTime = 6;
    link.modifyTime = 7;
    link.mode = FSO_MODE_READABLE;
    link.fileIndex = 8;
    link.linkCount = 9;

    // both 0x040 and 0x080: the target travels
    Bytes block = entryBlock({link}, FSO_ATTR_ALL);
    TermStreamReader r(block);
    VfsDirectoryEntry out;
    QVERIFY(readDirectoryEntry(r, FSO_ATTR_ALL, out));
    QCOMPARE(r.remaining(), std::size_t(0));
    QCOMPARE(out.type, FSO_ENTRY_LINK);
    QVERIFY(out.hidden);
    QCOMPARE(out.linkTarget, QStringLiteral("/etc"));
    QCOMPARE(out.linkTargetType, FSO_ENTRY_DIRECTORY);
    QCOMPARE(out.accessTime, std::int64_t(-5));
    QCOMPARE(out.modifyTime, std::int64_t(7));
    QCOMPARE(out.mode, FSO_MODE_READABLE);
    QCOMPARE(out.linkCount, 9u);

    // Permissions and change stamp only where granted; an entry of a server that grants
    // neither reads as unknown.
    link.permissions = 0640;
    link.changeTimeNs = 1700000000123456789LL;
    link.inode = 42;
    const std::uint32_t stamped = FSO_ATTR_ALL | FSO_ATTR_PERMISSIONS | FSO_ATTR_CHANGE_STAMP;
    Bytes stampedBlock = entryBlock({link}, stamped);
    TermStreamReader sr(stampedBlock);
    VfsDirectoryEntry withStamp;
    QVERIFY(readDirectoryEntry(sr, stamped, withStamp));
    QCOMPARE(sr.remaining(), std::size_t(0));
    QCOMPARE(withStamp.permissions, 0640);
    QCOMPARE(withStamp.changeTimeNs, std::int64_t(1700000000123456789LL));
    QCOMPARE(withStamp.inode, std::uint64_t(42));
    QCOMPARE(out.permissions, -1);
    QCOMPARE(out.changeTimeNs, std::int64_t(0));

    // 0x040 without 0x080: no target on either side
    const std::uint32_t noResolve = FSO_ATTR_ALL & ~FSO_ATTR_RESOLVE_LINK;
    block = entryBlock({link}, noResolve);
    TermStreamReader r2(block);
    QVERIFY(readDirectoryEntry(r2, noResolve, out));
    QCOMPARE(r2.remaining(), std::size_t(0));
    QVERIFY(out.linkTarget.isEmpty());
    QCOMPARE(out.linkCount, 9u);

    // wire type codes: 1 and 2 swap, 4..7 pass, above 8 read as 0
    const std::pair<int, int> types[] = {{1, FSO_ENTRY_DIRECTORY}, {2, FSO_ENTRY_FILE}, {5, 5}, {8, 8}, {9, 0}, {0x7F, 0}};
    for (const auto &t : types) {
        Bytes b(64);
        TermStreamWriter w(b);
        w.writeString(std::string("x"));
        w.writeU8(static_cast<std::uint8_t>(t.first | 0x80));
        TermStreamReader tr(b.data(), w.size());
        QVERIFY(readDirectoryEntry(tr, FSO_ATTR_TYPE, out));
        QCOMPARE(int(out.type), t.second);
        QVERIFY(out.hidden);
    }
}

void TstFsoParser::unusableNames()
{
    QVERIFY(isSafeEntryName(QStringLiteral("file.txt")));
    QVERIFY(isSafeEntryName(QStringLiteral("...")));
    QVERIFY(isSafeEntryName(QStringLiteral("..x")));
    QVERIFY(!isSafeEntryName(QString()));
    QVERIFY(!isSafeEntryName(QStringLiteral(".")));
    QVERIFY(!isSafeEntryName(QStringLiteral("..")));
    QVERIFY(!isSafeEntryName(QStringLiteral("a/b")));
    QVERIFY(!isSafeEntryName(QStringLiteral("..\\evil")));
    QVERIFY(!isSafeEntryName(QString::fromUtf8("a\0b", 3)));
}

void TstFsoParser::malformedHeaderAndUnknownCode()
{
    VfsFenuCommand c;
    QVERIFY(!decode(Bytes{0x07, 0x00, 0x00}, c));
    QVERIFY(!decode(Bytes(), c));
    auto unknown = record(FSO_MOVE_REPLY);
    Bytes b = encoded(unknown);
    b[8] = 0x17;
    QVERIFY(!decode(b, c));
    b[8] = 0x0D;
    QVERIFY(!decode(b, c));
    // a wrong tag anywhere refuses the message
    b = encoded(unknown);
    b[12] = 0x06;
    QVERIFY(!decode(b, c));
    // trailing bytes after a body are ignored
    b = encoded(unknown);
    b.push_back(0xEE);
    QVERIFY(decode(b, c));
}

QTEST_GUILESS_MAIN(TstFsoParser)
#include "tst_fsoparser.moc"
