// Job windows of copies to and from a second computer (a real nusk-peerhost) that shares
// folders with this one: paths in a share named as the panes name them.

#include "testutil_peerhost.h"
#include "testutil_window.h"

#include "peers/invitation.h"
#include "peers/peertimings.h"
#include "ui/mainwindow.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

using namespace peerhosttest;

namespace {

constexpr qint64 kBig = 48ll * 1024 * 1024;

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

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(hostBinary()).isExecutable(), qPrintable(hostBinary()));
        PeerTimings timings;
        timings.retryInitialMs = 150;
        timings.retryMaxMs = 600;
        setPeerTimings(timings);
        m_host.reset(new Host(m_hostDir.path(), freePort()));
        QVERIFY(m_host->start());
    }

    void cleanup() { qDeleteAll(jobWindows()); }

    void cleanupTestCase() { m_host.reset(); }

    // A question, a failure and the list of what was left out name a file in a share of the
    // other computer as the panes do: the share's name, never "%shares" or a uuid, and the
    // computer it is on.
    void sharePathsAsThePanesShowThem()
    {
        Program p;
        QVERIFY(p.start());
        IPeer *remote = other(p);
        QVERIFY(remote);
        const QString music = file(QStringLiteral("Music"));
        QVERIFY(files::writeFile(music + QStringLiteral("/local.txt"), "tune"));
        const QString shared = share(music, 5);   // read only
        QVERIFY(!shared.isEmpty());
        const QString on = QStringLiteral(" on ") + remote->displayName();
        auto internal = [](const QString &text) {
            return text.contains(QLatin1String("%shares")) || text.contains(QLatin1Char('{'));
        };

        // Copied into its own folder, the copy's name cannot be written there.
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(request(remote, shared + QStringLiteral("/local.txt"), 4, remote, shared));
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
        job = manager.copy(request(remote, shared + QStringLiteral("/gone.bin"), 5, p.peerModel()->getPeerForUuid(kLocal),
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
};

NUSK_WINDOW_TEST_MAIN(TestRemoteCopyWindows)
#include "tst_remotecopywindows.moc"
