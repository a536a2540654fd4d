// Copies and moves between two nusk-peerhost processes when one of them dies by SIGKILL at
// the worst moments, and what a move leaves at the source when it cannot take everything. And
// what a copy's destination loses while its link is cut: only what it confirmed on its disk
// is taken as copied.
//
// Host B runs every job; host A holds the sources (or, for the rename case and the jobs that
// push, the destination) and shares them with B. Both run without root's right to open any
// folder. A job flushes its destination only at its end, so that nothing is confirmed before.

#include "testutil_peerhost.h"
#include "../testutil_timeouts.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace peerhosttest;
using namespace peerhosttest::files;

namespace {

constexpr qint64 kBigFileSize = 128ll * 1024 * 1024;

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Every file below `dir` (hidden ones included), relative to it.
QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TstPeerHostCrash : public QObject, private HostPair
{
    Q_OBJECT

private:
    bool m_unprivileged = false;

    // Starts a host that died (or kills it first) and waits until the links are up again:
    // as A sees it, and as B sees it unless B is busy with a command.
    bool restart(Host &host, bool askB = true)
    {
        host.kill();
        return host.start() && host.ok(QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5"))
               && m_a->waitForState(m_bOnA, 3) && (!askB || m_b->waitForState(m_aOnB, 3));
    }

    // Reads the running command's lines until a "progress running" line reaches `percent`.
    bool runUntil(Host &host, double percent, QStringList *seen)
    {
        static const QRegularExpression running(QStringLiteral("^progress running ([0-9.]+) "));
        for (;;) {
            const QString line = host.nextLine(30000);
            if (line.isNull() || line == QLatin1String("ok") || line.startsWith(QLatin1String("error")))
                return false;
            *seen << line;
            const QRegularExpressionMatch m = running.match(line);
            if (m.hasMatch() && m.captured(1).toDouble() >= percent)
                return true;
        }
    }

    // Runs a job command to its end, answering every replace question with "replace-all".
    QStringList runReplacingAll(const QString &line)
    {
        QString status;
        QStringList out = m_b->cmd(line, &status);
        while (status == QLatin1String("ok") && !out.isEmpty() && out.last().startsWith(QLatin1String("question ")))
            out += m_b->cmd(QStringLiteral("answer replace-all"), &status);
        if (status != QLatin1String("ok"))
            out << status;
        return out;
    }

    // A tree of a few files for the moves, and its twin to compare with.
    QStringList makeTree(const QString &tree, const QString &twin, quint32 seed)
    {
        const QStringList names = {QStringLiteral("f1.bin"), QStringLiteral("f2.bin"), QStringLiteral("small.txt"),
                                   QStringLiteral("sub/f3.bin")};
        for (int i = 0; i < names.size(); ++i) {
            const QByteArray bytes = randomBytes(i == 2 ? 10000 : 40ll * 1024 * 1024, seed + quint32(i));
            if (!writeFile(tree + QLatin1Char('/') + names[i], bytes) || !writeFile(twin + QLatin1Char('/') + names[i], bytes))
                return QStringList();
        }
        return names;
    }

    // What a destination loses of the files in `folder`: every second one that has arrived
    // (and the large one) deleted, emptied, or zeroed at its size and times; or the whole folder.
    static bool loseHalf(const QString &folder, const QString &loss)
    {
        if (loss == QLatin1String("tree removed"))
            return QDir(folder).removeRecursively();
        const QStringList names = QDir(folder).entryList(QDir::Files);
        for (int i = 0; i < names.size(); ++i) {
            if (i % 2 != 0 && names[i] != QLatin1String("big"))
                continue;
            const QString file = folder + QLatin1Char('/') + names[i];
            const QByteArray native = QFile::encodeName(file);
            struct stat st;
            if (::stat(native.constData(), &st) != 0)
                return false;
            bool ok = true;
            if (loss == QLatin1String("deleted")) {
                ok = QFile::remove(file);
            } else if (loss == QLatin1String("emptied")) {
                ok = QFile::resize(file, 0);
            } else {
                // The last half of it, at least a block: as a power cut leaves a file its size
                // said it had.
                const qint64 from = st.st_size / 2;
                const QByteArray zeros(int(st.st_size - from), '\0');
                const int fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC);
                ok = fd >= 0 && ::pwrite(fd, zeros.constData(), size_t(zeros.size()), off_t(from)) == zeros.size();
                if (fd >= 0)
                    ::close(fd);
                const timespec times[2] = {st.st_atim, st.st_mtim};
                ok = ok && ::utimensat(AT_FDCWD, native.constData(), times, 0) == 0;
            }
            if (!ok)
                return false;
        }
        return true;
    }

    // After a crash: each file is still at the source, or complete at the destination.
    bool nothingLost(const QString &tree, const QString &copied, const QString &twin, const QStringList &names)
    {
        for (const QString &name : names) {
            const QString at = QLatin1Char('/') + name;
            if (!sameContent(tree + at, twin + at) && !sameContent(copied + at, twin + at))
                return false;
        }
        return true;
    }

    // After a move that ended when the source's host had started again: everything at the
    // destination exactly once; what is left at the source is unchanged and was named by the
    // job as not moved. A file that lingered for a late save after its delete, or whose delete
    // the crash cut short, is given back when the host starts again (a save may be in it), set
    // aside until a listing names it.
    QString movedOrNamed(const QString &tree, const QString &copied, const QString &twin, const QStringList &names,
                         const QStringList &out)
    {
        for (const QString &name : names) {
            if (!sameContent(copied + QLatin1Char('/') + name, twin + QLatin1Char('/') + name))
                return name + QStringLiteral(" not whole at the destination");
        }
        QStringList expected = names;
        expected.sort();
        if (filesBelow(copied) != expected)
            return QStringLiteral("at the destination: ") + filesBelow(copied).join(QLatin1Char(' '));
        const QString said = out.join(QLatin1Char('\n'));
        const QRegularExpression setAside(QStringLiteral("(^|/)\\.nusk-deleting-[0-9a-f]{32}-"));
        for (const QString &left : filesBelow(tree)) {
            const QString name = QString(left).replace(setAside, QStringLiteral("\\1"));
            if (!names.contains(name) || !sameContent(tree + QLatin1Char('/') + left, twin + QLatin1Char('/') + name))
                return left + QStringLiteral(" left at the source, not a source as it was");
            if (name == left && !said.contains(tree + QLatin1Char('/') + name))
                return left + QStringLiteral(" left at the source, not named: ") + said;
        }
        return QString();
    }

    // After the second move: everything at the destination exactly once, no file at the source.
    bool movedOnce(const QString &tree, const QString &copied, const QString &twin, const QStringList &names)
    {
        for (const QString &name : names) {
            if (!sameContent(copied + QLatin1Char('/') + name, twin + QLatin1Char('/') + name))
                return false;
        }
        QStringList expected = names;
        expected.sort();
        return filesBelow(copied) == expected && (!exists(tree) || filesBelow(tree).isEmpty());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
        QVERIFY(startPair([this](Host &host) {
            m_unprivileged = host.setUnprivileged();
            host.addArguments({QStringLiteral("--job-flush-ms=3600000")});
        }));
    }

    void cleanupTestCase()
    {
        m_b.reset();
        m_a.reset();
    }

    // A name that is not UTF-8 and a folder nobody may read are named as left out; the job
    // ends finished with errors, and the move keeps them, and the folders holding them.
    void moveLeavesOutWhatItCannotReach()
    {
        if (!m_unprivileged)
            QSKIP("running as root without setpriv: every folder is readable to the hosts");
        const QByteArray rawName("bad-\xff.bin");
        if (QFile::encodeName(QFile::decodeName(rawName)) == rawName)
            QSKIP("file names are not decoded as UTF-8 here");
        const QString src = path(QStringLiteral("lo-src"));
        const QString tree = src + QStringLiteral("/tree");
        const QString dst = path(QStringLiteral("lo-dst"));
        QVERIFY(writeFile(tree + QStringLiteral("/a.bin"), randomBytes(70000, 1)));
        QVERIFY(writeFile(tree + QStringLiteral("/sub/b.bin"), randomBytes(1000, 2)));
        QVERIFY(writeFile(tree + QStringLiteral("/locked/x.bin"), randomBytes(1000, 3)));
        QVERIFY(QDir().mkpath(dst));
        const QByteArray raw = QFile::encodeName(tree + QStringLiteral("/sub/")) + rawName;
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        ::close(fd);
        const QByteArray locked = QFile::encodeName(tree + QStringLiteral("/locked"));
        QVERIFY(::chmod(locked.constData(), 0) == 0);
        QVERIFY(share(src, 7));

        QString status;
        const QStringList out = m_b->cmd(fromA(QStringLiteral("move"), tree, dst), &status);
        ::chmod(locked.constData(), 0755);
        const QString all = out.join(QLatin1Char('\n'));
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(all));
        QVERIFY2(countersOf(out).value(QStringLiteral("errors")) >= 2, qPrintable(all));
        const QStringList prompt = out.filter(QRegularExpression(QStringLiteral("^prompt ")));
        QVERIFY2(prompt.size() == 1 && prompt[0].contains(tree + QStringLiteral("/sub/bad-\uFFFD.bin"))
                     && prompt[0].contains(tree + QStringLiteral("/locked")),
                 qPrintable(all));

        QCOMPARE(filesBelow(dst), QStringList({QStringLiteral("tree/a.bin"), QStringLiteral("tree/sub/b.bin")}));
        QVERIFY(!exists(tree + QStringLiteral("/a.bin")));
        QVERIFY(!exists(tree + QStringLiteral("/sub/b.bin")));
        QCOMPARE(::unlink(raw.constData()), 0);   // it was kept; and it is out of reach of QTemporaryDir
        QVERIFY(exists(tree + QStringLiteral("/locked/x.bin")));
    }

    // The job's host dies in the middle of a large copy. The same copy afterwards continues
    // from the hidden partial file and ends with the real name only.
    void copyResumesAfterJobHostKilled()
    {
        const QString src = path(QStringLiteral("k-src"));
        const QString dst = path(QStringLiteral("k-dst"));
        QVERIFY(QDir().mkpath(src));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(writeLargeFile(src + QStringLiteral("/big.bin"), kBigFileSize, 31));
        QVERIFY(share(src, 5));

        const QString line = fromA(QStringLiteral("copy"), src + QStringLiteral("/big.bin"), dst);
        QStringList seen;
        m_b->send(line);
        QVERIFY2(runUntil(*m_b, 30, &seen), qPrintable(seen.join(QLatin1Char('\n'))));
        m_b->kill();
        QVERIFY(!exists(dst + QStringLiteral("/big.bin")));
        const qint64 kept = QFileInfo(dst + QStringLiteral("/.big.bin.nusk-part")).size();
        QVERIFY(kept > 0);

        QVERIFY(restart(*m_b));
        QString status;
        const QStringList out = m_b->cmd(line, &status);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(sameContent(src + QStringLiteral("/big.bin"), dst + QStringLiteral("/big.bin")));
        QCOMPARE(filesBelow(dst), QStringList{QStringLiteral("big.bin")});
        // What reached the disk before the kill is not sent again.
        const qint64 written = countersOf(out).value(QStringLiteral("written"));
        QVERIFY2(written > 0 && written <= kBigFileSize - kBigFileSize / 5,
                 qPrintable(QStringLiteral("%1 written, %2 were kept").arg(written).arg(kept)));
    }

    // The job's host dies in the middle of a move: nothing is lost, and a second move puts
    // everything at the destination once.
    void moveSurvivesJobHostKilled()
    {
        const QString tree = path(QStringLiteral("mj-src/tree"));
        const QString twin = path(QStringLiteral("mj-twin"));
        const QString dst = path(QStringLiteral("mj-dst"));
        const QStringList names = makeTree(tree, twin, 40);
        QVERIFY(!names.isEmpty());
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(share(path(QStringLiteral("mj-src")), 7));

        const QString line = fromA(QStringLiteral("move"), tree, dst);
        QStringList seen;
        m_b->send(line);
        QVERIFY2(runUntil(*m_b, 50, &seen), qPrintable(seen.join(QLatin1Char('\n'))));
        m_b->kill();
        QVERIFY(nothingLost(tree, dst + QStringLiteral("/tree"), twin, names));

        QVERIFY(restart(*m_b));
        const QStringList out = runReplacingAll(line);
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY2(movedOnce(tree, dst + QStringLiteral("/tree"), twin, names), qPrintable(filesBelow(dst).join(' ')));
    }

    // The serving host dies while the move deletes its sources: what is gone there is
    // complete at the destination, and the move waits for the host and finishes the work;
    // what the host gives back as it starts again is named as not moved.
    void moveSurvivesServingHostKilled()
    {
        const QString tree = path(QStringLiteral("ms-src/tree"));
        const QString twin = path(QStringLiteral("ms-twin"));
        const QString dst = path(QStringLiteral("ms-dst"));
        const QStringList names = makeTree(tree, twin, 50);
        QVERIFY(!names.isEmpty());
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(share(path(QStringLiteral("ms-src")), 7));
        QVERIFY(m_a->ok(QStringLiteral("crash-on delete /f2.bin")));

        const QString line = fromA(QStringLiteral("move"), tree, dst);
        m_b->send(line);
        QVERIFY(m_a->waitForExit(120000));
        QVERIFY(exists(tree + QStringLiteral("/f2.bin")));
        QVERIFY(nothingLost(tree, dst + QStringLiteral("/tree"), twin, names));

        QVERIFY(restart(*m_a, false));
        QString status;
        const QStringList out = m_b->finish(&status, 120000);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(out.join(QLatin1Char('\n'))));
        const QString wrong = movedOrNamed(tree, dst + QStringLiteral("/tree"), twin, names, out);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }

    // The destination's host dies the moment the file is complete under its hidden name,
    // before the rename: no file of the real name exists with other content, and the job
    // finishes once the host is back.
    void destinationKilledBeforeRename()
    {
        const QString src = path(QStringLiteral("r-src"));
        const QString dst = path(QStringLiteral("r-dst"));
        QVERIFY(writeFile(src + QStringLiteral("/f.bin"), randomBytes(3 * 1024 * 1024 + 17, 60)));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(share(dst, 7));
        QVERIFY(m_a->ok(QStringLiteral("crash-on move .nusk-part")));

        m_b->send(QStringList{QStringLiteral("copy"), kLocal, src + QStringLiteral("/f.bin"), m_aOnB, dst}.join(' '));
        QVERIFY(m_a->waitForExit(120000));
        QVERIFY(!exists(dst + QStringLiteral("/f.bin")));
        QVERIFY(sameContent(src + QStringLiteral("/f.bin"), dst + QStringLiteral("/.f.bin.nusk-part")));

        QVERIFY(restart(*m_a, false));
        QString status;
        const QStringList out = m_b->finish(&status, 120000);
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(out.join(QLatin1Char('\n'))));
        QVERIFY(sameContent(src + QStringLiteral("/f.bin"), dst + QStringLiteral("/f.bin")));
        QCOMPARE(filesBelow(dst), QStringList{QStringLiteral("f.bin")});
    }

    // The link of a copy or a move is cut at about 40 % of its bytes, or once every file has
    // arrived (on the flush of its end: the destination dies before it answers, or its network
    // goes; or, when B pulls onto its own disk, while the sources are listed again). Meanwhile
    // the destination loses half of the files that had arrived, none of which it had confirmed:
    // deleted, emptied, or zeroed at their size and time as a power cut leaves them (after
    // which its program starts again), or the whole tree is removed. The job finishes; nothing
    // is lost, and every file is whole at the destination.
    void cutLosesNothingUnconfirmed_data()
    {
        QTest::addColumn<bool>("push");
        QTest::addColumn<bool>("move");
        QTest::addColumn<bool>("atEnd");
        QTest::addColumn<bool>("killed");
        QTest::addColumn<QString>("loss");
        QTest::newRow("push move, after the last file, destination killed, zeroed") << true << true << true << true << "zeroed";
        QTest::newRow("push copy, at 40 %, destination killed, emptied") << true << false << false << true << "emptied";
        QTest::newRow("push move, after the last file, tree removed") << true << true << true << false << "tree removed";
        QTest::newRow("pull move, at 40 %, zeroed") << false << true << false << false << "zeroed";
        QTest::newRow("pull move, after the last file, deleted") << false << true << true << false << "deleted";
        QTest::newRow("pull copy, after the last file, tree removed") << false << false << true << false << "tree removed";
    }

    void cutLosesNothingUnconfirmed()
    {
        QFETCH(bool, push);
        QFETCH(bool, move);
        QFETCH(bool, atEnd);
        QFETCH(bool, killed);
        QFETCH(QString, loss);
        static int n = 0;
        const QString base = path(QStringLiteral("cut%1").arg(++n));
        const QString src = base + QStringLiteral("/src");
        const QString tree = src + QStringLiteral("/tree");
        const QString dst = base + QStringLiteral("/dst");
        const QString copied = dst + QStringLiteral("/tree");
        QMap<QString, QByteArray> files;
        for (int i = 0; i < 300; ++i)
            files.insert(QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0')), randomBytes(4096, quint32(700 + i)));
        files.insert(QStringLiteral("big"), randomBytes(2 * 1024 * 1024, 699));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(tree + QLatin1Char('/') + it.key(), it.value()));
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(share(push ? dst : src, 7));
        Host &destination = push ? *m_a : *m_b;
        Host &cutter = *m_a; // the host whose network goes off
        // After the last file: the flush that a pushing job sends, or the third listing of the
        // sources (counted, copied, listed again) of one that pulls.
        if (atEnd && killed)
            QVERIFY(m_a->ok(QStringLiteral("crash-on sync /tree")));
        else if (atEnd)
            QVERIFY(m_a->ok(push ? QStringLiteral("cut-on sync 1") : QStringLiteral("cut-on list 3 /tree")));
        m_b->send(push ? QStringList{move ? "move" : "copy", kLocal, tree, m_aOnB, dst}.join(QLatin1Char(' '))
                       : fromA(move ? QStringLiteral("move") : QStringLiteral("copy"), tree, dst));
        QStringList out;
        QString status;
        bool cut = false;
        bool lost = false;
        QElapsedTimer clock;
        clock.start();
        while (status.isEmpty()) {
            QVERIFY2(clock.elapsed() < testutil::timeoutMs(120000), qPrintable(out.join(QLatin1Char('\n'))));
            // At 40 %: once that share of the files has its name at the destination.
            if (!cut && !atEnd && QDir(copied).entryList(QDir::Files).size() >= files.size() * 2 / 5) {
                cut = true;
                if (killed)
                    destination.kill();
                else
                    QVERIFY(cutter.ok(QStringLiteral("net off")));
            }
            const QString line = m_b->nextLine(5);
            if (line.isNull())
                continue;
            if (line == QLatin1String("ok") && !out.isEmpty() && out.last().startsWith(QLatin1String("question "))) {
                // A file the job may have made itself (its request went unanswered) that the cut
                // left otherwise than the source is asked about, as any file it did not know.
                m_b->send(QStringLiteral("answer replace"));
                continue;
            }
            if (line == QLatin1String("ok") || line.startsWith(QLatin1String("error"))) {
                status = line;
                break;
            }
            out << line;
            if (lost || !line.startsWith(QLatin1String("progress paused")))
                continue;
            // The job has met the cut: the destination loses what it loses, and comes back.
            cut = lost = true;
            if (killed)
                QVERIFY(m_a->waitForExit(30000));
            QVERIFY(loseHalf(copied, loss));
            if (killed)
                QVERIFY(restart(*m_a, false));
            else
                QVERIFY(cutter.ok(QStringLiteral("net on")));
        }
        const QString all = out.join(QLatin1Char('\n'));
        qInfo("ended after %lld ms", clock.elapsed());
        QCOMPARE(status, QStringLiteral("ok"));
        QVERIFY2(lost, qPrintable(all));
        QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(all));
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QVERIFY2(readFile(copied + QLatin1Char('/') + it.key()) == it.value(), qPrintable(it.key()));
            QCOMPARE(exists(tree + QLatin1Char('/') + it.key()), !move);
        }
    }
};

QTEST_GUILESS_MAIN(TstPeerHostCrash)
#include "tst_peerhost_crash.moc"
