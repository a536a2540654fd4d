// The two panes with their tabs against a second computer (a real nusk-peerhost process
// paired with the test's own network side): the hub's view of the active pane and browser,
// tabs on both computers that come back after the window is closed and opened again, a path
// typed into the breadcrumb of the remote computer, new tabs on the computer they name,
// sharing a folder with the other computer and taking it back, and remote files copied into
// private folders before a local program opens them.

#include "filer/breadcrumb.h"
#include "filer/deferredlaunch.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharewithdialog.h"
#include "app/base/configsettings.h"
#include "db/sqlitedatabase.h"
#include "peers/invitation.h"
#include "peers/peermodel.h"
#include "peers/peertimings.h"
#include "testutil_filer.h"
#include "testutil_panes.h"
#include "../peers/testutil_peerhost.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/models/vfsmodel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QUuid>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QTimer>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

using filertest::spinUntil;

// What the main window builds around the panes: the hub, the left and the right pane, the
// first one active, then each pane restored.
struct PaneWindow
{
    explicit PaneWindow(QQmlEngine *engine, IDatabase *database)
    {
        hub = new FilerHub(&top);
        left = new FilerPane(engine, database, hub, &top);
        right = new FilerPane(engine, database, hub, &top);
        auto *layout = new QHBoxLayout(&top);
        layout->addWidget(left);
        layout->addWidget(right);
        hub->setActiveFilerPane(left);
        top.resize(1400, 800);
        top.show();
        left->restoreFilerSettings();
        right->restoreFilerSettings();
    }
    QWidget top;
    FilerHub *hub = nullptr;
    FilerPane *left = nullptr;
    FilerPane *right = nullptr;
};

struct TabState
{
    QString peer;
    QString path;
    bool operator==(const TabState &o) const { return peer == o.peer && path == o.path; }
};

QList<TabState> tabsOf(FilerPane *pane)
{
    QList<TabState> tabs;
    for (int i = 0; i < pane->tabWidget()->count(); ++i) {
        if (auto *filer = qobject_cast<Filer *>(pane->tabWidget()->widget(i)))
            tabs.append({filer->peer() ? filer->peer()->uuid() : QString(), filer->path()});
    }
    return tabs;
}

bool reachPath(Filer *filer, IPeer *peer, const QString &path)
{
    if (filer->peer() != peer)
        filer->setPeer(peer);
    filer->gotoPath(path);
    return spinUntil([&] { return filer->path() == path && filer->currentPage() == Filer::FilesPage; });
}

// The computer names the machine list shows.
QStringList namesShown(QQuickItem *item)
{
    QStringList names;
    if (item->objectName() == QLatin1String("machineName"))
        names << item->property("text").toString();
    for (QQuickItem *child : item->childItems())
        names << namesShown(child);
    return names;
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

class TstFilerPanes : public QObject
{
    Q_OBJECT

    std::unique_ptr<filertest::LocalNetwork> m_net;
    std::unique_ptr<peerhosttest::Host> m_host;
    std::unique_ptr<QQmlEngine> m_engine;
    panestest::FakeMainWindow m_mainWindow;
    QTemporaryDir m_hostDir;
    QTemporaryDir m_files;
    QString m_local;      // a folder of this computer
    QString m_shared;     // the host's folder shared with this computer
    QString m_share;      // its path as this computer sees it: "%shares/<uuid>"
    QString m_ours;       // this computer's uuid on the host
    QPointer<IPeer> m_remote;

    void clearSettings()
    {
        ConfigSettings settings;
        settings->clear();
    }

private Q_SLOTS:
    void initTestCase()
    {
        panestest::setUpProcess();
        initFilerViewResources();
        PeerTimings timings;
        timings.retryInitialMs = 150;
        timings.retryMaxMs = 600;
        setPeerTimings(timings);

        const QString base = QDir(m_files.path()).canonicalPath();
        m_local = base + QStringLiteral("/local");
        m_shared = base + QStringLiteral("/shared");
        QVERIFY(filertest::writeFile(m_local + QStringLiteral("/here.txt"), 300));
        QVERIFY(filertest::writeFile(m_shared + QStringLiteral("/one.txt"), 1500));
        QVERIFY(filertest::writeFile(m_shared + QStringLiteral("/two.txt"), 2500));
        QVERIFY(filertest::writeFile(m_shared + QStringLiteral("/sub/one.txt"), 10));

        m_net = std::make_unique<filertest::LocalNetwork>(true);
        QVERIFY(m_net->start());
        m_engine = panestest::makeEngine(&m_mainWindow, m_net->peerModel());
        m_host = std::make_unique<peerhosttest::Host>(m_hostDir.path(), peerhosttest::freePort());
        QVERIFY(m_host->start());
        const QStringList invitation = m_host->invite(QStringLiteral("0badc0de"));
        QCOMPARE(invitation.size(), 2);
        QVERIFY(acceptInvitation(m_net->database(), invitation[0], QStringLiteral("0badc0de")));
        QVERIFY(spinUntil([&] {
            for (IPeer *peer : m_net->peerModel()->peers())
                if (!peer->isLocal() && peer->linkState() == IPeer::LinkUp)
                    m_remote = peer;
            return m_remote != nullptr;
        }, 30000));
        QVERIFY(spinUntil([&] {
            const QList<peerhosttest::PeerLine> peers = m_host->remotePeers();
            if (peers.size() == 1)
                m_ours = peers.first().uuid;
            return !m_ours.isEmpty();
        }));
        QString status;
        const QStringList share = m_host->cmd(QStringLiteral("share %1 %2 7").arg(m_ours, m_shared), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        m_share = QStringLiteral("%shares/") + share.first();
    }

    void cleanupTestCase()
    {
        m_host.reset();
        m_engine.reset();
        m_net.reset();
    }

    void hubFollowsPaneSwitchesAndClosedTabs()
    {
        clearSettings();
        PaneWindow window(m_engine.get(), m_net->database());
        FilerHub *hub = window.hub;
        QCOMPARE(hub->activeFilerPane(), window.left);
        QVERIFY(hub->activeFiler());
        QCOMPARE(hub->activeFiler(), window.left->currentFiler());

        // Reports from the pane that is not active change nothing.
        QSignalSpy changed(hub, &FilerHub::activeFilerChanged);
        hub->setActiveFiler(window.right, window.right->currentFiler());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(hub->activeFiler(), window.left->currentFiler());

        // A switch of panes names the new browser at once and says so, so that the browser
        // of the other pane stops showing itself as the active one.
        hub->setActiveFilerPane(window.right);
        QCOMPARE(hub->activeFiler(), window.right->currentFiler());
        QCOMPARE(changed.count(), 1);
        hub->setActiveFilerPane(window.right);
        hub->setActiveFiler(window.right, window.right->currentFiler());
        QCOMPARE(changed.count(), 1);

        // Closing the current tab: the pane and the hub move on to a live browser.
        window.right->newFilerTab();
        QCOMPARE(window.right->tabWidget()->count(), 3);
        QPointer<Filer> closed = window.right->currentFiler();
        window.right->closeFilerTab();
        QTRY_VERIFY(!closed);
        QVERIFY(window.right->currentFiler());
        QCOMPARE(hub->activeFiler(), window.right->currentFiler());
        // The last tab is never closed.
        window.right->closeFilerTab();
        QCOMPARE(window.right->tabWidget()->count(), 2);

        // New tabs and windows only in the active pane.
        window.left->newFilerTab();
        QCOMPARE(window.left->tabWidget()->count(), 2);
    }

    void tabBarClicksAndKeys()
    {
        clearSettings();
        PaneWindow window(m_engine.get(), m_net->database());
        QTabWidget *tabs = window.right->tabWidget();
        window.right->showTabBar();
        QTabBar *bar = tabs->tabBar();
        QTRY_VERIFY(bar->isVisible());
        // "+" of the inactive pane: a new tab there, and that pane becomes the active one.
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tabs->count() - 1).center());
        QTRY_COMPARE(tabs->count(), 3);
        QCOMPARE(window.hub->activeFilerPane(), window.right);
        QCOMPARE(tabs->currentIndex(), 1);
        // "+" chosen by keyboard lands on the last browser tab.
        tabs->setCurrentIndex(2);
        QCOMPARE(tabs->currentIndex(), 1);
        // Ctrl+Tab on the last browser tab wraps to the first.
        QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(tabs->currentIndex(), 0);
        // A middle click closes a browser tab, never the "+" and never the last browser.
        QPointer<QWidget> first = tabs->widget(0);
        QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(0).center());
        QCOMPARE(tabs->count(), 2);
        QTRY_VERIFY(!first);
        QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(0).center());
        QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(1).center());
        QCOMPARE(tabs->count(), 2);
        QVERIFY(qobject_cast<Filer *>(tabs->widget(0)));
    }

    void tabsOnTwoComputersComeBack()
    {
        clearSettings();
        IPeer *local = m_net->localPeer();
        QList<TabState> leftTabs, rightTabs;
        QString closedUuid;
        QPointer<Filer> standalone;
        {
            PaneWindow window(m_engine.get(), m_net->database());
            Filer *a = window.left->currentFiler();
            QVERIFY(reachPath(a, local, m_local));
            window.left->newFilerTab();
            Filer *b = window.left->currentFiler();
            QVERIFY(b != a);
            QVERIFY(reachPath(b, m_remote, m_share));
            // A tab closed just before the window closes is not written back.
            window.left->newFilerTab();
            closedUuid = window.left->currentFiler()->property("uuid").toString();
            window.left->closeFilerTab();
            window.left->tabWidget()->setCurrentIndex(0);

            window.hub->setActiveFilerPane(window.right);
            QVERIFY(reachPath(window.right->currentFiler(), m_remote, m_share + QStringLiteral("/sub")));
            window.right->newFilerWindow();
            for (Filer *filer : window.right->filers())
                if (filer->isStandalone())
                    standalone = filer;
            QVERIFY(standalone);
            leftTabs = tabsOf(window.left);
            rightTabs = tabsOf(window.right);
            QCOMPARE(leftTabs.size(), 2);
            QCOMPARE(rightTabs.size(), 1);
        }
        // The window browser went with its pane.
        QVERIFY(!standalone);
        {
            ConfigSettings settings;
            QVERIFY(!settings->childGroups().contains(Filer::settingsGroup(closedUuid)));
        }

        PaneWindow window(m_engine.get(), m_net->database());
        QVERIFY(spinUntil([&] { return tabsOf(window.left) == leftTabs && tabsOf(window.right) == rightTabs; }));
        QCOMPARE(window.left->tabWidget()->currentIndex(), 0);
        // The right pane was active when the window closed, and is again; not the pane that
        // happened to restore last.
        QCOMPARE(window.hub->activeFilerPane(), window.right);
        QCOMPARE(window.hub->activeFiler(), window.right->currentFiler());
        QCOMPARE(window.right->filers().size(), size_t(2));   // the window browser came back too
    }

    void breadcrumbEditOpensRemotePath()
    {
        clearSettings();
        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        QVERIFY(reachPath(filer, m_remote, m_share));
        auto *bar = qobject_cast<QQuickWidget *>(filer->breadcrumb());
        QVERIFY(bar && bar->rootObject());
        QQuickItem *strip = panestest::findItem(bar, QStringLiteral("crumbStripArea"));
        QVERIFY(strip);
        QTRY_VERIFY(strip->width() > 100);
        const QPoint at = strip->mapToScene(QPointF(strip->width() - 10, strip->height() / 2)).toPoint();
        QTest::mouseMove(bar, at);
        QTest::mouseClick(bar, Qt::LeftButton, {}, at);
        QTRY_COMPARE(bar->rootObject()->property("state").toString(), QStringLiteral("pathedit"));
        const QString target = m_share + QStringLiteral("/sub");
        QTest::keySequence(bar, QKeySequence::SelectAll);
        QTest::keyClicks(bar, target);
        QTest::keyClick(bar, Qt::Key_Return);
        QVERIFY(spinUntil([&] { return filer->path() == target; }));
        QCOMPARE(filer->peer(), m_remote.data());
        QCOMPARE(filer->currentItemPath().isEmpty() || filer->currentItemPath().startsWith(target), true);

        // Ctrl+L (and Alt+D) from the files take the path bar; a path that is not there says so.
        QTRY_COMPARE(bar->rootObject()->property("state").toString(), QStringLiteral("files"));
        window.top.activateWindow();
        filer->currentView()->setFocus();
        QTest::keyClick(filer->currentView(), Qt::Key_L, Qt::ControlModifier);
        QTRY_COMPARE(bar->rootObject()->property("state").toString(), QStringLiteral("pathedit"));
        QVERIFY(bar->hasFocus());
        const QString missing = m_share + QStringLiteral("/not-there");
        QTest::keySequence(bar, QKeySequence::SelectAll);
        QTest::keyClicks(bar, missing);
        QTest::keyClick(bar, Qt::Key_Return);
        // The message names the folder as the strip does, not by the share's entry.
        auto *files = qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel());
        const QString shown = qtTrId("place-shares") + QLatin1Char('/')
                              + files->indexForPath(m_share).data(VfsModel::NameRole).toString();
        QTRY_COMPARE(filer->statusText(), QStringLiteral("“%1/not-there” was not found.").arg(shown));
        QCOMPARE(filer->path(), target);

        // The strip names the page shown, not the folder left.
        QQuickItem *crumbs = panestest::findItem(bar, QStringLiteral("crumbList"));
        QQuickItem *pageName = panestest::findItem(bar, QStringLiteral("pagePlaceholder"));
        QVERIFY(crumbs->isVisible() && !pageName->isVisible());
        filer->showMachineList();
        QTRY_VERIFY(!crumbs->isVisible());
        QVERIFY(pageName->isVisible());
        QCOMPARE(pageName->property("text").toString(), qtTrId("place-network"));

        // The bar offers and takes a shared folder by the names the strip shows, never by
        // the model's names; the pages without a folder offer an empty line.
        QObject *root = bar->rootObject();
        QQuickItem *input = panestest::findItem(bar, QStringLiteral("pathInput"));
        QAction *editPath = filer->findChild<QAction *>(QStringLiteral("editPathAction"));
        QVERIFY(input && editPath);
        auto typePath = [&](const QString &text, Qt::Key key) {
            editPath->trigger();
            QTRY_COMPARE(root->property("state").toString(), QStringLiteral("pathedit"));
            QTest::keySequence(bar, QKeySequence::SelectAll);
            if (!text.isEmpty())
                QTest::keyClicks(bar, text);
            QTest::keyClick(bar, key);
        };
        QVERIFY(reachPath(filer, m_remote, target));
        editPath->trigger();
        QTRY_COMPARE(input->property("text").toString(), shown + QStringLiteral("/sub"));
        QTest::keyClick(bar, Qt::Key_Escape);
        QTRY_COMPARE(root->property("state").toString(), QStringLiteral("files"));

        QLabel *notice = filer->findChild<QLabel *>(QStringLiteral("pageNotice"));
        QVERIFY(notice);
        for (const bool network : {false, true}) {
            if (network)
                filer->showMachineList();
            else
                filer->showPeerView();
            const QString page = network ? QStringLiteral("machinelist") : QStringLiteral("peerview");
            QTRY_COMPARE(root->property("state").toString(), page);
            editPath->trigger();
            QTRY_COMPARE(root->property("state").toString(), QStringLiteral("pathedit"));
            QCOMPARE(input->property("text").toString(), QString());
            // Escape goes back to the page shown, with its name in the strip.
            QTest::keyClick(bar, Qt::Key_Escape);
            QTRY_COMPARE(root->property("state").toString(), page);
            QVERIFY(!crumbs->isVisible() && pageName->isVisible());
            // A path that is not there: the page stays and says so.
            typePath(shown + QStringLiteral("/gone"), Qt::Key_Return);
            QCOMPARE(root->property("state").toString(), page);
            QTRY_VERIFY(notice->isVisible());
            QCOMPARE(notice->text(), QStringLiteral("“%1/gone” was not found.").arg(shown));
            QCOMPARE(filer->currentPage(), network ? Filer::MachineListPage : Filer::PeerViewPage);
            // A path that is there opens.
            typePath(shown, Qt::Key_Enter);
            QVERIFY(spinUntil([&] { return filer->path() == m_share && filer->currentPage() == Filer::FilesPage; }));
            QTRY_COMPARE(root->property("state").toString(), QStringLiteral("files"));
            QVERIFY(!notice->isVisible());
        }
    }

    // A message on a computer's page shows in the notice line while it lasts (the share
    // that went, here a German one, long enough for two lines); neither its coming nor its
    // going moves the page's links, so a click aimed at one lands on it.
    void pageNoticeMovesNothing()
    {
        clearSettings();
        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        QVERIFY(reachPath(filer, m_remote, m_share));
        filer->showPeerView();
        QQuickWidget *page = nullptr;
        QQuickItem *link = nullptr;
        QTRY_VERIFY([&] {
            for (QQuickWidget *w : filer->findChildren<QQuickWidget *>())
                if (QQuickItem *found = panestest::findItem(w, QStringLiteral("mySharesLink"))) {
                    page = w;
                    link = found;
                }
            return link && link->isVisible() && link->width() > 0;
        }());
        QLabel *notice = filer->findChild<QLabel *>(QStringLiteral("pageNotice"));
        QTimer *ends = filer->findChild<QTimer *>(QStringLiteral("statusTimer"));
        QVERIFY(notice && ends);
        // Where the link is in the browser.
        const auto at = [&] { return QPointF(page->mapTo(filer, link->mapToScene(QPointF(0, 0)).toPoint())); };
        QPointF before, now;
        QVERIFY(panestest::settledAt(page, at, &before));
        filer->showStatusMessage(QStringLiteral("Der Ordner „Gemeinsame Urlaubsbilder 2024“ wird nicht mehr mit "
                                                "diesem Computer geteilt; die Ansicht zeigt wieder seine Seite."),
                                 15000);
        QVERIFY(notice->isVisible());
        QVERIFY(panestest::settledAt(page, at, &now));
        QCOMPARE(now, before);
        ends->start(0);
        QTRY_VERIFY(!notice->isVisible());
        QVERIFY(panestest::settledAt(page, at, &now));
        QCOMPARE(now, before);
    }

    // What the other computer changes shows without leaving the folder: rights given there
    // lift the locks here, an item deleted there leaves the rows and the count.
    void remoteChangesFollowedInTheView()
    {
        clearSettings();
        const QString dir = m_shared + QStringLiteral("/follow");
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            QVERIFY(filertest::writeFile(dir + "/" + name, 5));
        QString status;
        const QStringList share = m_host->cmd(QStringLiteral("share %1 %2 5").arg(m_ours, dir), &status);
        QCOMPARE(status, QStringLiteral("ok"));
        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        QVERIFY(reachPath(filer, m_remote, QStringLiteral("%shares/") + share.first()));
        QAbstractItemView *view = filer->currentView();
        QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 3);
        QTRY_COMPARE(filer->statusText(), QStringLiteral("3 items"));
        auto writable = [view] {
            return view->model()->index(0, 0, view->rootIndex()).data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser;
        };
        QVERIFY(!writable());

        QVERIFY(m_host->ok(QStringLiteral("reshare %1 %2 7").arg(m_ours, share.first())));
        QTRY_VERIFY_WITH_TIMEOUT(writable(), 10000);

        // Listed again as a notice of the change would have it.
        QVERIFY(QFile::remove(dir + QStringLiteral("/c.txt")));
        auto *proxy = qobject_cast<QSortFilterProxyModel *>(view->model());
        QVERIFY(proxy);
        proxy->sourceModel()->fetchMore(proxy->mapToSource(view->rootIndex()));
        QTRY_COMPARE_WITH_TIMEOUT(view->model()->rowCount(view->rootIndex()), 2, 10000);
        QTRY_COMPARE(filer->statusText(), QStringLiteral("2 items"));
    }

    // Two computers with the same name: the later one is listed with a number.
    void sameNamesToldApart()
    {
        clearSettings();
        // Both programs here run on one computer, so this one's name may be taken twice already.
        int same = 0;
        for (IPeer *peer : m_net->peerModel()->peers())
            same += peer->name() == m_remote->name();
        std::unique_ptr<IPeer> twin(new IPeer({newUuidString(), QStringLiteral("nusk"), 0}));
        twin->setName(m_remote->name());
        m_net->peerModel()->addPeer(twin.get());
        const QString numbered = m_remote->name() + QStringLiteral(" (%1)").arg(same + 1);
        QTRY_COMPARE(twin->displayName(), numbered);
        QVERIFY(m_remote->displayName() != twin->displayName());

        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        filer->showMachineList();
        QQuickWidget *list = nullptr;
        for (QQuickWidget *w : filer->findChildren<QQuickWidget *>())
            list = panestest::findItem(w, QStringLiteral("machineListView")) ? w : list;
        QVERIFY(list);
        QTRY_VERIFY(namesShown(list->rootObject()).contains(numbered));
        QVERIFY(namesShown(list->rootObject()).contains(m_remote->displayName()));

        // The keyboard: the list takes it, the arrows walk it, Enter opens a computer's page,
        // where the first link takes it.
        window.top.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window.top));
        filer->setFocus();
        QTRY_VERIFY(list->hasFocus());
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_COMPARE(filer->currentPage(), Filer::PeerViewPage);

        // A name of its own again: no number.
        twin->setName(QStringLiteral("other"));
        QTRY_COMPARE(twin->displayName(), QStringLiteral("other"));
    }

    void ownShareOfRemotePageOpensLocally()
    {
        clearSettings();
        PeerAclDto acl;
        acl.uuid = QUuid::createUuid().toString();
        acl.name = QStringLiteral("local");
        acl.selector = m_local;
        acl.flags = 0x5;
        acl.timestamp = QDateTime::currentDateTimeUtc();
        QVERIFY(m_net->database()->putPeerAcl(m_remote->uuid(), acl));
        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        filer->setPeer(m_remote);
        filer->showPeerView();
        QCOMPARE(filer->currentPage(), Filer::PeerViewPage);
        auto *page = filer->findChildren<QQuickWidget *>().value(0);
        for (QQuickWidget *w : filer->findChildren<QQuickWidget *>())
            if (w->source().toString().endsWith(QLatin1String("PeerView.qml")))
                page = w;
        QVERIFY(page && page->rootObject());
        QMetaObject::invokeMethod(page->rootObject(), "showMyShares");
        QQuickItem *list = panestest::findItem(page, QStringLiteral("aclList"));
        QTRY_COMPARE(list->property("count").toInt(), 1);
        QTRY_VERIFY(list->isVisible() && list->width() > 100);
        const QPoint at = list->mapToScene(QPointF(60, 20)).toPoint();
        QTest::mouseMove(page, at);
        QTest::mouseClick(page, Qt::LeftButton, {}, at);
        // The selector is a path of this computer: it opens here, not on the remote computer.
        QVERIFY(spinUntil([&] { return filer->peer() == m_net->localPeer() && filer->path() == m_local; }));
        QVERIFY(m_net->database()->deletePeerAcl(m_remote->uuid(), acl));
    }

    void newTabOpensOnNamedComputer()
    {
        clearSettings();
        PaneWindow window(m_engine.get(), m_net->database());
        Filer *filer = window.left->currentFiler();
        QVERIFY(reachPath(filer, m_net->localPeer(), m_local));
        Q_EMIT filer->newTabRequest(m_remote->uuid(), m_share);
        QCOMPARE(window.left->tabWidget()->count(), 3);
        Filer *tab = window.left->currentFiler();
        QVERIFY(tab != filer);
        QCOMPARE(tab->peer(), m_remote.data());
        QVERIFY(spinUntil([&] { return tab->path() == m_share; }));
    }

    void windowsOpenUsableAndOnScreen()
    {
        const QList<QRect> screens{QRect(0, 0, 1920, 1080)};
        // A small pane would give a negative size.
        QRect r = FilerPane::windowGeometry(QRect(100, 100, 30, 200), screens);
        QVERIFY(r.width() >= FilerPane::kMinimumWindowWidth && r.height() >= FilerPane::kMinimumWindowHeight);
        // A pane at the right edge would open its window beside the screen.
        r = FilerPane::windowGeometry(QRect(1400, 900, 520, 700), screens);
        QVERIFY(screens.first().contains(r));
        // Two screens: it lands on one of them whole.
        const QList<QRect> two{QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)};
        r = FilerPane::windowGeometry(QRect(200, 50, 900, 900), two);
        QVERIFY(two[0].contains(r) || two[1].contains(r));
    }

    void sharedFolderIsReachableUntilRevoked()
    {
        QDir().mkpath(m_local + QStringLiteral("/given"));
        QVERIFY(filertest::writeFile(m_local + QStringLiteral("/given/note.txt"), 42));
        const ShareWithDialog::Item item{m_local + QStringLiteral("/given"), QStringLiteral("given"), VfsModel::DirectoryType};
        QObject browser;
        auto *dialog = new ShareWithDialog(m_engine.get(), m_net->database(), m_remote,
                                           ShareWithDialog::entryFor(m_net->database(), m_remote->uuid(), item, false),
                                           &browser);
        dialog->show();
        auto *window = qobject_cast<QQuickWindow *>(dialog->window());
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto *share = qobject_cast<QQuickItem *>(panestest::findObject(window->contentItem(), QStringLiteral("confirmButton")));
        QTest::mouseClick(window, Qt::LeftButton, {}, share->mapToScene(QPointF(share->width() / 2, share->height() / 2)).toPoint());
        QTRY_COMPARE(m_net->database()->loadPeerAcls(m_remote->uuid()).size(), size_t(1));
        const PeerAclDto acl = m_net->database()->loadPeerAcls(m_remote->uuid()).front();

        // The other computer lists the folder and its file.
        const QString path = QStringLiteral("%shares/") + acl.uuid;
        QStringList lines;
        QVERIFY(spinUntil([&] {
            lines = m_host->cmd(QStringLiteral("ls %1 %2").arg(m_ours, path));
            return lines.value(0) == QLatin1String("status 0");
        }));
        QVERIFY(lines.join(QLatin1Char('\n')).contains(QLatin1String("note.txt")));

        // Taken back through the dialog: the very next listing is refused.
        auto *edit = ShareWithDialog::openForEntry(m_engine.get(), m_net->database(), m_remote, acl.uuid, &browser);
        QVERIFY(edit);
        window = qobject_cast<QQuickWindow *>(edit->window());
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto *remove = qobject_cast<QQuickItem *>(panestest::findObject(window->contentItem(), QStringLiteral("removeShareButton")));
        QTest::mouseClick(window, Qt::LeftButton, {}, remove->mapToScene(QPointF(remove->width() / 2, remove->height() / 2)).toPoint());
        QTRY_VERIFY(m_net->database()->loadPeerAcls(m_remote->uuid()).empty());
        lines = m_host->cmd(QStringLiteral("ls %1 %2").arg(m_ours, path));
        QVERIFY2(lines.value(0) != QLatin1String("status 0"), qPrintable(lines.join(QLatin1Char('|'))));
    }

    void remoteFilesOpenFromPrivateCopies()
    {
        QTemporaryDir base;
        QString root;
        auto *model = qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel());
        QVERIFY(m_net->reach(model, m_share));
        const std::vector<QString> paths{m_share + QStringLiteral("/one.txt"), m_share + QStringLiteral("/two.txt")};
        {
            DeferredLaunches launches(base.path());
            VfsCopyDto request;
            // One path the model does not know: nothing is copied, nothing queued.
            QVERIFY(!launches.add(7, m_remote->uuid(), {paths[0], m_share + QStringLiteral("/gone.txt")}, model, &request));
            QVERIFY(launches.pending().empty());

            QVERIFY(launches.add(7, m_remote->uuid(), paths, model, &request));
            VfsCopyDto again;
            QVERIFY(launches.add(8, m_remote->uuid(), {paths[0]}, model, &again));
            root = launches.root();
            QCOMPARE(modeOf(root), mode_t(0700));
            QVERIFY(request.dstPath != again.dstPath);   // never the copies of another launch
            QCOMPARE(modeOf(request.dstPath), mode_t(0700));

            VfsManager manager;
            QStringList finished;
            connect(&manager, &VfsManager::copyFinished, this, [&](const VfsCopyDto &done) { finished << done.uuid; });
            QVERIFY(manager.copy(request));
            QVERIFY(spinUntil([&] { return finished.contains(request.uuid); }, 60000));

            DeferredLaunch launch;
            QVERIFY(launches.take(request.uuid, &launch));
            QCOMPARE(launch.appId, 7);
            QCOMPARE(int(launch.localPaths.size()), 2);
            for (size_t i = 0; i < paths.size(); ++i) {
                QFile copy(launch.localPaths[i]);
                QFile original(m_shared + QLatin1Char('/') + QFileInfo(paths[i]).fileName());
                QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
                QCOMPARE(copy.readAll(), original.readAll());
            }
            // The other launch still waits for its own copy.
            QCOMPARE(int(launches.pending().size()), 1);
            QCOMPARE(launches.pending().front().appId, 8);
        }
        QVERIFY(!QFileInfo::exists(root));   // cleaned when the record goes
    }
};

// The panes keep their settings in the configuration directory: one of the test's own.
int main(int argc, char **argv)
{
    QTemporaryDir config;
    const QByteArray option = "--config-dir=" + QFile::encodeName(config.path());
    std::vector<char *> args(argv, argv + argc);
    args.push_back(const_cast<char *>(option.constData()));
    int count = int(args.size());
    QApplication app(count, args.data());
    TstFilerPanes test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filerpanes.moc"
