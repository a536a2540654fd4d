#include "com/termstream.h"

#include <QtTest>

#include <cstring>

using namespace com;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<std::uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

std::vector<std::uint8_t> closeFileGolden()
{
    return bytes({0x07, 0x14, 0x00, 0x00, 0x00, 0x05, 0x42, 0x05, 0x15, 0x06, 0x34, 0x12,
                  0x07, 0x00, 0x00, 0x00, 0x00, 0x06, 0x07, 0x00});
}

std::vector<std::uint8_t> listDirectoryGolden()
{
    return bytes({0x07, 0x1E, 0x00, 0x00, 0x00, 0x05, 0x42, 0x05, 0x0A, 0x06, 0x02, 0x01,
                  0x07, 0x19, 0x00, 0x00, 0x00, 0x06, 0x01, 0x00, 0x07, 0xFB, 0x07, 0x00, 0x00,
                  0x0D, 0x03, 0x43, 0x3A, 0x2F});
}

} // namespace

class TstTermStream : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void goldenMessagesEncode();
    void goldenMessagesDecode();
    void truncatedMessagesFailCleanly();
    void errorCodes();
    void errorsAreSticky();
    void lebPrefix_data();
    void lebPrefix();
    void malformedLebPrefix();
    void setPosPatchesAndChecksBounds();
    void cStringAndBlob();
};

void TstTermStream::goldenMessagesEncode()
{
    std::vector<std::uint8_t> buf(64);
    TermStreamWriter w(buf);
    writeMessageHeader(w, 0x42, 0x15, 0x1234);
    w.writeU32(0);
    w.writeU16(7);
    QCOMPARE(finishMessage(w), int(TermOk));
    buf.resize(w.size());
    QCOMPARE(buf, closeFileGolden());

    std::vector<std::uint8_t> buf2(64);
    TermStreamWriter w2(buf2);
    writeMessageHeader(w2, 0x42, 0x0A, 0x0102);
    w2.writeU32(0x19);
    w2.writeU16(1);
    w2.writeU32(0x7FB);
    w2.writeString(std::string("C:/"));
    QCOMPARE(w2.pos(), std::size_t(30));
    QCOMPARE(finishMessage(w2), int(TermOk));
    QCOMPARE(w2.pos(), std::size_t(30)); // the cursor is back at the end after patching
    buf2.resize(w2.size());
    QCOMPARE(buf2, listDirectoryGolden());
}

void TstTermStream::goldenMessagesDecode()
{
    const auto golden = closeFileGolden();
    TermStreamReader r(golden);
    MessageHeader h;
    QCOMPARE(readMessageHeader(r, h), int(TermOk));
    QCOMPARE(h.length, 20u);
    QCOMPARE(h.msgClass, std::uint8_t(0x42));
    QCOMPARE(h.code, std::uint8_t(0x15));
    QCOMPARE(h.id, std::uint16_t(0x1234));
    QCOMPARE(r.pos(), kTermHeaderBytes);
    std::uint32_t flags = 1;
    std::uint16_t handle = 0;
    r.readU32(flags);
    r.readU16(handle);
    QVERIFY(!r.failed());
    QCOMPARE(flags, 0u);
    QCOMPARE(handle, std::uint16_t(7));
    QCOMPARE(r.pos(), golden.size());

    const auto golden2 = listDirectoryGolden();
    QVERIFY(peekMessageHeader(golden2.data(), golden2.size(), h));
    QCOMPARE(h.length, 30u);
    QCOMPARE(h.id, std::uint16_t(0x0102));
    TermStreamReader r2(golden2);
    readMessageHeader(r2, h);
    std::uint16_t mask = 0;
    std::uint32_t value = 0;
    std::string path;
    r2.readU32(flags);
    r2.readU16(mask);
    r2.readU32(value);
    r2.readString(path);
    QVERIFY(!r2.failed());
    QCOMPARE(flags, 0x19u);
    QCOMPARE(mask, std::uint16_t(1));
    QCOMPARE(value, 0x7FBu);
    QCOMPARE(path, std::string("C:/"));
}

void TstTermStream::truncatedMessagesFailCleanly()
{
    // Every strict prefix of a valid message is refused with "input too short", and the
    // reader never reports a value it could not read completely.
    const auto golden = listDirectoryGolden();
    for (std::size_t n = 0; n < golden.size(); ++n) {
        std::vector<std::uint8_t> cut(golden.begin(), golden.begin() + static_cast<std::ptrdiff_t>(n));
        TermStreamReader r(cut.data(), cut.size());
        MessageHeader h;
        std::uint32_t flags = 0, value = 0;
        std::uint16_t mask = 0;
        std::string path;
        readMessageHeader(r, h);
        r.readU32(flags);
        r.readU16(mask);
        r.readU32(value);
        r.readString(path);
        QCOMPARE(r.error(), int(TermInputTooShort));
        QVERIFY(r.pos() <= n);
    }
}

void TstTermStream::errorCodes()
{
    // 1: wrong tag
    {
        const auto data = bytes({0x06, 0x01, 0x00});
        TermStreamReader r(data);
        std::uint32_t v = 99;
        QCOMPARE(r.readU32(v), int(TermWrongTag));
        QCOMPARE(v, 99u);
        QCOMPARE(r.pos(), std::size_t(0));
    }
    // 2: input too short (tag present, value cut)
    {
        const auto data = bytes({0x08, 0x01, 0x02});
        TermStreamReader r(data);
        std::uint64_t v = 0;
        QCOMPARE(r.readU64(v), int(TermInputTooShort));
    }
    // 3: output full — nothing of the failing item is written
    {
        std::uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        TermStreamWriter w(buf, sizeof buf);
        QCOMPARE(w.writeU16(0x0102), int(TermOk));
        QCOMPARE(w.writeU16(0x0304), int(TermOutputFull));
        QCOMPARE(w.size(), std::size_t(3));
        QCOMPARE(int(buf[3]), 0xAA);
    }
    // 4: destination too small
    {
        std::vector<std::uint8_t> buf(16);
        TermStreamWriter w(buf);
        w.writeString(std::string("abcd"));
        TermStreamReader r(buf.data(), w.size());
        char out[4];
        std::size_t len = 0;
        QCOMPARE(r.readCString(out, sizeof out, len), int(TermDestinationTooSmall));
        std::string s;
        TermStreamReader r2(buf.data(), w.size());
        QCOMPARE(r2.readString(s, 3), int(TermDestinationTooSmall));
    }
}

void TstTermStream::errorsAreSticky()
{
    std::uint8_t buf[8];
    TermStreamWriter w(buf, sizeof buf);
    w.writeU64(1); // needs 9
    QCOMPARE(w.error(), int(TermOutputFull));
    QCOMPARE(w.writeU8(1), int(TermOutputFull)); // would fit, but the writer has failed
    QCOMPARE(w.size(), std::size_t(0));

    const auto data = bytes({0x06, 0x01, 0x00, 0x05, 0x02});
    TermStreamReader r(data);
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    QCOMPARE(r.readU8(u8), int(TermWrongTag));
    QCOMPARE(r.readU16(u16), int(TermWrongTag)); // the matching item is not read after a failure
    QCOMPARE(u16, std::uint16_t(0));
    QCOMPARE(r.pos(), std::size_t(0));
}

void TstTermStream::lebPrefix_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("prefix");
    QTest::newRow("0") << 0 << QByteArray::fromHex("00");
    QTest::newRow("127") << 127 << QByteArray::fromHex("7f");
    QTest::newRow("128") << 128 << QByteArray::fromHex("8001");
    QTest::newRow("16383") << 16383 << QByteArray::fromHex("ff7f");
    QTest::newRow("16384") << 16384 << QByteArray::fromHex("808001");
}

void TstTermStream::lebPrefix()
{
    QFETCH(int, length);
    QFETCH(QByteArray, prefix);
    const std::string text(static_cast<std::size_t>(length), 'x');
    std::vector<std::uint8_t> buf(20000);
    TermStreamWriter w(buf);
    QCOMPARE(w.writeString(text), int(TermOk));
    QCOMPARE(w.size(), 1 + std::size_t(prefix.size()) + text.size());
    QCOMPARE(int(buf[0]), 13);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(buf.data()) + 1, prefix.size()), prefix);
    QCOMPARE(TermStreamWriter::lebSize(static_cast<std::uint32_t>(length)), std::size_t(prefix.size()));

    TermStreamReader r(buf.data(), w.size());
    std::string back;
    QCOMPARE(r.readString(back), int(TermOk));
    QCOMPARE(back, text);
    QCOMPARE(r.pos(), w.size());
}

void TstTermStream::malformedLebPrefix()
{
    std::string s;
    // six prefix bytes
    {
        const auto data = bytes({0x0D, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00});
        TermStreamReader r(data);
        QCOMPARE(r.readString(s), int(TermInputTooShort));
    }
    // five bytes, but the value needs more than 32 bits
    {
        const auto data = bytes({0x0D, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
        TermStreamReader r(data);
        QCOMPARE(r.readString(s), int(TermInputTooShort));
    }
    // the prefix runs past the input
    {
        const auto data = bytes({0x0D, 0x80, 0x80});
        TermStreamReader r(data);
        QCOMPARE(r.readString(s), int(TermInputTooShort));
    }
    // a valid prefix announcing more bytes than there are
    {
        const auto data = bytes({0x0D, 0x05, 'a', 'b'});
        TermStreamReader r(data);
        QCOMPARE(r.readString(s), int(TermInputTooShort));
        QVERIFY(s.empty());
    }
    // a non-minimal but well-formed prefix is still a length
    {
        const auto data = bytes({0x0D, 0x82, 0x00, 'a', 'b'});
        TermStreamReader r(data);
        QCOMPARE(r.readString(s), int(TermOk));
        QCOMPARE(s, std::string("ab"));
    }
}

void TstTermStream::setPosPatchesAndChecksBounds()
{
    std::vector<std::uint8_t> buf(32);
    TermStreamWriter w(buf);
    w.writeU16(0); // count, patched below
    w.writeU8(1);
    w.writeU8(2);
    const std::size_t end = w.size();
    QCOMPARE(w.setPos(0), int(TermOk));
    w.writeU16(2);
    QCOMPARE(w.size(), end);
    QCOMPARE(int(buf[1]), 2);
    QCOMPARE(w.setPos(end + 1), int(TermOutputFull));
}

void TstTermStream::cStringAndBlob()
{
    std::vector<std::uint8_t> buf(64);
    TermStreamWriter w(buf);
    w.writeString(std::string("abc"));
    const std::uint8_t blob[3] = {1, 2, 3};
    w.writeBlob(blob, sizeof blob);
    w.writeBlob(nullptr, 0);
    QVERIFY(!w.failed());

    TermStreamReader r(buf.data(), w.size());
    char out[4];
    std::size_t len = 0;
    QCOMPARE(r.readCString(out, sizeof out, len), int(TermOk));
    QCOMPARE(len, std::size_t(4));
    QCOMPARE(QByteArray(out), QByteArray("abc"));
    std::vector<std::uint8_t> b;
    QCOMPARE(r.readBlob(b), int(TermOk));
    QCOMPARE(b, std::vector<std::uint8_t>({1, 2, 3}));
    QCOMPARE(r.readBlob(b), int(TermOk));
    QVERIFY(b.empty());
    QCOMPARE(r.remaining(), std::size_t(0));

    // a blob length beyond the input is refused before anything is allocated
    const auto huge = bytes({0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    TermStreamReader r2(huge);
    QCOMPARE(r2.readBlob(b), int(TermInputTooShort));
}

QTEST_GUILESS_MAIN(TstTermStream)
#include "tst_termstream.moc"
