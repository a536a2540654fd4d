// File operations of the browser between this computer and a second one (a real
// nusk-peerhost): copy and paste of a folder from a share, cut and paste, pasting into the
// folder itself, rename and new folder with refused names, trash and delete with drive roots
// never deletable, drops with the move choice and images from other programs, the context
// menu by mouse and by keyboard; a copy or cut refused while the other computer is offline
// says why and leaves nothing to paste; refused renames and deletes, and properties nothing
// shows, say why; the properties key is not the open key; a share that goes while it is shown
// leads back to the computer's page.

#include "db/sqlitedatabase.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "filer/filerlaunch.h"
#include "filer/filerviewdrag.h"
#include "pairing.h"
#include "peers/peertimings.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfsmodelicons.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QBuffer>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

using namespace filertest;

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QAction *action(const char *id)
{
    return FilerActions::action(QString::fromLatin1(id));
}

} // namespace

class TestFilerFileOps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void copyAndPasteFolderFromShare();
    void cutAndPasteMovesOnce();
    void pasteIntoItselfRefused();
    void renameAndNewFolder();
    void trashDeleteAndDriveRoots();
    void dropsAskAndNeverOverwrite();
    void contextMenus();
    void refusedCopyLeavesNothingToPaste();
    void propertiesKeyAndUnansweredProperties();
    void refusedRenamesAndDeletesSayWhy();
    void shareThatGoesLeadsToThePeerPage();

private:
    std::unique_ptr<Filer> browser(IPeer *peer, const QString &path);
    void select(Filer &filer, const QStringList &names);

    QTemporaryDir m_tmp;
    QString m_base;
    QString m_shared;
    QString m_local;
    QString m_rwShare;
    QString m_roShare;
    QString m_ours;   // this computer's uuid on the other one
    std::unique_ptr<LocalNetwork> m_net;
    std::unique_ptr<peerhosttest::Host> m_host;
    QTemporaryDir m_hostDir;
    QPointer<IPeer> m_remote;
};

std::unique_ptr<Filer> TestFilerFileOps::browser(IPeer *peer, const QString &path)
{
    auto filer = std::make_unique<Filer>(nullptr, m_net->database(), nullptr, nullptr);
    filer->resize(800, 600);
    filer->show();
    filer->setPeer(peer);
    filer->gotoPath(path);
    spinUntil([&] { return filer->path() == path && filer->currentPage() == Filer::FilesPage; });
    return filer;
}

void TestFilerFileOps::select(Filer &filer, const QStringList &names)
{
    // Listings may still be merging: wait until every name is there.
    QAbstractItemView *view = filer.currentView();
    spinUntil([&] {
        int found = 0;
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            found += names.contains(view->model()->index(r, 0, view->rootIndex()).data(VfsModel::NameRole).toString());
        return found == names.size();
    });
    view->selectionModel()->clearSelection();
    for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r) {
        const QModelIndex index = view->model()->index(r, 0, view->rootIndex());
        if (names.contains(index.data(VfsModel::NameRole).toString()))
            view->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

void TestFilerFileOps::initTestCase()
{
    initFilerViewResources();
    m_base = QDir(m_tmp.path()).canonicalPath();
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_base + QStringLiteral("/data")));
    PeerTimings timings;
    timings.retryInitialMs = 150;
    timings.retryMaxMs = 600;
    setPeerTimings(timings);
    m_shared = m_base + QStringLiteral("/shared");
    m_local = m_base + QStringLiteral("/local");
    QVERIFY(writeFile(m_shared + QStringLiteral("/album/a.jpg"), 70000));
    QVERIFY(writeFile(m_shared + QStringLiteral("/album/deep/b.txt"), 123));
    QVERIFY(writeFile(m_shared + QStringLiteral("/cut-me.txt"), 4321));
    QVERIFY(QDir().mkpath(m_local + QStringLiteral("/first")));
    QVERIFY(QDir().mkpath(m_local + QStringLiteral("/second")));
    QVERIFY(writeFile(m_local + QStringLiteral("/box/inner.txt"), 5));
    QVERIFY(writeFile(m_local + QStringLiteral("/note.txt"), 11));
    QVERIFY(writeFile(m_local + QStringLiteral("/trash-me.txt"), 12));
    QVERIFY(writeFile(m_local + QStringLiteral("/delete-me.txt"), 13));
    QVERIFY(writeFile(m_local + QStringLiteral("/photo.png"), 14));

    m_net = std::make_unique<LocalNetwork>(true);
    QVERIFY(m_net->start());
    m_host = std::make_unique<peerhosttest::Host>(m_hostDir.path(), peerhosttest::freePort());
    QVERIFY(m_host->start());
    QString ours;
    m_remote = pairWith(*m_net, *m_host, &ours);
    QVERIFY(m_remote);
    QString status;
    const QStringList rw = m_host->cmd(QStringLiteral("share %1 %2 7").arg(ours, m_shared), &status);
    QCOMPARE(status, QStringLiteral("ok"));
    m_rwShare = QStringLiteral("%shares/") + rw.first();
    QVERIFY(writeFile(m_base + QStringLiteral("/readonly/keep.txt"), 9));
    QVERIFY(writeFile(m_base + QStringLiteral("/readonly/other.txt"), 9));
    const QStringList ro = m_host->cmd(QStringLiteral("share %1 %2 5").arg(ours, m_base + QStringLiteral("/readonly")), &status);
    QCOMPARE(status, QStringLiteral("ok"));
    m_roShare = QStringLiteral("%shares/") + ro.first();
    m_ours = ours;
}

void TestFilerFileOps::cleanupTestCase()
{
    m_host.reset();
    m_net.reset();
}

void TestFilerFileOps::copyAndPasteFolderFromShare()
{
    auto remote = browser(m_remote, m_rwShare);
    QCOMPARE(remote->path(), m_rwShare);
    select(*remote, {QStringLiteral("album")});
    QVERIFY(!action("filer.paste")->isEnabled());
    action("filer.copy")->trigger();
    QVERIFY(action("filer.paste")->isEnabled());
    // The copied item carries the clipboard mark.
    const QModelIndex album = remote->currentView()->selectionModel()->selectedRows().first();
    QVERIFY(album.data(VfsModel::FlagsRole).toInt() & VfsModel::CopyMarkFlag);
    // Without a hub every browser counts as active: one browser at a time.
    remote.reset();

    auto local = browser(m_net->localPeer(), m_local + QStringLiteral("/first"));
    action("filer.paste")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(contents(m_local + QStringLiteral("/first/album/deep/b.txt")),
                              contents(m_shared + QStringLiteral("/album/deep/b.txt")), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(contents(m_local + QStringLiteral("/first/album/a.jpg")),
                              contents(m_shared + QStringLiteral("/album/a.jpg")), 30000);

    // The next paste goes to the folder shown now, not to the earlier paste's folder.
    local->gotoPath(m_local + QStringLiteral("/second"));
    QTRY_COMPARE(local->path(), m_local + QStringLiteral("/second"));
    action("filer.paste")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(contents(m_local + QStringLiteral("/second/album/a.jpg")),
                              contents(m_shared + QStringLiteral("/album/a.jpg")), 30000);
    action(FilerActions::clearMarkedId().toLatin1().constData())->trigger();
    QVERIFY(!action("filer.paste")->isEnabled());
}

void TestFilerFileOps::cutAndPasteMovesOnce()
{
    const QByteArray original = contents(m_shared + QStringLiteral("/cut-me.txt"));
    auto remote = browser(m_remote, m_rwShare);
    select(*remote, {QStringLiteral("cut-me.txt")});
    action("filer.cut")->trigger();
    QVERIFY(action("filer.paste")->isEnabled());
    remote.reset();
    auto local = browser(m_net->localPeer(), m_local);
    action("filer.paste")->trigger();
    // Spent: nothing more to paste.
    QVERIFY(!action("filer.paste")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(contents(m_local + QStringLiteral("/cut-me.txt")), original, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_shared + QStringLiteral("/cut-me.txt")), 30000);
    action("filer.paste")->trigger();
    QTest::qWait(300);
    QVERIFY(!QFile::exists(m_local + QStringLiteral("/first/cut-me.txt")));
}

void TestFilerFileOps::pasteIntoItselfRefused()
{
    auto local = browser(m_net->localPeer(), m_local);
    select(*local, {QStringLiteral("box")});
    action("filer.copy")->trigger();
    local->gotoPath(m_local + QStringLiteral("/box"));
    QTRY_COMPARE(local->path(), m_local + QStringLiteral("/box"));
    action("filer.paste")->trigger();
    QCOMPARE(local->statusText(), qtTrId("copy-error-into-itself"));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(m_local + QStringLiteral("/box/box")));
}

void TestFilerFileOps::renameAndNewFolder()
{
    auto local = browser(m_net->localPeer(), m_local);
    VfsModel *model = m_net->localModel();
    QVERIFY(m_net->reach(model, m_local + QStringLiteral("/note.txt"), false));
    const QModelIndex note = model->indexForPath(m_local + QStringLiteral("/note.txt"));
    for (const QString &bad : {QStringLiteral("a/b"), QStringLiteral(".."), QStringLiteral(".")}) {
        local->onRenameEditDone(note, bad);
        QVERIFY(local->statusText().contains(bad));
    }
    QTest::qWait(200);
    QVERIFY(QFile::exists(m_local + QStringLiteral("/note.txt")));
    // An edit of the model itself becomes the rename.
    model->setData(note, QStringLiteral("renamed.txt"), Qt::EditRole);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_local + QStringLiteral("/renamed.txt")), 10000);
    QVERIFY(!QFile::exists(m_local + QStringLiteral("/note.txt")));

    local->currentView()->selectionModel()->clearSelection();
    QVERIFY(local->createFolder(QStringLiteral("Made here")));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_local + QStringLiteral("/Made here")).isDir(), 10000);
    // The new folder is selected and current, in its sorted place.
    QAbstractItemView *view = local->currentView();
    QTRY_COMPARE_WITH_TIMEOUT(local->currentItemPath(), m_local + QStringLiteral("/Made here"), 10000);
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    const int row = view->currentIndex().row();
    auto *proxy = qobject_cast<QSortFilterProxyModel *>(view->model());
    proxy->invalidate();
    QCOMPARE(local->currentView()->currentIndex().row(), row);
    // The header's arrow agrees with the order, before and after a click on it.
    auto *tree = qobject_cast<QTreeView *>(view);
    QVERIFY(tree);
    QCOMPARE(tree->header()->sortIndicatorOrder(), proxy->sortOrder());
    QCOMPARE(proxy->sortOrder(), Qt::AscendingOrder);
    const int x = tree->header()->sectionViewportPosition(0) + 10;
    QTest::mouseClick(tree->header()->viewport(), Qt::LeftButton, {}, QPoint(x, tree->header()->height() / 2));
    QCOMPARE(proxy->sortOrder(), Qt::DescendingOrder);
    QCOMPARE(tree->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    QTest::mouseClick(tree->header()->viewport(), Qt::LeftButton, {}, QPoint(x, tree->header()->height() / 2));
    QCOMPARE(proxy->sortOrder(), Qt::AscendingOrder);
    QVERIFY(!local->createFolder(QStringLiteral("x/y")));
    // At the top level (shares and drives) nothing is made.
    local->gotoPath(QString());
    QTRY_COMPARE(local->path(), QStringLiteral("%shares"));
}

void TestFilerFileOps::trashDeleteAndDriveRoots()
{
    auto local = browser(m_net->localPeer(), m_local);
    select(*local, {QStringLiteral("trash-me.txt")});
    local->currentView()->setFocus();
    QTRY_VERIFY(local->currentView()->hasFocus());
    action("filer.trash")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_local + QStringLiteral("/trash-me.txt")), 10000);
    // The status line says where it went, here and on the other computer.
    QTRY_COMPARE_WITH_TIMEOUT(local->statusText(), qtTrId("filer-msg-trashed").arg(QStringLiteral("trash-me.txt")), 10000);
    {
        for (const char *name : {"/trash-there.txt", "/trash-there-a.txt", "/trash-there-b.txt"})
            QVERIFY(writeFile(m_shared + QLatin1String(name), 7));
        // Without a hub every browser counts as active: one browser at a time.
        local.reset();
        auto remote = browser(m_remote, m_rwShare);
        for (const QStringList &names : {QStringList{QStringLiteral("trash-there.txt")},
                                         QStringList{QStringLiteral("trash-there-a.txt"), QStringLiteral("trash-there-b.txt")}}) {
            select(*remote, names);
            remote->currentView()->setFocus();
            QTRY_VERIFY(remote->currentView()->hasFocus());
            action("filer.trash")->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_shared + QLatin1Char('/') + names.last()), 10000);
            const QString said = names.size() == 1
                                     ? qtTrId("filer-msg-trashed-on").arg(names.first(), m_remote->displayName())
                                     : qtTrId("filer-msg-trashed-items-on", names.size()).arg(m_remote->displayName());
            QTRY_COMPARE_WITH_TIMEOUT(remote->statusText(), said, 10000);
        }
        remote.reset();
        local = browser(m_net->localPeer(), m_local);
        local->currentView()->setFocus();
        QTRY_VERIFY(local->currentView()->hasFocus());
    }
    const QString trashed = m_base + QStringLiteral("/data/Trash/files/trash-me.txt");
    QVERIFY(QFile::exists(trashed));
    QVERIFY(QFile::exists(m_base + QStringLiteral("/data/Trash/info/trash-me.txt.trashinfo")));
    // Restored the way a desktop's trash does: back to the recorded place.
    QVERIFY(QFile::rename(trashed, m_local + QStringLiteral("/trash-me.txt")));

    QString asked;
    Filer::confirmHook() = [&](const QString &text, const QString &) {
        asked = text;
        return int(QMessageBox::NoRole);
    };
    select(*local, {QStringLiteral("delete-me.txt")});
    action("filer.delete")->trigger();
    QVERIFY(asked.contains(QLatin1String("delete-me.txt")));
    QTest::qWait(200);
    QVERIFY(QFile::exists(m_local + QStringLiteral("/delete-me.txt")));
    Filer::confirmHook() = [](const QString &, const QString &) { return int(QMessageBox::YesRole); };
    action("filer.delete")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_local + QStringLiteral("/delete-me.txt")), 10000);

    // A failed delete names the item that failed, not the first one selected.
    QVERIFY(writeFile(m_local + QStringLiteral("/a-first.txt"), 3));
    QVERIFY(writeFile(m_local + QStringLiteral("/z-gone.txt"), 3));
    local->gotoPath(m_local);
    select(*local, {QStringLiteral("a-first.txt"), QStringLiteral("z-gone.txt")});
    local->currentView()->setFocus();
    QTRY_VERIFY(local->currentView()->hasFocus());
    // Gone just before the delete starts, with no event in between: the listing's watcher
    // would otherwise drop it from the selection first.
    QVERIFY(QFile::remove(m_local + QStringLiteral("/z-gone.txt")));
    action("filer.delete")->trigger();
    QTRY_VERIFY2_WITH_TIMEOUT(local->statusText().contains(QLatin1String("z-gone.txt")),
                              qPrintable(local->statusText() + QLatin1String(" / selected: ")
                                         + QString::number(local->currentView()->selectionModel()->selectedRows().size())),
                              10000);
    QVERIFY(QFile::exists(m_local + QStringLiteral("/a-first.txt")));

    // The top level (the shares row and the drives, "/" among them) is never deleted.
    QAbstractItemView *view = local->currentView();
    view->setRootIndex(QModelIndex());
    QVERIFY(view->model()->rowCount(QModelIndex()) > 1);
    view->selectionModel()->clearSelection();
    for (int r = 0; r < view->model()->rowCount(QModelIndex()); ++r)
        view->selectionModel()->select(view->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    asked.clear();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    action("filer.delete")->setEnabled(true);
    action("filer.delete")->trigger();
    QVERIFY(asked.isEmpty());
    QVERIFY2(local->statusText().endsWith(qtTrId("filer-msg-not-deletable").section(QLatin1Char(' '), 1)),
             qPrintable(local->statusText()));
    Filer::confirmHook() = {};
}

void TestFilerFileOps::dropsAskAndNeverOverwrite()
{
    auto local = browser(m_net->localPeer(), m_local);
    VfsModel *model = m_net->localModel();
    QVERIFY(m_net->reach(model, m_local + QStringLiteral("/second")));
    bool offeredMove = false;
    Filer::setDropMenuChooser([&](bool moveAllowed) {
        offeredMove = moveAllowed;
        return moveAllowed ? 0x0F : 0x0D;
    });
    auto drop = [&](QMimeData *data, const QString &target) {
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        local->handleDrop(&event, target);
    };

    // Within this computer: move offered and done.
    std::unique_ptr<QMimeData> own(makeFileDragData(nullUuidString(), {m_local + QStringLiteral("/renamed.txt")}));
    drop(own.get(), m_local + QStringLiteral("/second"));
    QVERIFY(offeredMove);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_local + QStringLiteral("/second/renamed.txt")), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_local + QStringLiteral("/renamed.txt")), 15000);

    // From the other computer: copy only.
    QVERIFY(m_net->reach(qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel()), m_rwShare + QStringLiteral("/album"), false));
    std::unique_ptr<QMimeData> remote(makeFileDragData(m_remote->uuid(), {m_rwShare + QStringLiteral("/album")}));
    drop(remote.get(), m_local + QStringLiteral("/second"));
    QVERIFY(!offeredMove);
    // The menu itself says, where its move stands greyed, why, and what moves between
    // computers.
    Filer::setDropMenuChooser({});
    QStringList entries;
    QTimer::singleShot(0, this, [&] {
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QAction *entry : menu->actions())
            entries << QStringLiteral("%1 %2").arg(entry->isEnabled() ? QStringLiteral("on") : QStringLiteral("off"), entry->text());
        menu->close();
    });
    drop(remote.get(), m_local + QStringLiteral("/second"));
    QCOMPARE(entries, QStringList({QStringLiteral("off ") + qtTrId("action-move-here-between")
                                                               .arg(qtTrId("action-move-to"), QStringLiteral("F6")),
                                   QStringLiteral("on ") + qtTrId("action-copy-here")}));
    Filer::setDropMenuChooser([&](bool moveAllowed) {
        offeredMove = moveAllowed;
        return moveAllowed ? 0x0F : 0x0D;
    });

    // A link from a web browser is not supported, and the view does not accept it: the
    // other program keeps its original whatever it offered.
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.org/x.png"))});
    QWidget *viewport = local->currentView()->viewport();
    const QPoint empty(viewport->width() - 4, viewport->height() - 4);
    QDragEnterEvent enter(empty, Qt::CopyAction | Qt::MoveAction, &web, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(empty, Qt::CopyAction | Qt::MoveAction, &web, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QDropEvent dropped(empty, Qt::CopyAction | Qt::MoveAction, &web, Qt::LeftButton, Qt::NoModifier);
    dropped.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(viewport, &dropped);
    QVERIFY(!dropped.isAccepted());
    QCOMPARE(local->statusText(), qtTrId("filer-status-unsupop"));

    // An image carried as bytes becomes a file, beside an existing one of the same name.
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::green);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    QMimeData bytes;
    bytes.setUrls({QUrl(QStringLiteral("file:///elsewhere/photo"))});
    bytes.setData(QStringLiteral("application/octet-stream"), png);
    const QByteArray before = contents(m_local + QStringLiteral("/photo.png"));
    drop(&bytes, m_local);
    QCOMPARE(contents(m_local + QStringLiteral("/photo.png")), before);
    QVERIFY(!QImage(m_local + QStringLiteral("/photo (2).png")).isNull());
    Filer::setDropMenuChooser({});
}

void TestFilerFileOps::contextMenus()
{
    // The theme's images as the window gives them: each computer's icon by its name.
    QStringList asked;
    setVfsThemePixmapLoader([&](const QString &id, const QSize &size) {
        asked << id;
        QPixmap pixmap(size);
        pixmap.fill(Qt::darkCyan);
        return pixmap;
    });
    QStringList texts;
    std::vector<bool> shareIcons;
    Filer::contextMenuHook() = [&](QMenu *menu) {
        texts.clear();
        shareIcons.clear();
        for (QAction *a : menu->actions()) {
            if (a->isSeparator())
                continue;
            texts << (a->menu() ? a->menu()->title() : a->text());
            if (a->menu() && a->menu()->title() == qtTrId("menu-share-with"))
                for (QAction *entry : a->menu()->actions())
                    shareIcons.push_back(!entry->icon().isNull());
        }
        return nullptr;
    };
    auto local = browser(m_net->localPeer(), m_local);
    select(*local, {QStringLiteral("photo.png")});
    QWidget *viewport = local->currentView()->viewport();
    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, QPoint(40, 40));
    QTest::mouseRelease(viewport, Qt::RightButton, Qt::NoModifier, QPoint(42, 41));
    QVERIFY(texts.contains(action("filer.cut")->text()));
    QVERIFY(texts.contains(action("filer.paste")->text()));
    QVERIFY(texts.contains(action("filer.trash")->text()));
    QVERIFY(texts.contains(action("filer.show-props")->text()));
    QVERIFY(texts.contains(qtTrId("menu-share-with")));
    QCOMPARE(shareIcons, std::vector<bool>{true});
    QVERIFY(asked.contains(QStringLiteral("icon/%1.svg").arg(m_remote->icon())));
    local.reset();
    // A request far from the press is a gesture: no menu.
    auto remote = browser(m_remote, m_rwShare);
    select(*remote, {QStringLiteral("album")});
    viewport = remote->currentView()->viewport();
    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, QPoint(40, 40));
    QTest::mouseRelease(viewport, Qt::RightButton, Qt::NoModifier, QPoint(40, 40));
    QVERIFY(texts.contains(action("filer.copy")->text()));
    QVERIFY(!texts.contains(action("filer.show-props")->text()));
    QVERIFY(!texts.contains(qtTrId("menu-share-with")));
    // A request far from the press is a gesture: no menu.
    texts.clear();
    remote->onCustomContextMenuRequested(QPoint(40 + 10, 40 + 7));
    QVERIFY(texts.isEmpty());
    // The keyboard's menu key and Shift+F10 open it too.
    select(*remote, {QStringLiteral("album")});
    remote->currentView()->setFocus();
    QTest::keyClick(remote->currentView(), Qt::Key_Menu);
    QVERIFY(texts.contains(action("filer.copy")->text()));
    texts.clear();
    QTest::keyClick(remote->currentView(), Qt::Key_F10, Qt::ShiftModifier);
    QVERIFY(texts.contains(action("filer.copy")->text()));
    Filer::contextMenuHook() = {};
    setVfsThemePixmapLoader({});
}

void TestFilerFileOps::refusedCopyLeavesNothingToPaste()
{
    auto remote = browser(m_remote, m_rwShare);
    select(*remote, {QStringLiteral("album")});
    action("filer.copy")->trigger();
    QVERIFY(action("filer.paste")->isEnabled());

    QVERIFY(m_host->ok(QStringLiteral("net off")));
    QTRY_VERIFY_WITH_TIMEOUT(m_remote->linkState() != IPeer::LinkUp, 10000);
    QTRY_VERIFY(!action("filer.copy")->isEnabled());
    select(*remote, {QStringLiteral("cut-me.txt")});
    QTest::keyClick(remote->currentView(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(remote->statusText(), QStringLiteral("Cannot copy: %1 is not connected.").arg(m_remote->name()));
    QVERIFY(!action("filer.paste")->isEnabled());
    // A refused cut names the cut, in either language.
    QTest::keyClick(remote->currentView(), Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(remote->statusText(), QStringLiteral("Cannot cut: %1 is not connected.").arg(m_remote->name()));
    QTranslator german;
    QVERIFY(german.load(QStringLiteral(":/i18n/nusk_de.qm")));
    QCoreApplication::installTranslator(&german);
    QTest::keyClick(remote->currentView(), Qt::Key_X, Qt::ControlModifier);
    const QString germanRefusal = remote->statusText();
    QCoreApplication::removeTranslator(&german);
    QCOMPARE(germanRefusal, QStringLiteral("Ausschneiden nicht möglich: %1 ist nicht verbunden.").arg(m_remote->name()));
    QVERIFY(!action("filer.paste")->isEnabled());
    remote.reset();
    QVERIFY(m_host->ok(QStringLiteral("net on")));
    QTRY_VERIFY_WITH_TIMEOUT(m_remote->linkState() == IPeer::LinkUp, 20000);
}

// Alt+Return is Alt+Enter to a person: it asks for the properties, never opens the item. With
// no file manager to show them, or on another computer, the status line says so.
void TestFilerFileOps::propertiesKeyAndUnansweredProperties()
{
    filerlaunch::setFileManagerService(QStringLiteral("org.nusk.test.NoFileManager"));
    QStringList started;
    filerlaunch::setDetachedStarter([&](const QString &program, const QStringList &) {
        started << program;
        return true;
    });
    auto local = browser(m_net->localPeer(), m_local);
    // The window's menus hold the shared actions; here the browser's window does.
    local->addAction(action("filer.show-props"));
    select(*local, {QStringLiteral("photo.png")});
    QAbstractItemView *view = local->currentView();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    QVERIFY(action("filer.show-props")->isEnabled());
    QSignalSpy opened(view, &QAbstractItemView::activated);
    const QString unanswered = qtTrId("filer-msg-no-properties").arg(QStringLiteral("photo.png"));
    QTest::keyClick(view, Qt::Key_Return, Qt::AltModifier);
    QTRY_COMPARE(local->statusText(), unanswered);
    QCOMPARE(opened.count(), 0);
    local->showStatusMessage(QString(), 0);
    QTest::keyClick(view, Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier);
    QTRY_COMPARE(local->statusText(), unanswered);
    local->showStatusMessage(QString(), 0);
    action("filer.show-props")->trigger();
    QTRY_COMPARE(local->statusText(), unanswered);
    QCOMPARE(opened.count(), 0);
    QVERIFY2(started.isEmpty(), qPrintable(started.join(' ')));   // no folder instead
    local.reset();

    // On the other computer the properties are off: the key says why and opens nothing.
    auto remote = browser(m_remote, m_rwShare);
    remote->addAction(action("filer.show-props"));
    select(*remote, {QStringLiteral("album")});
    view = remote->currentView();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    QVERIFY(!action("filer.show-props")->isEnabled());
    QSignalSpy remoteOpened(view, &QAbstractItemView::activated);
    QTest::keyClick(view, Qt::Key_Return, Qt::AltModifier);
    QCOMPARE(remote->statusText(), qtTrId("filer-msg-properties-local-only"));
    QTest::qWait(200);
    QCOMPARE(remoteOpened.count(), 0);
    QCOMPARE(remote->path(), m_rwShare);
    filerlaunch::setDetachedStarter({});
}

// A rename onto a name that is there, a rename and a delete in a share this computer may
// only read: each is refused, and the status line says why instead of the name going back
// without a word.
void TestFilerFileOps::refusedRenamesAndDeletesSayWhy()
{
    auto local = browser(m_net->localPeer(), m_local);
    VfsModel *model = m_net->localModel();
    QVERIFY(m_net->reach(model, m_local + QStringLiteral("/first"), false));
    model->setData(model->indexForPath(m_local + QStringLiteral("/first")), QStringLiteral("second"), Qt::EditRole);
    QTRY_COMPARE_WITH_TIMEOUT(local->statusText(), QStringLiteral("Cannot rename first: second is already there."), 10000);
    QVERIFY(QFileInfo(m_local + QStringLiteral("/first")).isDir());
    local.reset();

    auto remote = browser(m_remote, m_roShare);
    select(*remote, {QStringLiteral("keep.txt")});
    QVERIFY(!action("filer.trash")->isEnabled());
    QAbstractItemView *view = remote->currentView();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    const QString readOnly = QStringLiteral("Cannot delete keep.txt: it is read only here.");
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(remote->statusText(), readOnly);
    remote->showStatusMessage(QString(), 0);
    QTest::keyClick(view, Qt::Key_Delete, Qt::ShiftModifier);
    QCOMPARE(remote->statusText(), readOnly);
    QVERIFY(QFile::exists(m_base + QStringLiteral("/readonly/keep.txt")));

    auto *remoteModel = qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel());
    const QModelIndex keep = remoteModel->indexForPath(m_roShare + QStringLiteral("/keep.txt"));
    QVERIFY(keep.isValid());
    remoteModel->setData(keep, QStringLiteral("kept.txt"), Qt::EditRole);
    QTRY_COMPARE_WITH_TIMEOUT(remote->statusText(), QStringLiteral("Cannot rename keep.txt: it is read only here."), 10000);
    QVERIFY(QFile::exists(m_base + QStringLiteral("/readonly/keep.txt")));
}

// The other computer stops sharing the folder shown, here a folder inside the share: the
// browser goes to that computer's page and says that the share is gone.
void TestFilerFileOps::shareThatGoesLeadsToThePeerPage()
{
    QVERIFY(writeFile(m_base + QStringLiteral("/Music/Live/set 1.ogg"), 64));
    QString status;
    const QStringList music = m_host->cmd(QStringLiteral("share %1 %2 5").arg(m_ours, m_base + QStringLiteral("/Music")), &status);
    QCOMPARE(status, QStringLiteral("ok"));
    const QString live = QStringLiteral("%shares/") + music.first() + QStringLiteral("/Live");
    auto remote = browser(m_remote, live);
    QVERIFY(m_host->ok(QStringLiteral("unshare %1 %2").arg(m_ours, music.first())));
    QTRY_COMPARE_WITH_TIMEOUT(remote->currentPage(), Filer::PeerViewPage, 10000);
    const QString gone = QStringLiteral("Music is no longer shared with this computer.");
    QCOMPARE(remote->statusText(), gone);
    auto *notice = remote->findChild<QLabel *>(QStringLiteral("pageNotice"));
    QVERIFY(notice);
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->text(), gone);
}

QTEST_MAIN(TestFilerFileOps)
#include "tst_filer_fileops.moc"
