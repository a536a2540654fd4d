// File commands of nusk-peerhost end to end: the local peer, then two paired hosts where B
// reaches exactly what A shares with it, raw requests that must not break anything, and a
// copy job between them.

#include "com/termstream.h"
#include "testutil_peerhost.h"
#include "testutil_timeouts.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace peerhosttest;

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(gen.generate() & 0xFF);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The first line "status N" of a listing or download, as a number; -1 when missing.
int statusOf(const QStringList &lines)
{
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("status ")))
            return line.mid(7).toInt();
    return -1;
}

qint64 bytesOf(const QStringList &lines)
{
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("bytes ")))
            return line.mid(6).toLongLong();
    return -1;
}

// name -> "type size" of an `ls`.
QMap<QString, QString> entriesOf(const QStringList &lines)
{
    QMap<QString, QString> map;
    for (const QString &line : lines) {
        const QStringList parts = line.split(QLatin1Char('\t'));
        if (parts.size() >= 4)
            map.insert(parts[0], parts[1] + QLatin1Char(' ') + parts[2]);
    }
    return map;
}

// One FSO request as hex, written with the term stream as a client would.
QString request(std::uint8_t code, std::uint16_t trId, const std::function<void(com::TermStreamWriter &)> &body)
{
    std::vector<std::uint8_t> buffer(4096);
    com::TermStreamWriter w(buffer);
    com::writeMessageHeader(w, 0x42, code, trId);
    body(w);
    com::finishMessage(w);
    buffer.resize(w.size());
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(buffer.data()), int(buffer.size())).toHex());
}

// Relative path -> contents (directories as "<dir>") of a tree.
QMap<QString, QByteArray> treeOf(const QString &root)
{
    QMap<QString, QByteArray> map;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = QDir(root).relativeFilePath(path);
        map.insert(rel, info.isDir() ? QByteArray("<dir>") : readFile(path));
    }
    return map;
}

} // namespace

class TstPeerHostFiles : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    int m_dirs = 0;

    QString newDir() { return m_root.filePath(QStringLiteral("host%1").arg(++m_dirs)); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
    }

    void localPeer()
    {
        Host a(newDir(), freePort());
        QVERIFY(a.start());
        QVERIFY(a.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));

        // The drive list is read in the background shortly after the start.
        bool rootListed = false;
        QElapsedTimer clock;
        clock.start();
        while (!rootListed && clock.elapsed() < testutil::timeoutMs(30000)) {
            QString status;
            const QStringList lines = a.cmd(QStringLiteral("drives ") + kLocal, &status);
            QCOMPARE(status, QStringLiteral("ok"));
            QCOMPARE(statusOf(lines), 0);
            for (const QString &line : lines) {
                const QStringList parts = line.split(QLatin1Char('\t'));
                if (parts.size() == 5 && parts[0] == QLatin1String("/")) {
                    QVERIFY2(parts[3].toULongLong() > 0, qPrintable(line));
                    rootListed = true;
                }
            }
            if (!rootListed)
                QTest::qWait(100);
        }
        QVERIFY2(rootListed, "\"/\" with its size among the drives");

        const QString tree = m_root.filePath(QStringLiteral("localtree"));
        const QByteArray content = randomBytes(70000, 1);
        QVERIFY(writeFile(tree + QStringLiteral("/file.bin"), content));
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));

        QString status;
        const QStringList listing = a.cmd(QStringLiteral("ls ") + kLocal + QLatin1Char(' ') + tree, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QCOMPARE(statusOf(listing), 0);
        const QMap<QString, QString> entries = entriesOf(listing);
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries.value(QStringLiteral("file.bin")), QStringLiteral("file 70000"));
        QVERIFY(entries.value(QStringLiteral("sub")).startsWith(QLatin1String("dir ")));

        QCOMPARE(statusOf(a.cmd(QStringLiteral("ls ") + kLocal + QLatin1Char(' ') + tree + QStringLiteral("/missing"))), 3);

        const QString copy = m_root.filePath(QStringLiteral("local-get.bin"));
        const QStringList got = a.cmd(QStringLiteral("get ") + kLocal + QLatin1Char(' ') + tree
                                      + QStringLiteral("/file.bin ") + copy, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QCOMPARE(statusOf(got), 0);
        QCOMPARE(bytesOf(got), qint64(content.size()));
        QCOMPARE(readFile(copy), content);

        // Wrong arguments are refused by the command, not by a crash.
        a.cmd(QStringLiteral("ls nobody /"), &status);
        QVERIFY(status.startsWith(QLatin1String("error")));
        a.cmd(QStringLiteral("send ") + kLocal + QStringLiteral(" abc"), &status);
        QVERIFY(status.startsWith(QLatin1String("error")));
        a.cmd(QStringLiteral("share ") + kLocal + QStringLiteral(" relative 1"), &status);
        QVERIFY(status.startsWith(QLatin1String("error")));
    }

    // B reads what A shares with it, and nothing else; raw requests do no harm.
    void sharesBetweenTwoHosts()
    {
        Host a(newDir(), freePort());
        Host b(newDir(), freePort());
        QVERIFY(a.start());
        QVERIFY(b.start());
        QVERIFY(a.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QVERIFY(b.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QString aOnB;
        QString bOnA;
        QVERIFY(pairHosts(a, b, &aOnB, &bOnA));

        const QString base = QDir(m_root.filePath(QStringLiteral("remote"))).canonicalPath().isEmpty()
                                 ? m_root.filePath(QStringLiteral("remote"))
                                 : QDir(m_root.filePath(QStringLiteral("remote"))).canonicalPath();
        const QString share = base + QStringLiteral("/share");
        const QByteArray inside = randomBytes(64401, 2);
        QVERIFY(writeFile(share + QStringLiteral("/inside.bin"), inside));
        QVERIFY(writeFile(base + QStringLiteral("/secret.txt"), "secret"));
        QVERIFY(writeFile(base + QStringLiteral("/share-more/x.txt"), "next door"));
        QVERIFY(QFile::link(base + QStringLiteral("/secret.txt"), share + QStringLiteral("/escape")));
        QVERIFY(QFile::link(base, share + QStringLiteral("/up")));
        const QString target = m_root.filePath(QStringLiteral("b-got.bin"));

        auto get = [&](const QString &path) {
            QFile::remove(target);
            QString status;
            const QStringList lines = b.cmd(QStringLiteral("get ") + aOnB + QLatin1Char(' ') + path + QLatin1Char(' ') + target, &status);
            return status == QLatin1String("ok") ? statusOf(lines) : -1;
        };
        auto ls = [&](const QString &path, QStringList *lines = nullptr) {
            QString status;
            const QStringList out = b.cmd(QStringLiteral("ls ") + aOnB + QLatin1Char(' ') + path, &status);
            if (lines)
                *lines = out;
            return status == QLatin1String("ok") ? statusOf(out) : -1;
        };

        // Nothing is shared yet.
        QVERIFY(ls(share) > 0);
        QVERIFY(get(share + QStringLiteral("/inside.bin")) > 0);
        QCOMPARE(QFileInfo(target).size(), 0);
        QVERIFY(ls(QStringLiteral("/")) > 0);

        QString status;
        const QStringList shared = a.cmd(QStringLiteral("share ") + bOnA + QLatin1Char(' ') + share + QStringLiteral(" 5"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QCOMPARE(shared.size(), 1);
        const QString aclUuid = shared.at(0);

        QStringList lines;
        QCOMPARE(ls(share, &lines), 0);
        QCOMPARE(entriesOf(lines).value(QStringLiteral("inside.bin")), QStringLiteral("file 64401"));
        QCOMPARE(ls(QStringLiteral("%shares"), &lines), 0);
        QVERIFY2(lines.join(QLatin1Char('\n')).contains(aclUuid), qPrintable(lines.join(QLatin1Char('\n'))));
        QCOMPARE(ls(QStringLiteral("%shares/") + aclUuid, &lines), 0);
        QVERIFY(entriesOf(lines).contains(QStringLiteral("inside.bin")));

        QCOMPARE(get(share + QStringLiteral("/inside.bin")), 0);
        QCOMPARE(readFile(target), inside);
        QCOMPARE(get(QStringLiteral("%shares/") + aclUuid + QStringLiteral("/inside.bin")), 0);
        QCOMPARE(readFile(target), inside);

        // Outside the share: other files, climbing out, next-door names, links pointing out.
        const QStringList outside = {
            QStringLiteral("/etc/passwd"),
            share + QStringLiteral("/../secret.txt"),
            share + QStringLiteral("/./inside.bin/../../secret.txt"),
            QStringLiteral("%shares/") + aclUuid + QStringLiteral("/../secret.txt"),
            base + QStringLiteral("/secret.txt"),
            base + QStringLiteral("/share-more/x.txt"),
            share + QStringLiteral("/escape"),
            share + QStringLiteral("/up/secret.txt"),
        };
        for (const QString &path : outside) {
            const int got = get(path);
            QVERIFY2(got > 0, qPrintable(path + QStringLiteral(" gave status ") + QString::number(got)));
            QVERIFY2(readFile(target).isEmpty(), qPrintable(path));
        }
        QVERIFY(ls(base) > 0);
        QVERIFY(ls(base + QStringLiteral("/share-more")) > 0);
        QVERIFY(ls(share + QStringLiteral("/up")) > 0);

        // Raw requests: malformed ones get no useful answer and break nothing; a well-formed
        // one is answered under its own transaction id.
        const QStringList malformed = {
            QStringLiteral("00"),
            QStringLiteral("070c000000054206ffff"),   // a length that does not match
            request(0x0A, 0x1234, [](com::TermStreamWriter &w) { w.writeU32(0); }),            // truncated body
            request(0x11, 0x1235, [](com::TermStreamWriter &w) {                                 // read of a handle never opened
                w.writeU8(0); w.writeU16(1); w.writeU64(~0ull); w.writeU32(0xFFFFFFFFu); }),
            request(0x10, 0x1236, [&](com::TermStreamWriter &w) {                                // open for writing outside
                w.writeU32(0x02); w.writeString(std::string("/etc/passwd")); }),
            request(0x13, 0x1237, [&](com::TermStreamWriter &w) {                                // delete the share root
                w.writeU32(0); w.writeString((share + QStringLiteral("/.")).toStdString()); }),
            request(0x7F, 0x1238, [](com::TermStreamWriter &w) { w.writeU32(0); }),            // unknown code
        };
        for (const QString &hex : malformed) {
            b.cmd(QStringLiteral("send ") + aOnB + QLatin1Char(' ') + hex, &status);
            QCOMPARE(status, QStringLiteral("ok"));
        }
        QVERIFY(QFileInfo::exists(share + QStringLiteral("/inside.bin")));
        QCOMPARE(readFile(QStringLiteral("/etc/passwd")).isEmpty(), false);
        // A send listens for one second only and hears every answer on the channel: on a
        // loaded machine answers to the requests above, or to the client's own, may come in
        // during it, and ours only during the next send. So ours is sent until its answer is
        // in, and is answered once per send at most.
        const QString ourId = QStringLiteral("062143");
        QStringList ours;
        int sends = 0;
        for (; sends < 10 && ours.isEmpty(); ++sends) {
            const QStringList answered = b.cmd(QStringLiteral("send ") + aOnB + QLatin1Char(' ')
                                                   + request(0x0C, 0x4321, [](com::TermStreamWriter &w) {
                                                         w.writeU32(0); w.writeU16(0); w.writeU16(0); }),
                                               &status);
            QCOMPARE(status, QStringLiteral("ok"));
            for (const QString &line : answered) {
                // u32 length, u8 class, u8 code, u16 id (little-endian after each tag).
                if (line.mid(18, 6) == ourId)
                    ours << line;
            }
        }
        QVERIFY(!ours.isEmpty() && ours.size() <= sends);
        for (const QString &line : ours)
            QVERIFY2(line.mid(10).startsWith(QLatin1String("054305") + QLatin1String("8c") + ourId), qPrintable(line));
        QCOMPARE(b.stateOf(aOnB), 3);
        QCOMPARE(get(share + QStringLiteral("/inside.bin")), 0);
        QCOMPARE(readFile(target), inside);

        // Taken away again.
        QVERIFY(a.ok(QStringLiteral("unshare ") + bOnA + QLatin1Char(' ') + aclUuid));
        QVERIFY(ls(share) > 0);
        QVERIFY(get(share + QStringLiteral("/inside.bin")) > 0);
        QVERIFY(readFile(target).isEmpty());
        QCOMPARE(ls(QStringLiteral("%shares"), &lines), 0);
        QVERIFY(!lines.join(QLatin1Char('\n')).contains(aclUuid));
        a.cmd(QStringLiteral("unshare ") + bOnA + QLatin1Char(' ') + aclUuid, &status);
        QVERIFY(status.startsWith(QLatin1String("error")));
    }

    // B copies a tree out of A's share onto its own disk, then again to get the question.
    void copyBetweenTwoHosts()
    {
        Host a(newDir(), freePort());
        Host b(newDir(), freePort());
        QVERIFY(a.start());
        QVERIFY(b.start());
        QVERIFY(a.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QVERIFY(b.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5")));
        QString aOnB;
        QString bOnA;
        QVERIFY(pairHosts(a, b, &aOnB, &bOnA, QStringLiteral("12345678")));

        const QString share = m_root.filePath(QStringLiteral("copysrc"));
        const QString tree = share + QStringLiteral("/tree");
        QVERIFY(writeFile(tree + QStringLiteral("/empty.bin"), QByteArray()));
        QVERIFY(writeFile(tree + QStringLiteral("/one.bin"), "x"));
        QVERIFY(writeFile(tree + QStringLiteral("/nested/deeper/block.bin"), randomBytes(64401, 3)));
        QVERIFY(writeFile(tree + QStringLiteral("/nested/big.bin"), randomBytes(300000, 4)));
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/nested/empty")));
        const QString dst = m_root.filePath(QStringLiteral("copydst"));
        QVERIFY(QDir().mkpath(dst));

        QString status;
        a.cmd(QStringLiteral("share ") + bOnA + QLatin1Char(' ') + share + QStringLiteral(" 5"), &status);
        QCOMPARE(status, QStringLiteral("ok"));

        const QString copyLine = QStringLiteral("copy ") + aOnB + QLatin1Char(' ') + tree + QLatin1Char(' ') + kLocal + QLatin1Char(' ') + dst;
        QStringList out = b.cmd(copyLine, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(out.filter(QRegularExpression(QStringLiteral("^progress \\w+ [0-9.]+ [0-9]+$"))).size() >= 1);
        QCOMPARE(treeOf(dst + QStringLiteral("/tree")), treeOf(tree));

        // Again: the files exist; the job asks, and "replace-all" lets it finish.
        out = b.cmd(copyLine, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last().startsWith(QLatin1String("question ")), qPrintable(out.join(QLatin1Char('\n'))));
        b.cmd(copyLine, &status);
        QVERIFY(status.startsWith(QLatin1String("error")));   // one job at a time
        out = b.cmd(QStringLiteral("answer replace-all"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QCOMPARE(treeOf(dst + QStringLiteral("/tree")), treeOf(tree));

        // The copy goes again, for good.
        out = b.cmd(QStringLiteral("delete ") + kLocal + QLatin1Char(' ') + dst + QStringLiteral("/tree permanent"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(dst + QStringLiteral("/tree")));
        QCOMPARE(treeOf(tree).size(), 7);

        // A move out of a read-only share copies, but the source stays where it is, and the
        // move's end names it, on the computer it stays on.
        const QString moveLine = QStringLiteral("move ") + aOnB + QLatin1Char(' ') + tree + QStringLiteral("/one.bin ")
                                 + kLocal + QLatin1Char(' ') + dst;
        out = b.cmd(moveLine, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state finished"))
                     && out.last().startsWith(QStringLiteral("prompt Not moved: ") + tree + QStringLiteral("/one.bin on ")),
                 qPrintable(out.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(dst + QStringLiteral("/one.bin")), QByteArray("x"));
        QCOMPARE(readFile(tree + QStringLiteral("/one.bin")), QByteArray("x"));

        // With write access the source goes once the copy is complete.
        QVERIFY(QFile::remove(dst + QStringLiteral("/one.bin")));
        a.cmd(QStringLiteral("share ") + bOnA + QLatin1Char(' ') + tree + QStringLiteral(" 7"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        out = b.cmd(moveLine, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(dst + QStringLiteral("/one.bin")), QByteArray("x"));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/one.bin")));
    }
};

QTEST_GUILESS_MAIN(TstPeerHostFiles)
#include "tst_peerhost_files.moc"
