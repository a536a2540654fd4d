// The breadcrumb bar, the peer page and the computer list as the user meets them: real QML on
// a QQuickWidget, driven by mouse and keys.

#include "testutil_panes.h"

#include "filer/breadcrumb.h"
#include "peers/peeraclmodel.h"
#include "peers/peermodel.h"

#include <QDir>
#include <QSignalSpy>
#include <QTranslator>
#include <QUrl>
#include <QtTest>

using namespace panestest;

namespace {

const QString kLocalUuid = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
// Starts like the local uuid; only equality may tell the local computer.
const QString kLookalikeUuid = QStringLiteral("{00000000-0000-0000-0000-00000000abcd}");

void clickItem(QQuickWidget *widget, QQuickItem *item, QPointF at = QPointF(-1, -1))
{
    QVERIFY(item);
    // Laid out first: the same place in the scene over two passes of the event loop.
    QPointF before;
    QTRY_VERIFY([&] {
        const QPointF now = item->mapToScene(QPointF(0, 0));
        const bool same = now == before && item->width() > 0 && item->isVisible();
        before = now;
        return same;
    }());
    if (at.x() < 0)
        at = QPointF(item->width() / 2, item->height() / 2);
    const QPoint point = item->mapToScene(at).toPoint();
    QTest::mouseMove(widget, point);
    QTest::mouseClick(widget, Qt::LeftButton, {}, point);
}

// A folder of this computer shared, read only, with the page's computer.
PeerAclDto photosShare()
{
    PeerAclDto acl;
    acl.uuid = QStringLiteral("{5d1e9c57-08f4-4c43-9ad0-6a4e52d1b001}");
    acl.name = QStringLiteral("photos");
    acl.selector = QStringLiteral("/home/me/photos");
    acl.flags = 0x5;
    return acl;
}

// The texts shown in `item` and below it that are cut: elided, or reaching past the page's
// edges (where the page would clip them).
QStringList cutTexts(QQuickItem *item, qreal pageWidth)
{
    QStringList cut;
    if (!item->isVisible() || item->opacity() == 0)
        return cut;
    const QString text = item->property("text").toString();
    if (item->inherits("QQuickText") && !text.isEmpty()) {
        const QRectF box = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        const qreal inkRight = item->mapToScene(QPointF(item->property("contentWidth").toReal(), 0)).x();
        if (item->property("truncated").toBool() || box.left() < 0 || qMax(box.right(), inkRight) > pageWidth + 0.5)
            cut << text;
    }
    for (QQuickItem *child : item->childItems())
        cut << cutTexts(child, pageWidth);
    return cut;
}

// The German catalogue while it lives.
struct InGerman
{
    InGerman()
    {
        if (catalogue.load(QStringLiteral(":/i18n/nusk_de.qm")))
            QCoreApplication::installTranslator(&catalogue);
    }
    ~InGerman() { QCoreApplication::removeTranslator(&catalogue); }
    QTranslator catalogue;
};

// A page document of the pane on a widget of its own, shown at `size`.
std::unique_ptr<QQuickWidget> showPage(QQmlEngine *engine, const char *document, QSize size)
{
    auto page = std::make_unique<QQuickWidget>(engine, nullptr);
    page->setResizeMode(QQuickWidget::SizeRootObjectToView);
    page->setSource(QUrl(QStringLiteral("qrc:/qml/") + QLatin1String(document)));
    page->resize(size);
    page->show();
    return page;
}

} // namespace

class TstFilerPages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { setUpProcess(); }

    void breadcrumbShowsEditsAndReportsPath()
    {
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        QWidget parent;   // not laid out yet: zero wide
        TopNavigation bar(engine.get(), &parent);
        QVERIFY2(bar.rootObject(), "BreadCrumb.qml did not load");
        QVERIFY(bar.minimumWidth() >= TopNavigation::kMinimumWidth);

        // The home place carries a file URL of the home folder, not a host named after it.
        const QUrl home(bar.rootObject()->property("homeUrl").toString());
        QVERIFY(home.host().isEmpty());
        QCOMPARE(home.toLocalFile(), QDir::homePath());

        parent.resize(900, 140);
        bar.resize(900, 140);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QObject *root = bar.rootObject();
        root->setProperty("width", 900);   // as the browser does
        root->setProperty("pathList", QStringList{QStringLiteral("/"), QStringLiteral("srv"), QStringLiteral("<b>x</b>")});
        root->setProperty("fullPath", QStringLiteral("/srv/<b>x</b>"));
        root->setProperty("editPath", QStringLiteral("/srv/<b>x</b>"));
        QMetaObject::invokeMethod(root, "setPath", Q_ARG(QVariant, QVariant(QStringList{
                                      QStringLiteral("/"), QStringLiteral("srv"), QStringLiteral("<b>x</b>")})));
        auto *crumbs = findItem(&bar, QStringLiteral("crumbList"));
        QVERIFY(crumbs);
        QTRY_COMPARE(crumbs->property("count").toInt(), 3);

        QSignalSpy clicked(root, SIGNAL(indexClicked(int)));
        QSignalSpy edited(root, SIGNAL(pathEdited(QString)));
        QQuickItem *strip = findItem(&bar, QStringLiteral("crumbStripArea"));
        QVERIFY(strip);
        QTRY_VERIFY(strip->width() > 300);   // laid out at the browser's width
        QQuickItem *second = nullptr;
        QMetaObject::invokeMethod(crumbs, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, second), Q_ARG(int, 1));
        clickItem(&bar, second, QPointF(10, second ? second->height() / 2 : 0));
        QTRY_COMPARE(clicked.count(), 1);
        QCOMPARE(clicked.at(0).at(0).toInt(), 1);

        // A click on the free part of the strip edits the path; Escape leaves it unchanged.
        clickItem(&bar, strip, QPointF(strip->width() - 10, strip->height() / 2));
        QTRY_COMPARE(root->property("state").toString(), QStringLiteral("pathedit"));
        auto *input = findItem(&bar, QStringLiteral("pathInput"));
        QCOMPARE(input->property("text").toString(), QStringLiteral("/srv/<b>x</b>"));
        QTest::keyClick(&bar, Qt::Key_Escape);
        QTRY_COMPARE(root->property("state").toString(), QStringLiteral("files"));
        QCOMPARE(edited.count(), 0);

        clickItem(&bar, strip, QPointF(strip->width() - 10, strip->height() / 2));
        QTRY_COMPARE(root->property("state").toString(), QStringLiteral("pathedit"));
        QTest::keySequence(&bar, QKeySequence::SelectAll);
        QTest::keyClicks(&bar, QStringLiteral("/tmp/other"));
        QTest::keyClick(&bar, Qt::Key_Return);
        QTRY_COMPARE(edited.count(), 1);
        QCOMPARE(edited.at(0).at(0).toString(), QStringLiteral("/tmp/other"));
        QCOMPARE(root->property("state").toString(), QStringLiteral("files"));

        // The optional buttons follow the mask bits the browser writes.
        auto *nodeView = findItem(&bar, QStringLiteral("nodeViewButton"));
        auto *newWindow = findItem(&bar, QStringLiteral("newWindowButton"));
        QVERIFY(!nodeView->isVisible() && !newWindow->isVisible());
        root->setProperty("showToggleNodeViewButton", true);
        QVERIFY(nodeView->isVisible() && !newWindow->isVisible());
    }

    // German names are long: a path the strip can hold is shown whole, whatever the pane's
    // width; one it cannot hold gives up whole crumbs at its start behind a mark, never a
    // word cut at the edge without one; a single name longer than the strip is elided.
    void pathBarCutsOnlyWhatDoesNotFit()
    {
        InGerman german;
        QVERIFY(!german.catalogue.isEmpty());
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        QWidget parent;
        TopNavigation bar(engine.get(), &parent);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QObject *root = bar.rootObject();
        auto *crumbs = findItem(&bar, QStringLiteral("crumbList"));
        auto *mark = findItem(&bar, QStringLiteral("crumbMark"));
        QVERIFY(crumbs && mark);
        const QString shares = qtTrId("place-shares");
        QCOMPARE(shares, QStringLiteral("Freigaben"));
        const QList<QStringList> paths = {
            {shares, QStringLiteral("Documents")},
            {shares, QStringLiteral("Shared"), QStringLiteral("Pictures"), QStringLiteral("Iceland 2024"), QStringLiteral("Reykjavik")},
            {shares, QStringLiteral("Die Sammlung aller Urlaubsbilder der ganzen Familie seit dem Jahr 1998")},
        };
        int whole = 0, marked = 0, elided = 0;
        for (int width = TopNavigation::kMinimumWidth; width <= 900; width += 20) {
            parent.resize(width, 140);
            bar.resize(width, 140);
            root->setProperty("width", width);   // as the browser does
            for (const QStringList &path : paths) {
                QMetaObject::invokeMethod(root, "setPath", Q_ARG(QVariant, QVariant(path)));
                QTRY_COMPARE(crumbs->property("count").toInt(), path.size());
                // The strip fits its crumbs once they are measured, and the bar may then turn
                // compact to keep the last one whole: read it once it stays put.
                QPointF placed;
                QVERIFY(settledAt(&bar, [crumbs] {
                    const QRectF r = crumbs->mapRectToScene(QRectF(0, 0, crumbs->width(), crumbs->height()));
                    return QPointF(r.left(), r.width());
                }, &placed));
                const QRectF strip = crumbs->mapRectToScene(QRectF(0, 0, crumbs->width(), crumbs->height()));
                const QRectF frame = crumbs->parentItem()->mapRectToScene(
                    QRectF(0, 0, crumbs->parentItem()->width(), crumbs->parentItem()->height()));
                qreal needed = 0;
                QStringList cut, hidden;
                for (int i = 0; i < path.size(); ++i) {
                    QQuickItem *crumb = nullptr;
                    QMetaObject::invokeMethod(crumbs, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, crumb), Q_ARG(int, i));
                    QVERIFY(crumb);
                    needed += crumb->width();
                    const QRectF at = crumb->mapRectToScene(QRectF(0, 0, crumb->width(), crumb->height()));
                    if (at.right() <= strip.left() + 0.5)
                        hidden << path[i];
                    else if (at.left() < strip.left() - 0.5 || at.right() > strip.right() + 0.5)
                        cut << path[i];
                    if (crumb->findChild<QQuickItem *>(QStringLiteral("crumbText"))->property("truncated").toBool())
                        elided += 1;
                }
                const QString where = QStringLiteral("%1 wide, %2").arg(width).arg(path.join(QLatin1Char('/')));
                QVERIFY2(cut.isEmpty(), qPrintable(where + QStringLiteral(": cut ") + cut.join(QLatin1Char(','))));
                QVERIFY2(strip.right() <= frame.right() + 0.5, qPrintable(where));
                QCOMPARE(mark->isVisible(), !hidden.isEmpty());
                if (needed <= frame.width() - 8) {
                    QVERIFY2(hidden.isEmpty(), qPrintable(where + QStringLiteral(": fits, but hides ") + hidden.join(QLatin1Char(','))));
                    whole += 1;
                } else {
                    QVERIFY2(!hidden.isEmpty() || path.size() == 1, qPrintable(where));
                    marked += 1;
                }
            }
        }
        // Each way was met: whole paths, marked ones, a name elided in a narrow strip.
        QVERIFY2(whole > 0 && marked > 0 && elided > 0, qPrintable(QStringLiteral("%1 %2 %3").arg(whole).arg(marked).arg(elided)));
    }

    void peerPageFollowsLinkAndTellsLocalFromRemote()
    {
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        std::unique_ptr<IPeer> local(makePeer(kLocalUuid, QStringLiteral("desk"), IPeer::LinkUp));
        std::unique_ptr<IPeer> remote(makePeer(kLookalikeUuid, QStringLiteral("<i>laptop</i>"), IPeer::LinkUp));
        setDrives(remote.get(), {{QStringLiteral("/"), 500000000000ull, 125000000000ull},
                                 {QStringLiteral("/media/usb"), 64000000000ull, 60000000000ull}});

        QQuickWidget page(engine.get(), nullptr);
        page.setResizeMode(QQuickWidget::SizeRootObjectToView);
        page.setSource(QUrl(QStringLiteral("qrc:/qml/PeerView.qml")));
        QVERIFY2(page.rootObject(), "PeerView.qml did not load");
        page.resize(800, 600);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QObject *root = page.rootObject();
        QSignalSpy paths(root, SIGNAL(pathClicked(QString)));
        QSignalSpy localPaths(root, SIGNAL(localPathClicked(QString)));
        QSignalSpy edits(root, SIGNAL(editPeerAclClicked(QString, QString)));

        root->setProperty("peer", QVariant::fromValue<QObject *>(local.get()));
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("drives"));
        QCOMPARE(root->property("isSelfPeer").toBool(), true);

        root->setProperty("peer", QVariant::fromValue<QObject *>(remote.get()));
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("drives"));
        QCOMPARE(root->property("isSelfPeer").toBool(), false);
        auto *card = findItem(&page, QStringLiteral("peerCard"));
        QCOMPARE(card->property("isSelf").toBool(), false);
        // A name from the network stays text.
        auto *name = findItem(&page, QStringLiteral("peerCardName"));
        QCOMPARE(name->property("text").toString(), QStringLiteral("<i>laptop</i>"));
        QCOMPARE(name->property("textFormat").toInt(), int(Qt::PlainText));

        // Both drives are listed with their free space; a row opens its drive.
        auto *drives = findItem(&page, QStringLiteral("drivesPage"));
        QTRY_COMPARE(drives->property("count").toInt(), 2);
        auto *space = findItem(&page, QStringLiteral("driveSpaceText"));
        QVERIFY(space);
        QCOMPARE(space->property("text").toString(), QStringLiteral("500 GB  \u2044  125 GB free"));
        // The column of links ends where the drive cards end, level with the card's middle.
        QQuickItem *links = findItem(&page, QStringLiteral("peerSharesLink"))->parentItem();
        QTRY_COMPARE(links->mapToScene(QPointF(links->width(), 0)).x(), drives->mapToScene(QPointF(drives->width(), 0)).x());
        QCOMPARE(links->mapToScene(QPointF(0, links->height() / 2)).y(), card->mapToScene(QPointF(0, card->height() / 2)).y());
        clickItem(&page, drives, QPointF(40, 20));
        QTRY_COMPARE(paths.count(), 1);
        QCOMPARE(paths.at(0).at(0).toString(), QStringLiteral("/"));

        // Down: the offline page; up again: back to the drives.
        remote->setLinkState(IPeer::LinkDown);
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("offline"));
        remote->setLinkState(IPeer::LinkConnecting);
        QCOMPARE(root->property("page").toString(), QStringLiteral("offline"));
        remote->setLinkState(IPeer::LinkUp);
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("drives"));

        // The own shares are paths of this computer: a click asks for the local path, never
        // for that path on the remote computer.
        const PeerAclDto acl = photosShare();
        remote->aclModel()->updateAcls({acl});
        QMetaObject::invokeMethod(root, "showMyShares");
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("myshares"));
        // The link of the page on show stands out.
        auto linkIsBold = [&](const char *name) {
            auto *text = findItem(&page, QLatin1String(name))->property("contentItem").value<QQuickItem *>();
            return text->property("font").value<QFont>().bold();
        };
        QVERIFY(linkIsBold("mySharesLink") && !linkIsBold("peerSharesLink"));
        auto *acls = findItem(&page, QStringLiteral("aclList"));
        QTRY_COMPARE(acls->property("count").toInt(), 1);
        // The row itself is clicked: the list counts it before it has made and placed it.
        QQuickItem *row = nullptr;
        QTRY_VERIFY([&] {
            for (QQuickItem *child : acls->childItems())
                if (child->inherits("QQuickListView"))
                    QMetaObject::invokeMethod(child, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, row), Q_ARG(int, 0));
            return row && row->height() > 0;
        }());
        clickItem(&page, row, QPointF(60, 20));
        QTRY_COMPARE(localPaths.count(), 1);
        QCOMPARE(localPaths.at(0).at(0).toString(), acl.selector);
        QCOMPARE(paths.count(), 1);
        clickItem(&page, findItem(&page, QStringLiteral("aclEditLink")));
        QTRY_COMPARE(edits.count(), 1);
        QCOMPARE(edits.at(0).at(0).toString(), kLookalikeUuid);
        QCOMPARE(edits.at(0).at(1).toString(), acl.uuid);

        // The peer's shared items: its shared folders, then the drives it shares; a drive row
        // opens that drive of the peer.
        QMetaObject::invokeMethod(root, "showPeerShares");
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("shares"));
        auto *sharedDrives = findItem(&page, QStringLiteral("sharedDrivesList"));
        QVERIFY(sharedDrives);
        QTRY_COMPARE(sharedDrives->property("count").toInt(), 2);
        auto *none = findItem(&page, QStringLiteral("noPeerSharesText"));
        QVERIFY(!none->isVisible());
        clickItem(&page, sharedDrives, QPointF(40, 20));
        QTRY_COMPARE(paths.count(), 2);
        QCOMPARE(paths.at(1).at(0).toString(), QStringLiteral("/"));

        // Nothing shared by the peer: the page says so, with the peer's name.
        std::unique_ptr<IPeer> bare(makePeer(QStringLiteral("{7f000000-0000-4000-8000-0000000000b3}"),
                                             QStringLiteral("<i>nas</i>"), IPeer::LinkUp));
        root->setProperty("peer", QVariant::fromValue<QObject *>(bare.get()));
        QMetaObject::invokeMethod(root, "showPeerShares");
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("shares"));
        QTRY_VERIFY(none->isVisible());
        QCOMPARE(sharedDrives->property("count").toInt(), 0);
        QVERIFY(none->property("text").toString().contains(QStringLiteral("<i>nas</i>")));
        root->setProperty("peer", QVariant());
    }

    // A computer's page in a pane of the window at its first-start size, in English and in
    // German: every text whole and inside the pane, on each of the page's pages.
    void computerPageFitsTheDefaultPane()
    {
        for (const bool german : {false, true}) {
            QTranslator catalogue;
            if (german) {
                QVERIFY(catalogue.load(QStringLiteral(":/i18n/nusk_de.qm")));
                QCoreApplication::installTranslator(&catalogue);
            }
            FakeMainWindow mainWindow;
            PeerModel model;
            auto engine = makeEngine(&mainWindow, &model);
            std::unique_ptr<IPeer> remote(makePeer(kLookalikeUuid, QStringLiteral("studio"), IPeer::LinkUp));
            setDrives(remote.get(), {{QStringLiteral("/"), 250000000000ull, 72000000000ull},
                                     {QStringLiteral("/media/usb"), 64000000000ull, 60000000000ull}});
            remote->aclModel()->updateAcls({photosShare()});

            QQuickWidget page(engine.get(), nullptr);
            page.setResizeMode(QQuickWidget::SizeRootObjectToView);
            page.setSource(QUrl(QStringLiteral("qrc:/qml/PeerView.qml")));
            QVERIFY(page.rootObject());
            page.resize(504, 700);
            page.show();
            QVERIFY(QTest::qWaitForWindowExposed(&page));
            auto *root = qobject_cast<QQuickItem *>(page.rootObject());
            root->setProperty("peer", QVariant::fromValue<QObject *>(remote.get()));
            QTRY_COMPARE(root->property("page").toString(), QStringLiteral("drives"));
            QTRY_COMPARE(findItem(&page, QStringLiteral("drivesPage"))->property("count").toInt(), 2);
            // And in a pane narrower still, where the links go below the card.
            for (const int width : {504, 400}) {
                page.resize(width, 700);
                for (const char *show : {"showMyShares", "showPeerShares"}) {
                    QMetaObject::invokeMethod(root, show);
                    QTRY_VERIFY(root->property("page").toString() != QLatin1String("drives"));
                    QTRY_COMPARE(cutTexts(root, page.width()), QStringList());
                    QVERIFY(root->property("contentWidth").toReal() <= page.width());
                }
                root->setProperty("requestedPage", QStringLiteral("drives"));
                QTRY_COMPARE(cutTexts(root, page.width()), QStringList());
            }
            root->setProperty("peer", QVariant());
            if (german)
                QCoreApplication::removeTranslator(&catalogue);
        }
    }

    // German: the computer page's links stay where they are when the chosen one turns bold,
    // whatever the pane's width, so the next click lands where the person aims.
    void chosenLinkMovesNothing()
    {
        InGerman german;
        QVERIFY(!german.catalogue.isEmpty());
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        std::unique_ptr<IPeer> remote(makePeer(kLookalikeUuid, QStringLiteral("studio"), IPeer::LinkUp));
        auto shown = showPage(engine.get(), "PeerView.qml", QSize(650, 600));
        QQuickWidget &page = *shown;
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        auto *root = qobject_cast<QQuickItem *>(page.rootObject());
        QVERIFY(root);
        root->setProperty("peer", QVariant::fromValue<QObject *>(remote.get()));
        QTRY_COMPARE(root->property("page").toString(), QStringLiteral("drives"));
        QQuickItem *shares = findItem(&page, QStringLiteral("peerSharesLink"));
        QQuickItem *card = findItem(&page, QStringLiteral("peerCard"));
        QVERIFY(shares && card);
        const auto link = [&] { return shares->mapToScene(QPointF(0, 0)); };
        int beside = 0, below = 0;
        for (int width = 400; width <= 1000; width += 5) {
            page.resize(width, 600);
            root->setProperty("requestedPage", QStringLiteral("drives"));
            QPointF before, now;
            QVERIFY(settledAt(&page, link, &before));
            (before.y() < card->mapToScene(QPointF(0, card->height())).y() ? beside : below) += 1;
            clickItem(&page, shares);
            QTRY_COMPARE(root->property("page").toString(), QStringLiteral("shares"));
            QVERIFY(shares->property("font").value<QFont>().bold());
            QVERIFY(settledAt(&page, link, &now));
            QCOMPARE(now, before);
        }
        // Both layouts were met: beside the card in a wide pane, below it in a narrow one.
        QVERIFY2(beside > 0 && below > 0, qPrintable(QStringLiteral("%1 beside, %2 below").arg(beside).arg(below)));
        root->setProperty("peer", QVariant());
    }

    // At start-up the stored computers are loaded before this one: this computer still heads
    // the list, as it did when it was the first one known.
    void thisComputerHeadsTheList()
    {
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        IPeer *laptop = makePeer(QStringLiteral("{7f000000-0000-4000-8000-000000000001}"), QStringLiteral("laptop"), IPeer::LinkUp, &model);
        IPeer *nas = makePeer(QStringLiteral("{7f000000-0000-4000-8000-000000000002}"), QStringLiteral("nas"), IPeer::LinkDown, &model);
        IPeer *local = makePeer(kLocalUuid, QStringLiteral("desk"), IPeer::LinkUp, &model);
        for (IPeer *peer : {laptop, nas, local})
            model.addPeer(peer);

        auto page = showPage(engine.get(), "MachineList.qml", QSize(300, 600));
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        auto *list = findItem(page.get(), QStringLiteral("machineListView"));
        QVERIFY(list);
        QTRY_COMPARE(list->property("count").toInt(), 3);
        auto top = [&] {
            QQuickItem *first = nullptr;
            for (QQuickItem *item : list->property("contentItem").value<QQuickItem *>()->childItems())
                if (item->property("peer").value<QObject *>() && (!first || item->y() < first->y()))
                    first = item;
            return first ? first->property("peer").value<QObject *>() : nullptr;
        };
        QTRY_COMPARE(top(), static_cast<QObject *>(local));
        QCOMPARE(model.index(0).data(PeerModel::PeerUuidRole).toString(), kLocalUuid);
    }

    void computerListShowsLinkStatesAndOfflineHint()
    {
        FakeMainWindow mainWindow;
        PeerModel model;
        auto engine = makeEngine(&mainWindow, &model);
        IPeer *local = makePeer(kLocalUuid, QStringLiteral("desk"), IPeer::LinkUp, &model);
        IPeer *up = makePeer(QStringLiteral("{7f000000-0000-4000-8000-000000000001}"), QStringLiteral("laptop"), IPeer::LinkUp, &model);
        IPeer *down = makePeer(QStringLiteral("{7f000000-0000-4000-8000-000000000002}"), QStringLiteral("nas"), IPeer::LinkDown, &model);
        for (IPeer *peer : {local, up, down})
            model.addPeer(peer);

        QQuickWidget page(engine.get(), nullptr);
        page.setResizeMode(QQuickWidget::SizeRootObjectToView);
        page.setSource(QUrl(QStringLiteral("qrc:/qml/MachineList.qml")));
        QVERIFY2(page.rootObject(), "MachineList.qml did not load");
        page.resize(300, 600);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        auto *list = findItem(&page, QStringLiteral("machineListView"));
        QTRY_COMPARE(list->property("count").toInt(), 3);

        auto stateOf = [&](IPeer *peer) {
            for (QQuickItem *item : list->property("contentItem").value<QQuickItem *>()->childItems()) {
                if (item->property("peer").value<QObject *>() == peer)
                    return item->state();
            }
            return QString();
        };
        QCOMPARE(stateOf(up), QStringLiteral("connected"));
        QCOMPARE(stateOf(down), QStringLiteral("offline"));
        down->setLinkState(IPeer::LinkConnecting);
        QTRY_COMPARE(stateOf(down), QStringLiteral("reachable"));

        QSignalSpy selected(page.rootObject(), SIGNAL(peerSelected(IPeer *)));
        QVERIFY(selected.isValid());
        QQuickItem *second = nullptr;
        for (QQuickItem *item : list->property("contentItem").value<QQuickItem *>()->childItems())
            if (item->property("peer").value<QObject *>() == up)
                second = item;
        clickItem(&page, second);
        QTRY_COMPARE(selected.count(), 1);
        QCOMPARE(selected.at(0).at(0).value<IPeer *>(), up);

        auto *hint = findItem(&page, QStringLiteral("offlineHint"));
        QVERIFY(!hint->isVisible());
        mainWindow.setNetworkEnabled(false);
        QTRY_VERIFY(hint->isVisible());
        mainWindow.setNetworkEnabled(true);
        QTRY_VERIFY(!hint->isVisible());
    }
};

QTEST_MAIN(TstFilerPages)
#include "tst_filerpages.moc"
