// Job windows of copies to and from a second computer (a real nusk-peerhost) that shares
// folders with this one: paths in a share named as the panes name them, a file that is its
// own destination through the other computer, a file both computers hold and copy onto each
// other, why a copy waits while that computer is away, and what a cancelled copy leaves in
// the destination.

#include "testutil_peerhost.h"
#include "testutil_window.h"

#include "peers/invitation.h"
#include "peers/peertimings.h"
#include "ui/mainwindow.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/time.h>

using namespace peerhosttest;

namespace {

constexpr qint64 kBig = 48ll * 1024 * 1024;

// Every state a job window showed, in order.
class StateLog : public QObject
{
    Q_OBJECT
public:
    explicit StateLog(QQuickWindow *window) : m_window(window)
    {
        QQmlProperty(window, QStringLiteral("jobState")).connectNotifySignal(this, SLOT(record()));
        record();
    }
    const QList<int> &states() const { return m_states; }

public Q_SLOTS:
    void record()
    {
        const int state = m_window ? m_window->property("jobState").toInt() : -1;
        if (m_states.isEmpty() || m_states.last() != state)
            m_states.append(state);
    }

private:
    QPointer<QQuickWindow> m_window;
    QList<int> m_states;
};

VfsCopyDto request(IPeer *from, const QString &path, qint64 size, IPeer *to, const QString &folder)
{
    VfsCopyDto dto;
    dto.uuid = newUuidString();
    dto.srcPeerUuid = from->uuid();
    dto.dstPeerUuid = to->uuid();
    dto.dstPath = folder;
    VfsCopyItem item;
    item.path = path;
    item.type = VfsCopyItem::FileType;
    item.size = quint64(size);
    dto.items.push_back(item);
    return dto;
}

QString textOf(QQuickWindow *window, const char *name)
{
    QQuickItem *item = window->findChild<QQuickItem *>(QString::fromLatin1(name));
    return item && item->isVisible() ? item->property("text").toString() : QString();
}

struct Stamp
{
    qint64 changeNs = -1;
    quint64 inode = 0;
};

Stamp stampOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec, quint64(st.st_ino)};
}

// Writes `content` at `path` with the modification time an earlier copy would have given it.
bool writeCopied(const QString &path, const QByteArray &content)
{
    const struct timeval times[2] = {{1600000000, 0}, {1600000000, 0}};
    return files::writeFile(path, content) && ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

} // namespace

class TestRemoteCopyWindows : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_hostDir;
    QTemporaryDir m_files;
    std::unique_ptr<Host> m_host;
    QString m_hostUuid;   // the other computer, as this one knows it
    QString m_ourUuid;    // this computer, as the other one knows it
    // Each case's program with the other computer and this one as it knows them.
    std::unique_ptr<Program> m_program;
    IPeer *m_remote = nullptr;
    IPeer *m_local = nullptr;

    // The other computer of `p`, its link up; paired at the first call (the pairing is
    // stored, later programs of this test find it).
    IPeer *other(Program &p)
    {
        p.window()->setNetworkEnabled(true);
        if (m_hostUuid.isEmpty()) {
            const QStringList invitation = m_host->invite(QStringLiteral("0badc0de"));
            if (invitation.size() != 2 || !acceptInvitation(p.database(), invitation[0], QStringLiteral("0badc0de")))
                return nullptr;
        }
        IPeer *peer = nullptr;
        (void)QTest::qWaitFor([&] {
            for (IPeer *candidate : p.peerModel()->peers())
                if (!candidate->isLocal() && candidate->linkState() == IPeer::LinkUp
                    && (m_hostUuid.isEmpty() || candidate->uuid() == m_hostUuid))
                    peer = candidate;
            return peer != nullptr;
        }, 30000);
        if (peer && m_hostUuid.isEmpty()) {
            m_hostUuid = peer->uuid();
            (void)QTest::qWaitFor([&] { return !(m_ourUuid = m_host->remotePeers().value(0).uuid).isEmpty(); }, 10000);
        }
        return peer;
    }

    // Shares `dir` of the other computer with this one; its path there ("%shares/{uuid}").
    QString share(const QString &dir, int flags)
    {
        QString status;
        const QStringList out = m_host->cmd(QStringLiteral("share %1 %2 %3").arg(m_ourUuid, dir).arg(flags), &status);
        return status == QLatin1String("ok") && out.size() == 1 ? QStringLiteral("%shares/") + out[0] : QString();
    }

    QString file(const QString &name) const { return m_files.filePath(name); }

    // Shares `dir` of this computer with the other one, read and write, once it holds the entry.
    bool shareHere(const QString &dir)
    {
        PeerAclDto entry;
        entry.uuid = newUuidString();
        entry.name = QFileInfo(dir).fileName();
        entry.selector = dir;
        entry.flags = PeerAclDto::FlagRead | PeerAclDto::FlagWrite | PeerAclDto::FlagSubPaths;
        entry.timestamp = QDateTime::currentDateTime();
        if (!m_program->database()->putPeerAcl(m_hostUuid, entry))
            return false;
        return QTest::qWaitFor([&] {
            return m_host->cmd(QStringLiteral("ls %1 %2").arg(m_ourUuid, dir)).value(0) == QLatin1String("status 0");
        }, 10000);
    }

    // Both computers hold `content` as big200.bin, this one in its folder `tag`-here, the other
    // in its `tag`-there, each folder shared with the other computer. The copy of the other's
    // file onto this one's is started with `manager`, and the other computer's copy of this
    // one's onto its own; both wait at their replace questions.
    bool startBothWays(VfsManager &manager, const QString &tag, const QByteArray &content, QPointer<VfsCopyJob> *job)
    {
        const QString here = file(tag + QStringLiteral("-here"));
        const QString there = file(tag + QStringLiteral("-there"));
        const QString name = QStringLiteral("/big200.bin");
        if (!writeCopied(here + name, content) || !writeCopied(there + name, content) || !shareHere(here))
            return false;
        const QString shared = share(there, 7);
        *job = manager.copy(request(m_remote, shared + name, content.size(), m_local, here));
        if (shared.isEmpty() || !*job || !QTest::qWaitFor([] { return jobWindows().size() == 1; }, 10000)
            || !QTest::qWaitFor([] { return jobWindows().first()->property("jobState").toInt()
                                             == int(VfsJob::VfsJobStateQuestion); }, 10000))
            return false;
        m_host->send(QStringList{QStringLiteral("copy"), m_ourUuid, here + name, kLocal, there}.join(QLatin1Char(' ')));
        return !hostLines().filter(QStringLiteral("question ")).isEmpty();
    }

    // The lines of the other computer's command up to its end, or to the first that starts
    // with `until`.
    QStringList hostLines(const QString &until = QString())
    {
        QStringList lines;
        for (QString line; !(line = m_host->nextLine(30000)).isNull();) {
            lines << line;
            if (line == QLatin1String("ok") || line.startsWith(QLatin1String("error"))
                || (!until.isEmpty() && line.startsWith(until)))
                break;
        }
        return lines;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
        PeerTimings timings;
        timings.retryInitialMs = 150;
        timings.retryMaxMs = 600;
        setPeerTimings(timings);
        m_host.reset(new Host(m_hostDir.path(), freePort()));
        // Its own copies notice a network that went away within a moment.
        m_host->addArguments({QStringLiteral("--fso-timeout-ms=2000")});
        QVERIFY(m_host->start());
    }

    void init()
    {
        m_program.reset(new Program);
        QVERIFY(m_program->start());
        m_remote = other(*m_program);
        QVERIFY(m_remote);
        m_local = m_program->peerModel()->getPeerForUuid(kLocal);
    }

    void cleanup()
    {
        qDeleteAll(jobWindows());
        m_program.reset();
    }

    void cleanupTestCase() { m_host.reset(); }

    // A question, a failure and the list of what was left out name a file in a share of the
    // other computer as the panes do: the share's name, never "%shares" or a uuid, and the
    // computer it is on.
    void sharePathsAsThePanesShowThem()
    {
        const QString music = file(QStringLiteral("Music"));
        QVERIFY(files::writeFile(music + QStringLiteral("/local.txt"), "tune"));
        const QString shared = share(music, 5);   // read only
        QVERIFY(!shared.isEmpty());
        const QString on = QStringLiteral(" on ") + m_remote->displayName();
        auto internal = [](const QString &text) {
            return text.contains(QLatin1String("%shares")) || text.contains(QLatin1Char('{'));
        };

        // Copied into its own folder, the copy's name cannot be written there.
        VfsManager manager;
        QPointer<VfsCopyJob> job =
            manager.copy(request(m_remote, shared + QStringLiteral("/local.txt"), 4, m_remote, shared));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        QTRY_COMPARE(textOf(window, "prompt"),
                     qtTrId("copy-q-unwritable").arg(QStringLiteral("Shares/Music/local (Copy).txt") + on));
        QVERIFY(clickItem(window, "skipButton"));
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateFinished), 10000);
        QTRY_VERIFY(window->findChild<QQuickItem *>("leftOutPanel")->isVisible());
        const QString leftOut = textOf(window, "leftOutList");
        QCOMPARE(leftOut, QStringLiteral("Shares/Music/local.txt%1 \u2014 %2").arg(on, qtTrId("copy-left-out-unwritable")));
        QVERIFY(clickItem(window, "closeButton"));
        QTRY_COMPARE(jobWindows().size(), 0);

        // A copy that fails names the file it failed on the same way.
        QVERIFY(QDir().mkpath(file(QStringLiteral("here"))));
        job = manager.copy(request(m_remote, shared + QStringLiteral("/gone.bin"), 5, m_local,
                                   file(QStringLiteral("here"))));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->title(), qtTrId("copy-status-failed"), 10000);
        const QString failure = textOf(window, "errorMessage");
        QCOMPARE(failure, qtTrId("copy-error-source-missing") + QStringLiteral("\nShares/Music/gone.bin") + on);
        QVERIFY2(!internal(failure) && !internal(leftOut), qPrintable(failure + QLatin1Char('\n') + leftOut));
        QVERIFY(clickItem(window, "abortedCloseButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
    }

    // A folder both computers see (here: two programs on one machine): a file of the other
    // computer's share copied into that same folder here is its own destination. It is there
    // already; the copy ends done at once, without asking to replace it and without pausing,
    // and the file is left as it was, untouched (no rename, no new stamp). A cut deletes
    // nothing: the file is the only one.
    void sourceItselfIsNotReplaced()
    {
        const QString both = file(QStringLiteral("Both"));
        const QString path = both + QStringLiteral("/big200.bin");
        const QByteArray content = files::randomBytes(3 * 1024 * 1024, 11);
        QVERIFY(files::writeFile(path, content));
        const QString shared = share(both, 7);
        QVERIFY(!shared.isEmpty());
        const Stamp before = stampOf(path);

        VfsManager manager;
        manager.setRetryDelay(100);   // a retry, were there one, would show at once
        for (const bool cut : {false, true}) {
            VfsCopyDto dto = request(m_remote, shared + QStringLiteral("/big200.bin"), content.size(), m_local, both);
            dto.deleteSource = cut;
            QPointer<VfsCopyJob> job = manager.copy(dto);
            QVERIFY(job);
            QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
            QPointer<QQuickWindow> window = jobWindows().first();
            StateLog log(window);
            // A person asked to replace it says yes, as the one who met this did.
            while (job && window && window->property("jobState").toInt() != int(VfsJob::VfsJobStateFinished)) {
                if (window->property("jobState").toInt() == int(VfsJob::VfsJobStateQuestion))
                    clickItem(window, "overWriteButton");
                QTest::qWait(10);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!job, 20000);
            const QList<int> states = log.states();
            QVERIFY2(!states.contains(VfsJob::VfsJobStateQuestion) && !states.contains(VfsJob::VfsJobStatePaused)
                         && states.contains(VfsJob::VfsJobStateFinished),
                     qPrintable(QStringLiteral("cut %1, states %2").arg(cut).arg(
                         [&] { QStringList s; for (int v : states) s << QString::number(v); return s.join(','); }())));
            QCOMPARE(files::readFile(path), content);
            const Stamp after = stampOf(path);
            QCOMPARE(after.inode, before.inode);
            QCOMPARE(after.changeNs, before.changeNs);
            QCOMPARE(QDir(both).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big200.bin")});
        }
    }

    // Both computers hold the same file, and each copies the other's onto its own (one person
    // at two windows, making sure both have it). The copy here asks to replace, and while it
    // waits for the answer the other computer replaces its file with this one's. A file that
    // holds the content already is left as it is: the copy here finds its source as it was
    // listed, never pauses at 100 % to start over, and ends done; neither copy renames or
    // stamps anew the file it found.
    void identicalFileCopiedBothWays()
    {
        const QByteArray content = files::randomBytes(4 * 1024 * 1024 + 9, 21);
        VfsManager manager;
        manager.setRetryDelay(100);   // a retry, were there one, would show at once
        QPointer<VfsCopyJob> job;
        QVERIFY(startBothWays(manager, QStringLiteral("both"), content, &job));
        QPointer<QQuickWindow> window = jobWindows().first();
        StateLog log(window);
        const QStringList paths = {file(QStringLiteral("both-here/big200.bin")), file(QStringLiteral("both-there/big200.bin"))};
        const Stamp hereBefore = stampOf(paths[0]);
        const Stamp thereBefore = stampOf(paths[1]);

        m_host->send(QStringLiteral("answer replace"));
        const QStringList thereCopy = hostLines();
        QVERIFY2(thereCopy.contains(QStringLiteral("state finished")) && thereCopy.filter(QStringLiteral("paused")).isEmpty(),
                 qPrintable(thereCopy.join(QLatin1Char('\n'))));
        QVERIFY(clickItem(window, "overWriteButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!job, 20000);
        QStringList shown;
        for (int state : log.states())
            shown << QString::number(state);
        QVERIFY2(!log.states().contains(VfsJob::VfsJobStatePaused) && log.states().last() == VfsJob::VfsJobStateFinished,
                 qPrintable(shown.join(QLatin1Char(','))));
        for (const QString &path : paths) {
            QCOMPARE(files::readFile(path), content);
            QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big200.bin")});
        }
        QCOMPARE(stampOf(paths[0]).inode, hereBefore.inode);
        QCOMPARE(stampOf(paths[0]).changeNs, hereBefore.changeNs);
        QCOMPARE(stampOf(paths[1]).inode, thereBefore.inode);
        QCOMPARE(stampOf(paths[1]).changeNs, thereBefore.changeNs);
    }

    // The same two copies, but this computer's network goes off as the other computer's copy
    // starts on its file, which then waits to try again. That file keeps its name all the
    // while: the copy here, whose source it is, goes on once the network is back and ends
    // done; it never says that its source no longer exists.
    void identicalFileKeepsItsNameWhileTheOtherCopyWaits()
    {
        const QByteArray content = files::randomBytes(4 * 1024 * 1024 + 9, 22);
        VfsManager manager;
        manager.setRetryDelay(100);   // far sooner than the other computer's retry
        QPointer<VfsCopyJob> job;
        QVERIFY(startBothWays(manager, QStringLiteral("wait"), content, &job));
        QPointer<QQuickWindow> window = jobWindows().first();
        const QString here = file(QStringLiteral("wait-here"));
        const QString there = file(QStringLiteral("wait-there"));

        m_program->window()->setNetworkEnabled(false);
        QTRY_VERIFY_WITH_TIMEOUT(m_remote->linkState() != IPeer::LinkUp, 10000);
        m_host->send(QStringLiteral("answer replace"));
        const QStringList thereCopy = hostLines(QStringLiteral("progress paused"));
        QVERIFY2(!thereCopy.isEmpty() && thereCopy.last().startsWith(QLatin1String("progress paused")),
                 qPrintable(thereCopy.join(QLatin1Char('\n'))));
        QVERIFY(QFileInfo::exists(there + QStringLiteral("/big200.bin")));
        QVERIFY(other(*m_program));

        QVERIFY(clickItem(window, "overWriteButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!job || window->property("jobState").toInt() == int(VfsJob::VfsJobStateAborted), 20000);
        QVERIFY2(!job, qPrintable(textOf(window, "errorMessage")));
        QCOMPARE(files::readFile(here + QStringLiteral("/big200.bin")), content);
        QCOMPARE(QDir(here).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big200.bin")});

        // Its copy and the answer that ends it both say so.
        m_host->send(QStringLiteral("answer abort"));
        QVERIFY(hostLines().contains(QStringLiteral("state aborted")));
        QVERIFY(hostLines().contains(QStringLiteral("state aborted")));
        QCOMPARE(QDir(there).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big200.bin")});
    }

    // The other computer goes away in the middle of a copy: the paused window says at once
    // that it waits for that computer (not only when its pause is over), and the copy goes on
    // when it is back.
    void pausedSaysItWaitsForTheComputer()
    {
        const QString films = file(QStringLiteral("Films"));
        QVERIFY(QDir().mkpath(films) && files::writeLargeFile(films + QStringLiteral("/big.bin"), kBig, 5));
        const QString shared = share(films, 5);
        QVERIFY(!shared.isEmpty());
        const QString here = file(QStringLiteral("films-here"));
        QVERIFY(QDir().mkpath(here));
        QVERIFY(m_host->ok(QStringLiteral("cut-at %1").arg(kBig / 3)));

        VfsManager manager;
        // Longer than the wait below: the reason must show before the pause ends.
        manager.setRetryDelay(8000);
        QPointer<VfsCopyJob> job = manager.copy(request(m_remote, shared + QStringLiteral("/big.bin"), kBig,
                                                        m_local, here));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStatePaused), 20000);
        QCOMPARE(window->title(), qtTrId("copy-title-paused"));
        QTRY_COMPARE_WITH_TIMEOUT(textOf(window, "pauseReason"),
                                  qtTrId("copy-error-peer-unreachable").arg(m_remote->displayName()), 4000);
        QCOMPARE(window->property("jobState").toInt(), int(VfsJob::VfsJobStatePaused));

        QVERIFY(m_host->ok(QStringLiteral("net on")));
        QTRY_VERIFY_WITH_TIMEOUT(!job, 60000);
        QCOMPARE(QFileInfo(here + QStringLiteral("/big.bin")).size(), kBig);
        QVERIFY(files::sameContent(films + QStringLiteral("/big.bin"), here + QStringLiteral("/big.bin")));
    }

    // Cancel in the middle of a file (here while the other computer is away) removes the hidden
    // file the copy made, and the window goes. A hidden file an earlier copy made, which this
    // one resumed, is not this copy's to remove: it stays, and the window names it until it is
    // closed.
    void cancelRemovesWhatItMade()
    {
        const QString films = file(QStringLiteral("Cancel"));
        QVERIFY(QDir().mkpath(films));
        QVERIFY(files::writeLargeFile(films + QStringLiteral("/big.bin"), kBig, 7));
        QVERIFY(files::writeLargeFile(films + QStringLiteral("/big2.bin"), kBig, 8));
        const QString shared = share(films, 5);
        QVERIFY(!shared.isEmpty());
        const QString here = file(QStringLiteral("cancel-here"));
        QVERIFY(QDir().mkpath(here));
        const QString made = here + QStringLiteral("/.big.bin.nusk-part");
        const QString earlier = here + QStringLiteral("/.big2.bin.nusk-part");
        QVERIFY(files::writeFile(earlier, files::readFile(films + QStringLiteral("/big2.bin")).left(8 * 1024 * 1024)));

        VfsManager manager;
        for (const QString &name : {QStringLiteral("big.bin"), QStringLiteral("big2.bin")}) {
            QVERIFY(m_host->ok(QStringLiteral("cut-at %1").arg(kBig / 2)));
            QPointer<VfsCopyJob> job =
                manager.copy(request(m_remote, shared + QLatin1Char('/') + name, kBig, m_local, here));
            QVERIFY(job);
            QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
            QPointer<QQuickWindow> window = jobWindows().first();
            // The pause at the cut, in the middle of the file: one before the hidden file was
            // opened (a first request that timed out on a loaded machine) is waited out.
            QTRY_VERIFY_WITH_TIMEOUT(window->property("jobState").toInt() == int(VfsJob::VfsJobStatePaused)
                                         && job && job->bytesCopiedCount() > 0, 40000);
            QVERIFY(QFileInfo::exists(name == QLatin1String("big.bin") ? made : earlier));
            QVERIFY(clickItem(window, "runningCancelButton"));
            QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
            if (name == QLatin1String("big.bin")) {
                QVERIFY(!QFileInfo::exists(made));
                QTRY_VERIFY(!window);
            } else {
                QVERIFY(QFileInfo(earlier).size() >= 8 * 1024 * 1024);
                QTest::qWait(100);
                QVERIFY(window && window->isVisible());
                QCOMPARE(textOf(window, "errorMessage"), qtTrId("copy-aborted-partial-kept").arg(earlier));
                QVERIFY(clickItem(window, "abortedCloseButton"));
                QTRY_VERIFY(!window);
            }
            QCOMPARE(QDir(here).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral(".big2.bin.nusk-part")});
            QVERIFY(m_host->ok(QStringLiteral("net on")));
            QVERIFY(other(*m_program));
        }
    }
};

NUSK_WINDOW_TEST_MAIN(TestRemoteCopyWindows)
#include "tst_remotecopywindows.moc"
