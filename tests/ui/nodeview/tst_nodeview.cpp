// The node view in the real window: views and nodes made by drops, renamed, deleted and
// brought back by a restart; the input faults; computer states; swipes.

#include "testutil_peerhost.h"
#include "testutil_window.h"

#include "app/base/configsettings.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "peers/ipeer.h"
#include "peers/peertimings.h"
#include "ui/nodeview/nodeview.h"
#include "vfs/models/vfsmodel.h"

#include <QApplication>
#include <QQmlContext>
#include <QMenu>
#include <QMessageBox>
#include <QAbstractButton>
#include <QMimeData>
#include <QQuickItem>
#include <QSplitter>
#include <QStackedWidget>
#include <QWindow>
#include <QtTest>

namespace {

NodeView *nodeViewOf(Program &program)
{
    return program.window()->nodeView();
}

QMimeData *dragData(const QString &peerUuid, const QString &breadcrumb, const QString &localPath)
{
    auto *data = new QMimeData;
    data->setData(QStringLiteral("application/nusk-peer-uuid"), peerUuid.toUtf8() + '\0');
    if (!breadcrumb.isEmpty())
        data->setData(QStringLiteral("application/nusk-breadcrumb"), breadcrumb.toUtf8());
    if (!localPath.isEmpty())
        data->setUrls({QUrl::fromLocalFile(localPath)});
    return data;
}

// Drags the data onto the view and drops it at `pos`, once the computer's file model knows
// the dragged path (the drag asks it to look the path up).
void drop(NodeView *view, QMimeData *data, const QString &knownPath, QPoint pos,
          const QString &peerUuid = nullUuidString())
{
    QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &enter);
    if (!knownPath.isEmpty()) {
        IPeer *peer = PeerModel::instance()->getPeerForUuid(peerUuid);
        auto *files = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
        QTRY_VERIFY_WITH_TIMEOUT(files->indexForPath(knownPath).isValid(), 10000);
    }
    QDropEvent dropEvent(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &dropEvent);
    delete data;
}

const VNode *nodeOfType(const VSector &view, const char *type)
{
    for (const VNode &node : view.nodes)
        if (node.type == QLatin1String(type))
            return &node;
    return nullptr;
}

// Picks the entry `index` of the popup menu that opens next (negative: from the end).
void pickMenuEntry(int index)
{
    QTimer::singleShot(150, [index] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QList<QAction *> entries;
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                entries << a;
        QAction *entry = entries.at(index < 0 ? entries.size() + index : index);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    });
}

// Answers the message box that opens next with the button whose text is `button`.
void answerMessageBox(const QString &button)
{
    QTimer::singleShot(400, [button] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        for (QAbstractButton *b : box->buttons())
            if (b->text() == button)
                b->click();
    });
}

// A window wide enough that the node view shows the nodes a test places.
// Counts the QML engine's binding-loop warnings while it lives.
struct BindingLoops
{
    static int &count() { static int n = 0; return n; }
    static QtMessageHandler &previous() { static QtMessageHandler h = nullptr; return h; }
    BindingLoops()
    {
        count() = 0;
        previous() = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (text.contains(QLatin1String("Binding loop")))
                ++count();
            previous()(type, context, text);
        });
    }
    ~BindingLoops() { qInstallMessageHandler(previous()); }
};

// Pans the shown page so that `item` stands near the view's top left corner.
void bringIntoView(NodeView *view, QQuickItem *item)
{
    QQuickItem *page = view->currentSector()->page;
    page->setProperty("contentX", item->x() - 10);
    page->setProperty("contentY", item->y() - 120);
}

QQuickItem *linkOf(NodeView *view, const QString &uuid)
{
    for (const VNode &node : view->linkLayer().nodes)
        if (node.type == QLatin1String("sector") && node.sectorUuid == uuid)
            return node.item;
    return nullptr;
}

} // namespace

class TestNodeView : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QVERIFY(QDir(m_folder.path()).mkpath(QStringLiteral("Projects/Sub")));
        QFile notes(m_folder.path() + QStringLiteral("/Projects/notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly));
    }

    void layoutSurvivesRestart()
    {
        const QString projects = m_folder.path() + QStringLiteral("/Projects");
        QString secondUuid;
        {
            Program program;
            QVERIFY(program.start());
            NodeView *view = nodeViewOf(program);
            QVERIFY(view);
            QTRY_VERIFY(view->isInitialized());
            QCOMPARE(view->views().size(), size_t(1));
            QCOMPARE(view->views().front().name, QStringLiteral("Main view"));
            IPeer *local = program.peerModel()->getPeerForUuid(nullUuidString());
            QTRY_COMPARE_WITH_TIMEOUT(local->linkState(), int(IPeer::LinkUp), 15000);

            VSector *second = view->createSector(QStringLiteral("Second"), 200, 32);
            QVERIFY(second);
            secondUuid = second->uuid;
            QVERIFY(view->selectSector(secondUuid));
            QCOMPARE(view->currentSector()->uuid, secondUuid);

            drop(view, dragData(nullUuidString(), QString(), QString()), QString(), QPoint(100, 120));
            // A drive dragged from the breadcrumb keeps the computer it came from.
            drop(view, dragData(nullUuidString(), QStringLiteral("/"), QString()), QStringLiteral("/"), QPoint(300, 120));
            // A folder path with a trailing separator is the same folder.
            drop(view, dragData(nullUuidString(), QString(), projects + QLatin1Char('/')), projects, QPoint(300, 300));
            drop(view, dragData(nullUuidString(), QString(), projects), projects, QPoint(500, 300));
            // The same computer once more adds nothing.
            drop(view, dragData(nullUuidString(), QString(), QString()), QString(), QPoint(600, 120));

            // A file makes no node; a computer nobody knows is refused at once.
            QFile file(projects + QStringLiteral("/notes.txt"));
            drop(view, dragData(nullUuidString(), QString(), file.fileName()), file.fileName(), QPoint(400, 400));
            QMimeData *stranger = dragData(QStringLiteral("{11111111-2222-3333-4444-555555555555}"), QString(), QString());
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, stranger, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view, &enter);
            QVERIFY(!enter.isAccepted());
            delete stranger;

            const VSector &shown = *view->currentSector();
            QCOMPARE(shown.nodes.size(), size_t(3));
            const VNode *drive = nodeOfType(shown, "drive");
            const VNode *folder = nodeOfType(shown, "directory");
            const VNode *pc = nodeOfType(shown, "peer");
            QVERIFY(drive && folder && pc);
            QCOMPARE(drive->peerUuid, nullUuidString());
            QCOMPARE(folder->path, projects);
            QCOMPARE(folder->item->property("parentDir").value<QQuickItem *>(), drive->item);
            QCOMPARE(drive->item->property("parentDir").value<QQuickItem *>(), pc->item);
            QCOMPARE(pc->item->property("peerUuid").toString(), nullUuidString());
            QTRY_VERIFY(pc->item->property("online").toBool());

            // The computer's node follows its link state.
            local->setLinkState(IPeer::LinkDown);
            QTRY_VERIFY(!pc->item->property("online").toBool());
            local->setLinkState(IPeer::LinkUp);
            QTRY_VERIFY(pc->item->property("online").toBool());

            folder->item->setProperty("name", QStringLiteral("Work"));
            // A style is kept by its key, whatever the theme calls it.
            QObject *theme = view->rootContext()->contextProperty("Theme").value<QObject *>();
            QObject *yellow = theme->property("node").value<QObject *>()->property("style3").value<QObject *>();
            folder->item->setProperty("style", QVariant::fromValue(yellow));
            folder->item->setPosition(QPointF(1400, 1500));
            // Saved while the program runs, not only when it ends.
            QSignalSpy saved(view, &NodeView::stateSaved);
            QVERIFY(saved.wait(3000));
            const std::vector<VnodeDto> rows = program.database()->loadVnodes(secondUuid);
            QVERIFY(std::any_of(rows.begin(), rows.end(), [](const VnodeDto &r) {
                return r.name == QLatin1String("Work") && r.x == 1400 && r.y == 1500;
            }));

            // Backspace deletes the selected computer node.
            pc->item->setProperty("selected", true);
            QTest::keyClick(view, Qt::Key_Backspace);
            QCOMPARE(view->currentSector()->nodes.size(), size_t(2));
            program.close();
        }
        {
            Program program;
            QVERIFY(program.start());
            NodeView *view = nodeViewOf(program);
            QTRY_VERIFY(view->isInitialized());
            QCOMPARE(view->views().size(), size_t(2));
            // The view shown last comes back.
            QCOMPARE(view->currentSector()->uuid, secondUuid);
            const VSector &shown = *view->currentSector();
            QCOMPARE(shown.name, QStringLiteral("Second"));
            QCOMPARE(shown.nodes.size(), size_t(2));
            const VNode *folder = nodeOfType(shown, "directory");
            QVERIFY(folder);
            QCOMPARE(folder->item->property("name").toString(), QStringLiteral("Work"));
            QCOMPARE(folder->item->position(), QPointF(1400, 1500));
            QObject *style = folder->item->property("style").value<QObject *>();
            QVERIFY(style);
            QCOMPARE(style->property("name").toString(), QStringLiteral("yellow"));
            QVERIFY(nodeOfType(shown, "drive"));
            QVERIFY(!nodeOfType(shown, "peer"));
            // Each view has one link in the link layer and none inside its page.
            int links = 0;
            for (const VNode &node : view->linkLayer().nodes)
                links += node.type == QLatin1String("sector");
            QCOMPARE(links, 2);
            for (const VSector &v : view->views())
                QVERIFY(!nodeOfType(v, "sector"));
            program.close();
        }
    }

    void inputFaults()
    {
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        VSector *sector = view->currentSector();
        QVERIFY(sector);
        QObject *styles = nullptr;
        auto add = [&](const QString &name, const QString &peer, const char *type, double x) {
            return view->createNode(*view->currentSector(),
                                    {newUuidString(), peer, view->currentSector()->uuid, name, "style0",
                                     "/tmp/" + name, type, QString(), 0, x, 1200},
                                    styles);
        };
        QQuickItem *a = add("a", nullUuidString(), "directory", 1100);
        QQuickItem *b = add("b", nullUuidString(), "directory", 1300);
        // A computer nobody knows is shown as not connected.
        QQuickItem *stranger = add("stranger", "{11111111-2222-3333-4444-555555555555}", "peer", 1500);
        QCOMPARE(stranger->property("peerUuid").toString(), QStringLiteral("{11111111-2222-3333-4444-555555555555}"));
        QVERIFY(!stranger->property("online").toBool());

        // Backspace while a view's name is edited edits the name.
        a->setProperty("selected", true);
        QQuickItem *link = view->linkLayer().nodes.front().item;
        QMetaObject::invokeMethod(link, "rename");
        QTRY_VERIFY(view->quickWindow()->activeFocusItem()
                    && view->quickWindow()->activeFocusItem()->inherits("QQuickTextInput"));
        const size_t before = view->currentSector()->nodes.size();
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(view->currentSector()->nodes.size(), before);
        QTest::keyClick(view, Qt::Key_Escape);

        // The node menu's Delete deletes the selected nodes of the view, whichever node it
        // was opened on; with nothing selected it is off.
        QPointer<QQuickItem> guardA = a, guardB = b;
        const size_t nodesBefore = view->currentSector()->nodes.size();
        pickMenuEntry(-1);
        QMetaObject::invokeMethod(b, "contextMenuRequest");
        QTRY_VERIFY(!guardA);
        QVERIFY(guardB);
        QCOMPARE(view->currentSector()->nodes.size(), nodesBefore - 1);
        QVERIFY(!b->property("selected").toBool());
        bool deleteOffered = true;
        QTimer::singleShot(150, [&deleteOffered] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu);
            deleteOffered = menu->actions().last()->isEnabled();
            menu->close();
        });
        QMetaObject::invokeMethod(b, "contextMenuRequest");   // returns once the menu ran
        QVERIFY(!deleteOffered);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(guardB);
        QCOMPARE(view->currentSector()->nodes.size(), nodesBefore - 1);

        // Deleting a view takes its nodes with it.
        const size_t viewCount = view->views().size();
        VSector *extra = view->createSector("Extra", 300, 32);
        const QString extraUuid = extra->uuid;
        QVERIFY(view->selectSector(extraUuid));
        QPointer<QQuickItem> orphan = add("orphan", nullUuidString(), "directory", 1100);
        view->saveState();
        QVERIFY(view->deleteSector(extraUuid));
        QTRY_VERIFY(!orphan);
        view->saveState();
        QVERIFY(program.database()->loadVnodes(extraUuid).empty());
        QCOMPARE(view->views().size(), viewCount);
        program.close();
    }

    // A second real computer: its node, a folder it shares dragged from the breadcrumb, and
    // its node's state when it goes away.
    void secondComputer()
    {
        using namespace peerhosttest;
        PeerTimings timings;
        timings.retryInitialMs = 150;
        timings.retryMaxMs = 600;
        setPeerTimings(timings);
        QTemporaryDir hostDir;
        Host host(hostDir.path(), freePort());
        QVERIFY(host.start());
        const QString shared = hostDir.path() + QStringLiteral("/shared");
        QVERIFY(QDir().mkpath(shared + QStringLiteral("/Photos")));

        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        program.window()->setNetworkEnabled(true);
        const QStringList invitation = host.invite(QStringLiteral("c0ffee42"));
        QVERIFY(!invitation.isEmpty());
        QSignalSpy accepted(program.window(), &MainWindow::invitationAccepted);
        program.window()->addRemoteByInvitationUrl(invitation.first(), QStringLiteral("c0ffee42"));
        QVERIFY(accepted.wait(10000));
        QVERIFY(accepted.first().first().toBool());
        QString hostUuid;
        QTRY_VERIFY_WITH_TIMEOUT(program.database()->loadPeers(QStringLiteral("nusk")).size() == 2, 10000);
        for (const PeerDto &peer : program.database()->loadPeers(QStringLiteral("nusk")))
            if (peer.uuid != nullUuidString())
                hostUuid = peer.uuid;
        QTRY_VERIFY_WITH_TIMEOUT(program.peerModel()->getPeerForUuid(hostUuid)
                                     && program.peerModel()->getPeerForUuid(hostUuid)->linkState() == IPeer::LinkUp,
                                 20000);
        const QList<PeerLine> remote = host.remotePeers();
        QVERIFY(!remote.isEmpty());
        QString status;
        const QStringList acl = host.cmd(QStringLiteral("share %1 %2 7").arg(remote.first().uuid, shared), &status);
        QCOMPARE(status, QStringLiteral("ok"));

        drop(view, dragData(hostUuid, QString(), QString()), QString(), QPoint(100, 400));
        // Dragged from the breadcrumb: the path is the other computer's, and so is the node.
        const QString photos = QStringLiteral("%shares/") + acl.first() + QStringLiteral("/Photos");
        drop(view, dragData(hostUuid, photos + QLatin1Char('/'), QString()), photos, QPoint(300, 400), hostUuid);
        const VSector &shown = *view->currentSector();
        const VNode *pc = nullptr;
        const VNode *folder = nullptr;
        for (const VNode &node : shown.nodes) {
            if (node.peerUuid == hostUuid && node.type == QLatin1String("peer"))
                pc = &node;
            if (node.peerUuid == hostUuid && node.type == QLatin1String("directory"))
                folder = &node;
        }
        QVERIFY(pc && folder);
        QCOMPARE(folder->path, photos);
        QCOMPARE(folder->item->property("parentDir").value<QQuickItem *>(), pc->item);
        QTRY_VERIFY(pc->item->property("online").toBool());

        host.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!pc->item->property("online").toBool(), 20000);
        QVERIFY(!folder->item->property("online").toBool());
        program.close();
    }

    // New views from the canvas menu, deleting a view from its link's menu, pages growing
    // around their nodes.
    void viewsAndPages()
    {
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        while (view->views().size() < 3)
            view->createSector(QStringLiteral("More"), 400, 32);
        const size_t count = view->views().size();

        pickMenuEntry(0);
        QMetaObject::invokeMethod(view->views().front().page, "contextMenuRequest");
        QTRY_COMPARE(view->views().size(), count + 1);
        QCOMPARE(view->views().back().name, QStringLiteral("View %1").arg(count));
        QQuickItem *newLink = linkOf(view, view->views().back().uuid);
        QVERIFY(newLink && newLink->property("editing").toBool());
        QTest::keyClick(view, Qt::Key_Escape);

        // Cancelling the confirmation keeps the view; confirming deletes it and the shown
        // page stays the one named in "activeSectorUuid".
        const QString first = view->views().front().uuid;
        pickMenuEntry(-1);
        answerMessageBox(QStringLiteral("Cancel"));
        QMetaObject::invokeMethod(linkOf(view, first), "contextMenuRequest");
        QCOMPARE(view->views().size(), count + 1);
        pickMenuEntry(-1);
        answerMessageBox(QStringLiteral("Delete"));
        QMetaObject::invokeMethod(linkOf(view, first), "contextMenuRequest");
        QCOMPARE(view->views().size(), count);
        QVERIFY(!linkOf(view, first));
        QVERIFY(program.database()->loadVnodes(first).empty());
        const QString active = view->rootContext()->contextProperty("activeSectorUuid").toString();
        QCOMPARE(view->currentSector()->uuid, active);
        QCOMPARE(view->currentSector()->uuid, view->views().front().uuid);

        // A node near the edge grows the page; the nodes keep their place on screen.
        VSector &shown = *view->currentSector();
        QQuickItem *node = view->createNode(shown, {newUuidString(), nullUuidString(), shown.uuid, "n", "style0",
                                                    "/n", "directory", QString(), 0, 1200, 1200},
                                            nullptr);
        const double width = shown.page->property("contentWidth").toDouble();
        node->setX(width - 100);
        const double onScreen = node->x() - shown.page->property("contentX").toDouble();
        view->rescaleViewTimerFired();
        view->rescaleViewTimerFired();
        QVERIFY(shown.page->property("contentWidth").toDouble() > width);
        QCOMPARE(node->x() - shown.page->property("contentX").toDouble(), onScreen);
        // A page whose nodes fit is left as it is.
        const double grown = shown.page->property("contentWidth").toDouble();
        node->setX(node->x() - 10);
        view->rescaleViewTimerFired();
        view->rescaleViewTimerFired();
        QCOMPARE(shown.page->property("contentWidth").toDouble(), grown);
        program.close();
    }

    // A folder that is gone is called unreachable from its second visit on, not its first.
    void visitorMarksMissingFolders()
    {
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        IPeer *local = program.peerModel()->getPeerForUuid(nullUuidString());
        QTRY_COMPARE_WITH_TIMEOUT(local->linkState(), int(IPeer::LinkUp), 15000);
        VSector *visit = view->createSector(QStringLiteral("Visit"), 500, 32);
        QQuickItem *gone = view->createNode(*visit, {newUuidString(), nullUuidString(), visit->uuid, "gone", "style0",
                                                      m_folder.path() + "/gone", "directory", QString(), 0, 1100, 1100},
                                            nullptr);
        auto visits = [&] {
            for (const VSector &v : view->views())
                for (const VNode &n : v.nodes)
                    if (n.item == gone)
                        return n.visitCount;
            return -1;
        };
        for (int i = 0; i < 500 && visits() < 1; ++i)
            view->visitorTimerFired();
        QCOMPARE(visits(), 1);
        QVERIFY(gone->property("reachable").toBool());
        for (int i = 0; i < 500 && visits() < 2; ++i)
            view->visitorTimerFired();
        QCOMPARE(visits(), 2);
        QVERIFY(!gone->property("reachable").toBool());
        program.close();
    }

    void swipesOpenTheSelectedNode()
    {
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        view->resize(800, 600);
        QQuickItem *page = view->currentSector()->page;
        const double cx = page->property("contentX").toDouble(), cy = page->property("contentY").toDouble();
        QQuickItem *folder = view->createNode(*view->currentSector(),
                                              {newUuidString(), nullUuidString(), view->currentSector()->uuid, "f",
                                               "style0", m_folder.path(), "directory", QString(), 0, cx + 100, cy + 100},
                                              nullptr);
        folder->setProperty("selected", true);

        // A node far outside the shown part is not drawn until the page is panned to it.
        QQuickItem *far = view->createNode(*view->currentSector(),
                                           {newUuidString(), nullUuidString(), view->currentSector()->uuid, "far",
                                            "style0", m_folder.path() + "/far", "directory", QString(), 0, cx + 3000,
                                            cy + 3000},
                                           nullptr);
        view->updateNodeRelations(*view->currentSector());
        QVERIFY(!far->property("inView").toBool());
        QVERIFY(folder->property("inView").toBool());
        page->setProperty("contentX", cx + 2800);
        page->setProperty("contentY", cy + 2800);
        QVERIFY(far->property("inView").toBool());
        page->setProperty("contentX", cx);
        page->setProperty("contentY", cy);

        QSignalSpy opened(view, &NodeView::nodeDoubleClicked);
        QSignalSpy alternate(view, &NodeView::activateAlternateFilerpane);
        auto swipe = [&](QPoint from, QPoint to) {
            QTest::mousePress(view, Qt::RightButton, {}, from);
            QTest::mouseRelease(view, Qt::RightButton, {}, to);
        };
        swipe({400, 300}, {400, 350});   // 50 down: not yet a swipe
        swipe({400, 300}, {340, 340});   // too far sideways and down
        QCOMPARE(opened.count() + alternate.count(), 0);
        swipe({400, 300}, {340, 310});   // left: opens in the active (left) pane
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.first().at(1).toString(), m_folder.path());
        auto *left = qobject_cast<FilerPane *>(program.window()->panes().front());
        QVERIFY(left && left->currentFiler());
        QTRY_COMPARE_WITH_TIMEOUT(left->currentFiler()->path(), m_folder.path(), 10000);
        // The node menu's "Open in new tab" opens a tab in that pane on the folder.
        Filer *before = left->currentFiler();
        pickMenuEntry(3);
        QMetaObject::invokeMethod(folder, "contextMenuRequest");
        QTRY_VERIFY(left->currentFiler() != before);
        QTRY_COMPARE_WITH_TIMEOUT(left->currentFiler()->path(), m_folder.path(), 10000);
        QCOMPARE(alternate.count(), 0);
        swipe({400, 300}, {400, 351});   // down: the second pane, then the folder in it
        QCOMPARE(alternate.count(), 1);
        QCOMPARE(opened.count(), 3);
        QCOMPARE(program.window()->rightStack()->currentWidget(), program.window()->panes().back());
        program.close();
    }

    // As a person uses the view: a folder and a drive dropped onto the views' links land
    // below them, the drive with its name; a click selects a node and Backspace or Delete
    // deletes it; F2 on a selected node renames no view; Escape closes the customizer.
    void keysAndDropsAsAPersonUsesThem()
    {
        BindingLoops loops;
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        program.window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(program.window()));
        IPeer *local = program.peerModel()->getPeerForUuid(nullUuidString());
        QTRY_COMPARE_WITH_TIMEOUT(local->linkState(), int(IPeer::LinkUp), 15000);
        VSector *made = view->createSector(QStringLiteral("Keys"), 32, 80);
        QVERIFY(made && view->selectSector(made->uuid));
        QQuickItem *link = linkOf(view, view->currentSector()->uuid);
        QVERIFY(link);
        auto sceneRect = [](QQuickItem *item) { return item->mapRectToScene(QRectF(0, 0, item->width(), item->height())); };
        const QPoint onLink = sceneRect(link).center().toPoint();

        const QString projects = m_folder.path() + QStringLiteral("/Projects");
        drop(view, dragData(nullUuidString(), QString(), projects), projects, onLink);
        drop(view, dragData(nullUuidString(), QStringLiteral("/"), QString()), QStringLiteral("/"), onLink + QPoint(0, 4));
        const VNode *folder = nodeOfType(*view->currentSector(), "directory");
        const VNode *drive = nodeOfType(*view->currentSector(), "drive");
        QVERIFY(folder && drive);
        for (const VNode &l : view->linkLayer().nodes) {
            QVERIFY(!sceneRect(l.item).intersects(sceneRect(folder->item)));
            QVERIFY(!sceneRect(l.item).intersects(sceneRect(drive->item)));
        }
        QVERIFY(!drive->item->property("name").toString().isEmpty());
        QCOMPARE(BindingLoops::count(), 0);
        QPointer<QQuickItem> folderItem = folder->item, driveItem = drive->item;
        driveItem->setPosition(folderItem->position() + QPointF(0, 120));

        auto click = [&](QQuickItem *item) {
            bringIntoView(view, item);
            // Apart in time from the click before: no double click.
            QTest::mouseClick(view, Qt::LeftButton, {}, sceneRect(item).center().toPoint() + QPoint(10, 0), 1000);
            QTRY_VERIFY(item->property("selected").toBool());
            QTRY_VERIFY(view->hasFocus());
        };
        // F2 with a node selected: no view's name is edited, though a link was chosen before.
        QTest::mouseClick(view, Qt::LeftButton, {}, sceneRect(link).center().toPoint(), 1000);
        QTRY_VERIFY(link->hasActiveFocus());
        click(driveItem);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2);
        for (const VNode &l : view->linkLayer().nodes)
            QVERIFY(!l.item->property("editing").toBool());
        QCOMPARE(view->quickWindow()->activeFocusItem() && view->quickWindow()->activeFocusItem()->inherits("QQuickTextInput"), false);

        click(folderItem);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        QTRY_VERIFY(!folderItem);
        click(driveItem);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
        QTRY_VERIFY(!driveItem);

        // The customizer closes on Escape.
        auto *customizer = qobject_cast<QWindow *>(view->customizer());
        QVERIFY(customizer);
        QMetaObject::invokeMethod(customizer, "show");
        QVERIFY(QTest::qWaitForWindowExposed(customizer));
        customizer->requestActivate();
        QTRY_VERIFY(customizer->isActive());
        QTest::keyClick(customizer, Qt::Key_Escape);
        QTRY_VERIFY(!customizer->isVisible());
        program.close();
    }

    // Shift and a drag move a node with everything that hangs from it; its marker shows
    // meanwhile. A plain drag moves the node alone. The lines follow either way.
    void dragWithChildren()
    {
        Program program;
        QVERIFY(program.start());
        NodeView *view = nodeViewOf(program);
        QTRY_VERIFY(view->isInitialized());
        VSector *made = view->createSector(QStringLiteral("Tree"), 400, 32);
        QVERIFY(made && view->selectSector(made->uuid));
        VSector &sector = *view->currentSector();
        const double cx = sector.page->property("contentX").toDouble(), cy = sector.page->property("contentY").toDouble();
        auto add = [&](const char *type, const QString &path, double x, double y) {
            return view->createNode(sector, {newUuidString(), nullUuidString(), sector.uuid, QFileInfo(path).fileName(),
                                             "style0", path, type, QString(), 0, cx + x, cy + y}, nullptr);
        };
        QQuickItem *pc = add("peer", "%", 10, 200);
        QQuickItem *root = add("drive", "/", 160, 120);
        QQuickItem *folder = add("directory", m_folder.path(), 600, 300);
        view->updateNodeRelations(sector);
        QCOMPARE(folder->property("parentDir").value<QQuickItem *>(), root);
        QCOMPARE(root->property("parentDir").value<QQuickItem *>(), pc);
        // The folder's line ends on the drive's facing side.
        QTRY_COMPARE(folder->property("cx4").toReal(), root->x() + root->width() - folder->x());
        QCOMPARE(folder->property("cy4").toReal(), root->y() + root->height() / 2 - folder->y());

        auto drag = [&](QQuickItem *item, QPointF by, Qt::KeyboardModifiers modifiers, QQuickItem *marker) {
            bringIntoView(view, item);
            const QPointF from = item->mapToScene(QPointF(50, item->height() / 2));
            QMouseEvent press(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton, modifiers);
            QApplication::sendEvent(view, &press);
            for (int step = 1; step <= 10; ++step) {
                QMouseEvent move(QEvent::MouseMove, from + by * step / 10, Qt::NoButton, Qt::LeftButton, modifiers);
                QApplication::sendEvent(view, &move);
            }
            if (marker)
                QVERIFY(marker->property("active").toBool());
            QMouseEvent release(QEvent::MouseButtonRelease, from + by, Qt::LeftButton, Qt::NoButton, modifiers);
            QApplication::sendEvent(view, &release);
        };
        const QPointF rootAt = root->position(), folderAt = folder->position();
        QQuickItem *marker = pc->findChild<QQuickItem *>("nodeMenu");
        QVERIFY(marker);
        const QPointF pcAt = pc->position();
        drag(pc, QPointF(40, 60), Qt::ShiftModifier, marker);
        const QPointF moved = pc->position() - pcAt;   // less the drag threshold
        QVERIFY(moved.x() > 30 && moved.y() > 50);
        QCOMPARE(root->position(), rootAt + moved);
        QCOMPARE(folder->position(), folderAt + moved);
        QVERIFY(!pc->property("dragTree").toBool() && !root->property("dragTree").toBool()
                && !folder->property("dragTree").toBool());
        QVERIFY(!marker->property("active").toBool());

        drag(root, QPointF(0, 80), Qt::NoModifier, nullptr);
        QVERIFY(root->y() > rootAt.y() + moved.y() + 60);
        QCOMPARE(folder->position(), folderAt + moved);
        QCOMPARE(folder->property("cy4").toReal(), root->y() + root->height() / 2 - folder->y());
        program.close();
    }

private:
    QTemporaryDir m_folder;
};

NUSK_WINDOW_TEST_MAIN(TestNodeView)
#include "tst_nodeview.moc"
