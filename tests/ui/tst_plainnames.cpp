// Names from other computers and from disk with markup in them, shown everywhere the window
// shows names: the computer list, a computer's page with what is shared with it, the
// breadcrumb (its drive tooltips included), tabs and their tooltips, the file views with their
// tooltips, the menu of computers, a job window, the invitation dialog with the computers
// nearby. Each must show the name literally, and no picture a name points to is fetched.

#include "testutil_window.h"

#include "com/connectionmanager.h"
#include "filer/fileractions.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsmanager.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QQuickItem>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QTabBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

namespace {

// How Qt turns a text into what the user reads.
enum class Shown { Plain, Auto, Mnemonic };

QString readable(const QString &text, Shown how)
{
    if (how == Shown::Mnemonic) {
        QString out = text;
        return out.replace(QLatin1String("&&"), QChar(1)).remove(QLatin1Char('&')).replace(QChar(1), QLatin1Char('&'));
    }
    if (how == Shown::Plain || !Qt::mightBeRichText(text))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

// Every place where one of the names turned up, and those that did not show it as it is.
struct Sweep
{
    QStringList names;
    QStringList seen;       // places
    QSet<QString> shown;    // names
    QStringList wrong;

    void check(const QString &place, const QString &text, Shown how)
    {
        for (const QString &name : names) {
            // The name itself, or escaped for a rich-text place (both forms are the name's).
            if (!text.contains(name) && !text.contains(name.toHtmlEscaped())
                && !text.contains(QString(name).replace(QLatin1Char('&'), QLatin1String("&&"))))
                continue;
            seen << place;
            shown.insert(name);
            if (!readable(text, how).contains(name))
                wrong << QStringLiteral("%1: \"%2\"").arg(place, text);
        }
    }

    void quickItems(QQuickItem *item, const QString &where)
    {
        if (!item)
            return;
        const QVariant text = item->property("text");
        const QVariant format = item->property("textFormat");
        if (text.type() == QVariant::String && format.isValid())
            check(where + QLatin1Char('/') + QString::fromLatin1(item->metaObject()->className()), text.toString(),
                  format.toInt() == 0 ? Shown::Plain : Shown::Auto);
        for (QQuickItem *child : item->childItems())
            quickItems(child, where);
    }

    void everything()
    {
        // Hidden ones too (other tabs, pages): what they hold is shown when they are.
        for (QWidget *widget : QApplication::allWidgets()) {
            const QString where = QString::fromLatin1(widget->metaObject()->className());
            check(where + QStringLiteral(" tooltip"), widget->toolTip(), Shown::Auto);
            if (auto *label = qobject_cast<QLabel *>(widget))
                check(where, label->text(), label->textFormat() == Qt::PlainText ? Shown::Plain : Shown::Auto);
            if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
                for (int i = 0; i < tabs->count(); ++i) {
                    check(QStringLiteral("tab"), tabs->tabText(i), Shown::Mnemonic);
                    check(QStringLiteral("tab tooltip"), tabs->tabToolTip(i), Shown::Auto);
                }
            }
            if (auto *view = qobject_cast<QAbstractItemView *>(widget); view && view->model()) {
                const QAbstractItemModel *model = view->model();
                for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
                    const QModelIndex index = model->index(row, 0, view->rootIndex());
                    check(QStringLiteral("view tooltip"), index.data(Qt::ToolTipRole).toString(), Shown::Auto);
                }
            }
            if (auto *quick = qobject_cast<QQuickWidget *>(widget))
                quickItems(quick->quickWindow()->contentItem(), QStringLiteral("QQuickWidget"));
        }
        for (QWindow *window : QGuiApplication::topLevelWindows()) {
            if (auto *quick = qobject_cast<QQuickWindow *>(window); quick && quick->isVisible())
                quickItems(quick->contentItem(), quick->objectName());
        }
    }
};

QQuickItem *findQuickItem(const QString &objectName)
{
    for (QWidget *widget : QApplication::allWidgets()) {
        auto *quick = qobject_cast<QQuickWidget *>(widget);
        if (!quick || !quick->isVisible() || !quick->rootObject())
            continue;
        if (auto *item = quick->rootObject()->findChild<QQuickItem *>(objectName))
            return item;
    }
    return nullptr;
}

bool write(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace

class TestPlainNames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void markedUpNamesShownLiterally()
    {
        QTcpServer pictures;
        QVERIFY(pictures.listen(QHostAddress::LocalHost));
        const QString fetch = QStringLiteral("<img src=\"http://127.0.0.1:%1/%2.png\">").arg(pictures.serverPort());
        const QString computer = QStringLiteral("<b>desk</b> & co") + fetch.arg(QStringLiteral("computer"));
        const QString drive = QStringLiteral("<b>usb</b>") + fetch.arg(QStringLiteral("drive"));
        // File names cannot hold '/', so no closing tags or addresses there.
        const QString folder = QStringLiteral("<b>trip<b> & <i>x");
        const QString file = QStringLiteral("<u>notes<u>.txt");
        const QString nearby = QStringLiteral("<b>study</b>") + fetch.arg(QStringLiteral("nearby"));
        QTemporaryDir dir;
        const QString inside = dir.filePath(folder);

        Program p;
        const QString uuid = QStringLiteral("{6a2f7c1e-0b9d-4e3a-9c55-1d2e3f405162}");
        QVERIFY(p.database()->putPeer(PeerDto{uuid, QStringLiteral("nusk"), 0}));
        QVERIFY(p.database()->putPeerAttribute(PeerAttributeDto{uuid, QStringLiteral("name"), computer}));
        QVERIFY(p.database()->putKey(CryptoKeyDto{newUuidString(), uuid, QStringLiteral("ed25519"), QByteArray(32, '\x07'),
                                                  QByteArray(), 0}));
        PeerAclDto share;
        share.uuid = newUuidString();
        share.name = folder;
        share.selector = inside;
        share.flags = PeerAclDto::FlagRead | PeerAclDto::FlagSubPaths;
        share.timestamp = QDateTime::currentDateTime();
        QVERIFY(p.database()->putPeerAcl(uuid, share));
        // The nearby list below is the test's own: another program's invitation heard on the
        // LAN (tests running beside this one announce theirs) would replace it.
        p.manager()->setLanBeaconEnabled(false);
        QVERIFY(p.start());
        MainWindow *w = p.window();
        QTRY_VERIFY_WITH_TIMEOUT(p.peerModel()->getPeerForUuid(uuid), 10000);

        QVERIFY(QDir().mkpath(inside) && write(inside + QLatin1Char('/') + file, "notes"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("dst"))) && write(dir.filePath(QStringLiteral("dst/")) + file, "old"));

        // The left pane: a tab on the list of computers, and one in the folder.
        auto *left = qobject_cast<FilerPane *>(w->panes().front());
        w->findChild<QAction *>(QStringLiteral("placeNetworkAction"))->trigger();
        QTRY_COMPARE(w->activeFiler()->currentPage(), Filer::MachineListPage);
        QVERIFY(QMetaObject::invokeMethod(left, "newFilerTabWithPath", Q_ARG(QString, nullUuidString()),
                                          Q_ARG(QString, inside)));
        Filer *browser = left->currentFiler();
        QTRY_VERIFY_WITH_TIMEOUT(browser->currentView() && browser->path() == inside
                                     && browser->currentView()->model()->rowCount(browser->currentView()->rootIndex()) == 1,
                                 10000);
        // A tab names its folder in the tooltip from the browser's next move on.
        browser->gotoPath(dir.path());
        browser->gotoPath(inside);
        QTRY_VERIFY(left->tabWidget()->tabToolTip(left->tabWidget()->currentIndex()).contains(QStringLiteral("trip")));

        // The right pane on the other computer's page: what is shared with it.
        FilerActions::action(QStringLiteral("nodeview.toggle-right"))->trigger();
        Filer *right = qobject_cast<FilerPane *>(w->panes().back())->currentFiler();
        right->setPeer(p.peerModel()->getPeerForUuid(uuid));
        QVERIFY(QMetaObject::invokeMethod(right, "showPeerView"));
        QTRY_VERIFY(findQuickItem(QStringLiteral("aclList")) && findQuickItem(QStringLiteral("aclList"))->property("count").toInt() == 1);

        // The computers nearby with an open invitation, as the network side lists them.
        w->onAddInvitation();
        QVERIFY(w->processInviteDialog());
        w->processInviteDialog()->setProperty("nearby", QVariantList{QVariantMap{{QStringLiteral("name"), nearby},
                                                                                 {QStringLiteral("deviceType"), 2}}});
        // Its list makes the row when it next gets round to it.
        QTRY_VERIFY_WITH_TIMEOUT(([&nearby] {
            Sweep first;
            first.names = QStringList{nearby};
            first.everything();
            return first.shown.contains(nearby);
        }()), 10000);

        // A drive's name reaches the breadcrumb's shelf as that place's tooltip.
        QQuickItem *shelf = findQuickItem(QStringLiteral("homeShelfItem"));
        QVERIFY(shelf);
        shelf->setProperty("tooltip", drive);
        QObject *tip = nullptr;
        for (QObject *child : shelf->children())
            if (child->inherits("QQuickToolTip"))
                tip = child;
        QVERIFY(tip);
        QMetaObject::invokeMethod(tip, "open");
        QTRY_VERIFY(tip->property("visible").toBool());

        // A job window asks about the file that is already there.
        QTRY_VERIFY_WITH_TIMEOUT(p.peerModel()->getPeerForUuid(nullUuidString())->linkState() == IPeer::LinkUp, 10000);
        VfsCopyDto dto;
        dto.uuid = newUuidString();
        dto.srcPeerUuid = dto.dstPeerUuid = nullUuidString();
        dto.dstPath = dir.filePath(QStringLiteral("dst"));
        VfsCopyItem item;
        item.path = inside + QLatin1Char('/') + file;
        item.type = VfsCopyItem::FileType;
        item.size = 5;
        dto.items.push_back(item);
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(dto);
        QVERIFY(job);
        QQuickWindow *jobWindow = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((jobWindow = [] {
            for (QWindow *window : QGuiApplication::topLevelWindows())
                if (window->objectName() == QLatin1String("jobPane"))
                    return qobject_cast<QQuickWindow *>(window);
            return static_cast<QQuickWindow *>(nullptr);
        }()) && jobWindow->property("jobState").toInt() == int(VfsJob::VfsJobStateQuestion), 10000);

        Sweep sweep;
        sweep.names = QStringList{computer, drive, folder, file, nearby};
        sweep.everything();

        // The menu of computers, read while it is open.
        QTimer::singleShot(0, this, [&sweep] {
            QTRY_VERIFY(QApplication::activePopupWidget());
            for (QAction *action : QApplication::activePopupWidget()->actions())
                sweep.check(QStringLiteral("computer menu"), action->text(), Shown::Mnemonic);
            QApplication::activePopupWidget()->close();
        });
        w->openPeerMenu();

        for (const char *place : {"QQuickWidget/QQuickText", "tab", "tab tooltip", "view tooltip", "computer menu",
                                  "jobPane/QQuickText"})
            QVERIFY2(sweep.seen.contains(QLatin1String(place)), place);
        for (const QString &name : sweep.names)
            QVERIFY2(sweep.shown.contains(name), qPrintable(name));
        QVERIFY2(sweep.wrong.isEmpty(), qPrintable(sweep.wrong.join(QLatin1Char('\n'))));
        QVERIFY(!job.isNull());
        QMetaObject::invokeMethod(job.data(), "abort");
        QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);

        // Whatever the names point to stays unasked.
        QTest::qWait(300);
        QVERIFY(!pictures.hasPendingConnections());
    }
};

NUSK_WINDOW_TEST_MAIN(TestPlainNames)
#include "tst_plainnames.moc"
