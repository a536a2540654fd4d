// Copy and move jobs between two nusk-peerhost processes over the real channel: a large file
// whose link is cut in the middle and restored, the replace questions answered through the
// host, a move between the two peers that deletes at the source only what it copied, and a
// move of many files whose link goes down twice while it deletes.
//
// Host B runs every job; host A holds the sources and shares them with B.

#include "testutil_peerhost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

using namespace peerhosttest;
using namespace peerhosttest::files;

namespace {

// The cut file: large enough that the copy is still running when the test has seen it
// pass 15 % and cut the link; small enough to stay quick.
constexpr qint64 kCutFileSize = 256ll * 1024 * 1024;

QString fileLineOf(const QStringList &lines)
{
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("file ")))
            return QFileInfo(line.mid(5)).fileName();
    return QString();
}

} // namespace

class TstPeerHostCopy : public QObject, private HostPair
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
        QVERIFY(startPair());
    }

    void cleanupTestCase()
    {
        m_b.reset();
        m_a.reset();
    }

    // The link goes down at 40 % of a large file and comes back: the job pauses, resumes by
    // the block digests and sends again little more than what was missing.
    void resumeAfterCut()
    {
        const QString src = path(QStringLiteral("cut-src"));
        const QString dst = path(QStringLiteral("cut-dst"));
        QVERIFY(QDir().mkpath(src));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(writeLargeFile(src + QStringLiteral("/big.bin"), kCutFileSize, 7));
        QVERIFY(share(src, 5));

        QVERIFY(m_a->ok(QStringLiteral("cut-at %1").arg(kCutFileSize * 2 / 5)));
        m_b->send(fromA(QStringLiteral("copy"), src + QStringLiteral("/big.bin"), dst));
        static const QRegularExpression progress(QStringLiteral("^progress (\\w+) ([0-9.]+) ([0-9]+)$"));
        QStringList out;
        QString status;
        double lastRunning = 0;
        double cutAt = -1;
        bool restored = false;
        while (status.isEmpty()) {
            const QString line = m_b->nextLine(30000);
            QVERIFY2(!line.isNull(), qPrintable(out.join(QLatin1Char('\n'))));
            if (line == QLatin1String("ok") || line.startsWith(QLatin1String("error"))) {
                status = line;
                break;
            }
            out << line;
            const QRegularExpressionMatch m = progress.match(line);
            if (!m.hasMatch())
                continue;
            const QString state = m.captured(1);
            const double percent = m.captured(2).toDouble();
            if (state == QLatin1String("running"))
                lastRunning = percent;
            if (!restored && state == QLatin1String("paused")) {
                cutAt = lastRunning;
                QVERIFY(m_a->ok(QStringLiteral("net on")));
                restored = true;
            }
        }
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(restored, qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY2(out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY2(cutAt >= 20 && cutAt <= 40, qPrintable(QString::number(cutAt)));
        QVERIFY(sameContent(src + QStringLiteral("/big.bin"), dst + QStringLiteral("/big.bin")));

        const QMap<QString, qint64> counters = countersOf(out);
        QVERIFY2(counters.contains(QStringLiteral("written")), qPrintable(out.join(QLatin1Char('\n'))));
        const qint64 written = counters.value(QStringLiteral("written"));
        QVERIFY(counters.value(QStringLiteral("errors")) >= 1);
        qInfo("cut after %.1f %%: %lld bytes written for %lld, %lld again, %lld failures", cutAt, written,
              kCutFileSize, written - kCutFileSize, counters.value(QStringLiteral("errors")));
        // A copy from the start would send the 15 % or more again; a resume only what was in
        // flight when the link went down. Writes in flight at the cut may have reached the
        // disk without their answer being counted: the resume finds those blocks equal.
        QVERIFY2(written - kCutFileSize < kCutFileSize / 8,
                 qPrintable(QStringLiteral("cut at %1 %, %2 bytes written for %3").arg(cutAt).arg(written).arg(kCutFileSize)));
        QVERIFY(m_a->waitForState(m_bOnA, 3));
    }

    // Four files exist at the destination: "replace", "skip", then "replace-all" for the
    // rest, each answered through the host. A new file needs no question.
    void replaceQuestions()
    {
        const QString src = path(QStringLiteral("q-src"));
        const QString dst = path(QStringLiteral("q-dst"));
        const QStringList names = {QStringLiteral("f1.bin"), QStringLiteral("f2.bin"), QStringLiteral("f3.bin"),
                                   QStringLiteral("f4.bin")};
        const QList<qint64> sizes = {100000, 64400, 1, 70000};
        QMap<QString, QByteArray> fresh;
        QMap<QString, QByteArray> old;
        for (int i = 0; i < names.size(); ++i) {
            fresh[names[i]] = randomBytes(sizes[i], 100 + i);
            old[names[i]] = randomBytes(sizes[i] + 70000 * (i % 2), 200 + i);   // some longer than the new one
            QVERIFY(writeFile(src + QStringLiteral("/tree/") + names[i], fresh[names[i]]));
            QVERIFY(writeFile(dst + QStringLiteral("/tree/") + names[i], old[names[i]]));
        }
        const QByteArray added = randomBytes(5000, 300);
        QVERIFY(writeFile(src + QStringLiteral("/tree/new.bin"), added));
        QVERIFY(share(src, 5));

        QString status;
        QStringList out = m_b->cmd(fromA(QStringLiteral("copy"), src + QStringLiteral("/tree"), dst), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last().startsWith(QLatin1String("question ")), qPrintable(out.join(QLatin1Char('\n'))));
        const QString replaced = fileLineOf(out);
        QVERIFY2(names.contains(replaced), qPrintable(out.join(QLatin1Char('\n'))));

        out = m_b->cmd(QStringLiteral("answer replace"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last().startsWith(QLatin1String("question ")), qPrintable(out.join(QLatin1Char('\n'))));
        const QString skipped = fileLineOf(out);
        QVERIFY2(names.contains(skipped) && skipped != replaced, qPrintable(out.join(QLatin1Char('\n'))));

        out = m_b->cmd(QStringLiteral("answer skip"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last().startsWith(QLatin1String("question ")), qPrintable(out.join(QLatin1Char('\n'))));
        const QString third = fileLineOf(out);
        QVERIFY2(names.contains(third) && third != replaced && third != skipped, qPrintable(out.join(QLatin1Char('\n'))));

        // The fourth existing file is replaced without a question.
        out = m_b->cmd(QStringLiteral("answer replace-all"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(out.filter(QRegularExpression(QStringLiteral("^question "))).isEmpty());

        for (const QString &name : names) {
            const QByteArray expected = name == skipped ? old[name] : fresh[name];
            QVERIFY2(readFile(dst + QStringLiteral("/tree/") + name) == expected, qPrintable(name));
        }
        QCOMPARE(readFile(dst + QStringLiteral("/tree/new.bin")), added);
        QCOMPARE(QDir(dst + QStringLiteral("/tree")).entryList(QDir::Files).size(), 5);
    }

    // A move from A to B copies, then deletes at A only the files the copy finished and the
    // folders left empty: the symlink, the FIFO and the file answered with "skip" stay.
    void moveDeletesOnlyWhatWasCopied()
    {
        const QString src = path(QStringLiteral("m-src"));
        const QString tree = src + QStringLiteral("/tree");
        const QString dst = path(QStringLiteral("m-dst"));
        const QByteArray a = randomBytes(64401, 11);
        const QByteArray b = randomBytes(200000, 12);
        const QByteArray c = randomBytes(1, 13);
        const QByteArray keep = randomBytes(3000, 14);
        const QByteArray there = randomBytes(4000, 15);
        QVERIFY(writeFile(tree + QStringLiteral("/a.bin"), a));
        QVERIFY(writeFile(tree + QStringLiteral("/nested/b.bin"), b));
        QVERIFY(writeFile(tree + QStringLiteral("/nested/deeper/c.bin"), c));
        QVERIFY(writeFile(tree + QStringLiteral("/skip.bin"), keep));
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/links")));
        QVERIFY(QFile::link(QStringLiteral("../a.bin"), tree + QStringLiteral("/links/to-a")));
        QCOMPARE(::mkfifo(QFile::encodeName(tree + QStringLiteral("/fifo")).constData(), 0600), 0);
        QVERIFY(writeFile(dst + QStringLiteral("/tree/skip.bin"), there));
        QVERIFY(share(src, 7));

        QString status;
        QStringList out = m_b->cmd(fromA(QStringLiteral("move"), tree, dst), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last().startsWith(QLatin1String("question ")), qPrintable(out.join(QLatin1Char('\n'))));
        QCOMPARE(fileLineOf(out), QStringLiteral("skip.bin"));
        out = m_b->cmd(QStringLiteral("answer skip"), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(!out.isEmpty() && out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));

        const QString copied = dst + QStringLiteral("/tree");
        QCOMPARE(readFile(copied + QStringLiteral("/a.bin")), a);
        QCOMPARE(readFile(copied + QStringLiteral("/nested/b.bin")), b);
        QCOMPARE(readFile(copied + QStringLiteral("/nested/deeper/c.bin")), c);
        QCOMPARE(readFile(copied + QStringLiteral("/skip.bin")), there);

        // Gone at the source: the copied files and the folders they left empty.
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/a.bin")));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/nested")));
        // Kept: what was not copied, and the folders holding it.
        QVERIFY(QFileInfo(tree + QStringLiteral("/links/to-a")).isSymLink());
        QCOMPARE(QFileInfo(tree + QStringLiteral("/links/to-a")).symLinkTarget(), QFileInfo(tree + QStringLiteral("/a.bin")).absoluteFilePath());
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(tree + QStringLiteral("/fifo")).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
        QCOMPARE(readFile(tree + QStringLiteral("/skip.bin")), keep);
    }

    // A move of 2,000 files pulled by B: A's network goes off at its 300th and 1,200th delete
    // and comes back once B has paused. The move waits each time and ends with every source
    // deleted and every file at the destination.
    void moveOutlivesLinkCutsWhileDeleting()
    {
        const QString src = path(QStringLiteral("flap-src"));
        const QString tree = src + QStringLiteral("/many");
        const QString dst = path(QStringLiteral("flap-dst"));
        QVERIFY(QDir().mkpath(dst));
        QMap<QString, QByteArray> files;
        for (int i = 0; i < 2000; ++i) {
            const QString name = QStringLiteral("f%1").arg(i, 4, 10, QLatin1Char('0'));
            files.insert(name, randomBytes(1000 + i % 7, quint32(400 + i)));
            QVERIFY(writeFile(tree + QLatin1Char('/') + name, files.value(name)));
        }
        QVERIFY(share(src, 7));
        QVERIFY(m_a->ok(QStringLiteral("cut-on delete 300")));
        QVERIFY(m_a->ok(QStringLiteral("cut-on delete 1200")));

        m_b->send(fromA(QStringLiteral("move"), tree, dst));
        QStringList out;
        QString status;
        int pauses = 0;
        bool paused = false;
        while (status.isEmpty()) {
            const QString line = m_b->nextLine(60000);
            QVERIFY2(!line.isNull(), qPrintable(out.join(QLatin1Char('\n'))));
            if (line == QLatin1String("ok") || line.startsWith(QLatin1String("error"))) {
                status = line;
                break;
            }
            out << line;
            if (!line.startsWith(QLatin1String("progress ")))
                continue;
            const bool nowPaused = line.startsWith(QLatin1String("progress paused"));
            if (nowPaused && !paused) {
                ++pauses;
                QVERIFY(m_a->ok(QStringLiteral("net on")));
            }
            paused = nowPaused;
        }
        QCOMPARE(status, QStringLiteral("ok"));
        qInfo("%d pauses while deleting, %d of 2000 sources left", pauses,
              int(QDir(tree).entryList(QDir::Files).size()));
        QVERIFY2(out.last() == QLatin1String("state finished"), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY2(pauses >= 2, qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY2(!out.filter(QRegularExpression(QStringLiteral("^deleting [0-9]+ 2000$"))).isEmpty(),
                 qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(tree));
        const QStringList arrived = QDir(dst + QStringLiteral("/many")).entryList(QDir::Files);
        QCOMPARE(arrived.size(), files.size());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(readFile(dst + QStringLiteral("/many/") + it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(m_a->waitForState(m_bOnA, 3));
    }

    // "answer abort" sent while the copy command still runs ends the job at once: the copy
    // command reports it aborted, and the answer then tells the same.
    void abortReachesARunningCopy()
    {
        const QString src = path(QStringLiteral("abort-src"));
        const QString dst = path(QStringLiteral("abort-dst"));
        QVERIFY(QDir().mkpath(src));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(writeLargeFile(src + QStringLiteral("/big.bin"), kCutFileSize, 9));
        QVERIFY(share(src, 5));

        QVERIFY(m_a->ok(QStringLiteral("cut-at %1").arg(kCutFileSize * 2 / 5)));
        m_b->send(fromA(QStringLiteral("copy"), src + QStringLiteral("/big.bin"), dst));
        QStringList out;
        QString line;
        while (!(line = m_b->nextLine(30000)).startsWith(QLatin1String("progress running")))
            QVERIFY2(!line.isNull() && line != QLatin1String("ok"), qPrintable(out.join(QLatin1Char('\n'))));
        m_b->send(QStringLiteral("answer abort"));
        QString status;
        out = m_b->finish(&status, 10000);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state aborted")), qPrintable(out.join(QLatin1Char('\n'))));
        out = m_b->finish(&status, 10000);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state aborted")), qPrintable(out.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(TstPeerHostCopy)
#include "tst_peerhost_copy.moc"
