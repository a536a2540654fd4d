// Sharing a local item with another computer through the share dialog: what the dialog
// stores, edits and removes, which items may be shared at all, and the dialog's lifetime.

#include "testutil_panes.h"

#include "db/sqlitedatabase.h"
#include "filer/sharewithdialog.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsmodel.h"

#include <QQuickWindow>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

using namespace panestest;

namespace {

const QString kRemote = QStringLiteral("{7f000000-0000-4000-8000-00000000beef}");

QQuickWindow *windowOf(ShareWithDialog *dialog)
{
    return qobject_cast<QQuickWindow *>(dialog ? dialog->window() : nullptr);
}

void clickIn(QQuickWindow *window, const QString &objectName)
{
    auto *item = qobject_cast<QQuickItem *>(findObject(window->contentItem(), objectName));
    QVERIFY2(item && item->isVisible(), qPrintable(objectName));
    QTest::mouseClick(window, Qt::LeftButton, {}, item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint());
}

QStandardItem *row(const QString &path, const QString &name, int type)
{
    auto *item = new QStandardItem(name);
    item->setData(path, VfsModel::PathRole);
    item->setData(name, VfsModel::NameRole);
    item->setData(type, VfsModel::TypeRole);
    return item;
}

} // namespace

class TstSharing : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SqliteDatabase> m_db;
    FakeMainWindow m_mainWindow;
    PeerModel m_model;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<IPeer> m_remote;

    std::vector<PeerAclDto> rows() { return m_db->loadPeerAcls(kRemote); }

private Q_SLOTS:
    void initTestCase()
    {
        setUpProcess();
        QVERIFY(m_dir.isValid());
        m_db = std::make_unique<SqliteDatabase>(m_dir.filePath(QStringLiteral("db")));
        QVERIFY(m_db->isOpen());
        PeerDto dto;
        dto.uuid = kRemote;
        dto.type = QStringLiteral("nusk");
        QVERIFY(m_db->putPeer(dto));
        m_engine = makeEngine(&m_mainWindow, &m_model);
        m_remote.reset(makePeer(kRemote, QStringLiteral("laptop"), IPeer::LinkUp));
    }

    void newShareIsStoredOnceAndEditedInPlace()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("photos"));
        const QString folder = m_dir.filePath(QStringLiteral("photos"));
        const ShareWithDialog::Item item{folder, QStringLiteral("photos"), VfsModel::DirectoryType};
        PeerAclDto entry = ShareWithDialog::entryFor(m_db.get(), kRemote, item, false);
        QCOMPARE(entry.flags, 0x5u);
        QVERIFY(isNullUuidString(entry.uuid));

        // Two dialogs on the same new item, both confirmed: one row, the second updates it.
        QObject browser;
        auto *first = new ShareWithDialog(m_engine.get(), m_db.get(), m_remote.get(), entry, &browser);
        auto *second = new ShareWithDialog(m_engine.get(), m_db.get(), m_remote.get(), entry, &browser);
        first->show();
        QQuickWindow *window = windowOf(first);
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->property("isNewShare").toBool(), true);
        QVERIFY(!findObject(window->contentItem(), QStringLiteral("removeShareButton"))->property("visible").toBool());
        clickIn(window, QStringLiteral("canEditBox"));
        QTRY_COMPARE(window->property("canEdit").toBool(), true);
        QPointer<ShareWithDialog> firstAlive(first);
        clickIn(window, QStringLiteral("confirmButton"));
        QTRY_VERIFY(!firstAlive);   // a closed dialog goes away with its window
        QCOMPARE(rows().size(), size_t(1));
        QCOMPARE(rows()[0].flags, 0x7u);
        const QString uuid = rows()[0].uuid;
        QVERIFY(!isNullUuidString(uuid));

        second->onAccepted(false);
        QCOMPARE(rows().size(), size_t(1));
        QCOMPARE(rows()[0].uuid, uuid);
        QCOMPARE(rows()[0].flags, 0x5u);
        delete second;

        // Sharing the item again opens the stored entry: edit title, Save, remove.
        entry = ShareWithDialog::entryFor(m_db.get(), kRemote, item, false);
        QCOMPARE(entry.uuid, uuid);
        auto *edit = new ShareWithDialog(m_engine.get(), m_db.get(), m_remote.get(), entry, &browser);
        edit->show();
        window = windowOf(edit);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->property("isNewShare").toBool(), false);
        clickIn(window, QStringLiteral("removeShareButton"));
        QTRY_VERIFY(rows().empty());
    }

    void onlyRealLocalItemsCanBeShared()
    {
        QStandardItemModel model;
        model.appendRow(row(QStringLiteral("/"), QStringLiteral("System"), VfsModel::DriveType));
        model.item(0)->appendRow(row(QStringLiteral("/srv"), QStringLiteral("srv"), VfsModel::DirectoryType));
        model.item(0)->child(0)->appendRow(row(QStringLiteral("/srv/a.txt"), QStringLiteral("a.txt"), VfsModel::FileType));
        model.appendRow(row(QStringLiteral("%shares"), QStringLiteral("Shares"), VfsModel::ShareType));
        const QModelIndex drive = model.index(0, 0);
        const QModelIndex file = model.index(0, 0, model.index(0, 0, drive));
        const QModelIndex shares = model.index(1, 0);

        ShareWithDialog::Item item;
        // Items of another computer are not this computer's to share.
        QVERIFY(!ShareWithDialog::pickItem(false, {file}, drive, false, &item));
        // Virtual rows and nothing at all are refused.
        QVERIFY(!ShareWithDialog::pickItem(true, {shares}, drive, false, &item));
        QVERIFY(!ShareWithDialog::pickItem(true, {}, QModelIndex(), false, &item));
        // Nothing selected: the shown folder.
        QVERIFY(ShareWithDialog::pickItem(true, {}, file.parent(), false, &item));
        QCOMPARE(item.path, QStringLiteral("/srv"));
        QVERIFY(ShareWithDialog::pickItem(true, {file}, drive, false, &item));
        QCOMPARE(item.path, QStringLiteral("/srv/a.txt"));
        QCOMPARE(ShareWithDialog::entryFor(m_db.get(), kRemote, item, false).flags, 0x1u);
        // The drive of the selection, for a whole-drive share, with its warning.
        QVERIFY(ShareWithDialog::pickItem(true, {file}, drive, true, &item));
        QCOMPARE(item.path, QStringLiteral("/"));
        const PeerAclDto entry = ShareWithDialog::entryFor(m_db.get(), kRemote, item, true);
        QCOMPARE(entry.flags, 0xDu);
        QVERIFY(ShareWithDialog::isBroadSelector(entry.selector));
        QVERIFY(!ShareWithDialog::isBroadSelector(QStringLiteral("/srv")));

        // The dialog on "/" warns; it goes with the browser that opened it, window and all.
        auto *browser = new QObject;
        auto *dialog = new ShareWithDialog(m_engine.get(), m_db.get(), m_remote.get(), entry, browser);
        dialog->show();
        QPointer<QQuickWindow> window = windowOf(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(findObject(window->contentItem(), QStringLiteral("broadShareWarning"))->property("visible").toBool());
        delete browser;
        QVERIFY(!window);
    }

    void itemNamesStayText()
    {
        PeerAclDto entry;
        entry.uuid = nullUuidString();
        entry.name = QStringLiteral("<img src=x>bold<b>");
        entry.selector = QStringLiteral("/srv/<b>");
        entry.flags = 0x1;
        ShareWithDialog dialog(m_engine.get(), m_db.get(), m_remote.get(), entry, nullptr);
        QObject *text = findObject(qobject_cast<QQuickWindow *>(dialog.window())->contentItem(), QStringLiteral("itemNameText"));
        QVERIFY(text);
        QCOMPARE(text->property("textFormat").toInt(), int(Qt::PlainText));
        QCOMPARE(text->property("text").toString(), entry.name);
    }
};

QTEST_MAIN(TstSharing)
#include "tst_sharing.moc"
