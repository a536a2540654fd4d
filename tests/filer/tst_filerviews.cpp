// The file views on the real file model of the local computer over a real folder: item
// geometry at each size, selection by keys and by the rubber band, drags carrying the peer
// and the paths (never an empty drag), drop targets, sorting with folders first, names shown
// literally, the column polish, and the icon list.

#include "filer/filer.h"
#include "filer/filerdelegates.h"
#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "filer/filerviewdrag.h"
#include "filer/iconlistmodel.h"
#include "desktop/common/desktopresources.h"
#include "peers/ipeer.h"
#include "testutil_filer.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QDrag>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

using namespace filertest;

namespace {

void setMtime(const QString &path, qint64 secs)
{
    struct utimbuf times{time_t(secs), time_t(secs)};
    ::utime(QFile::encodeName(path).constData(), &times);
}

QStringList columnNames(QAbstractItemModel *model, const QModelIndex &root)
{
    QStringList names;
    for (int r = 0; r < model->rowCount(root); ++r)
        names << model->index(r, 0, root).data(VfsModel::NameRole).toString();
    return names;
}

} // namespace

class TestFilerViews : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void iconViewGeometryAtEachSize();
    void listViewRowsAtEachSize();
    void selectionByKeysAndRubberBand();
    void dragsCarryPeerAndPathsNeverEmpty();
    void dropTargetsNeverTheDraggedFolder();
    void sortingByEachColumnKeepsFoldersFirst();
    void namesArePlainText();
    void polishWaitsForRowsInsteadOfPolling();
    void iconList();

private:
    QModelIndex rootOf() const { return m_sort->mapFromSource(m_model->indexForPath(m_root)); }
    QModelIndex item(const QString &name) const
    {
        return m_sort->mapFromSource(m_model->indexForPath(m_root + QLatin1Char('/') + name));
    }

    std::unique_ptr<LocalNetwork> m_net;
    QTemporaryDir m_dir;
    QString m_root;
    VfsModel *m_model = nullptr;
    VfsSortFilterProxyModel *m_sort = nullptr;
};

void TestFilerViews::initTestCase()
{
    initFilerViewResources();
    m_root = QDir(m_dir.path()).canonicalPath() + QStringLiteral("/tree");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QVERIFY(writeFile(m_root + QStringLiteral("/alpha.txt"), 10));
    QVERIFY(writeFile(m_root + QStringLiteral("/beta.dat"), 9));
    QVERIFY(writeFile(m_root + QStringLiteral("/gamma.bin"), 2000));
    QVERIFY(writeFile(m_root + QStringLiteral("/<b>x"), 3));
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/sub/inner")));
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/zdir")));
    setMtime(m_root + QStringLiteral("/alpha.txt"), now - 100);
    setMtime(m_root + QStringLiteral("/beta.dat"), now - 300);
    setMtime(m_root + QStringLiteral("/gamma.bin"), now - 200);
    m_net = std::make_unique<LocalNetwork>();
    QVERIFY(m_net->start());
    m_model = m_net->localModel();
    QVERIFY(m_net->reach(m_model, m_root));
    QVERIFY(m_net->reach(m_model, m_root + QStringLiteral("/sub")));
    QCOMPARE(m_model->rowCount(m_model->indexForPath(m_root)), 6);
    m_sort = new VfsSortFilterProxyModel(this);
    m_sort->setSourceModel(m_model);
    m_sort->setRootIndex(m_model->indexForPath(m_root));
    m_sort->sort(0);
}

void TestFilerViews::cleanupTestCase()
{
    delete m_sort;
    m_sort = nullptr;
    m_net.reset();
}

void TestFilerViews::iconViewGeometryAtEachSize()
{
    FilerIconView view;
    view.setModel(m_sort);
    view.setRootIndex(rootOf());
    view.resize(900, 700);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QList<int> sides;
    for (int i = 0; i < 4; ++i) {
        view.increaseItemSize();
        sides << view.itemSide();
    }
    QCOMPARE(sides, (QList<int>{120, 144, 144, 144}));
    sides.clear();
    for (int i = 0; i < 6; ++i) {
        view.decreaseItemSize();
        sides << view.itemSide();
    }
    QCOMPARE(sides.mid(2), (QList<int>{72, 72, 72, 72}));

    // Each size: the item is the icon box plus the wrapped name and the margins, and grows
    // with the box.
    int lastHeight = 0;
    for (int side : {72, 96, 120, 144}) {
        while (view.itemSide() < side)
            view.increaseItemSize();
        QCOMPARE(view.iconDelegate()->itemSize(), QSize(side, side));
        const QModelIndex file = item(QStringLiteral("alpha.txt"));
        const QRect rect = view.visualRect(file);
        QStyleOptionViewItem opt;
        opt.initFrom(&view);
        const int textHeight = view.fontMetrics().height();
        QCOMPARE(rect.width(), side + IconDelegate::kMargin);
        QVERIFY2(rect.height() >= side + textHeight + 2 * IconDelegate::kMargin, qPrintable(QString::number(rect.height())));
        QVERIFY(rect.height() > lastHeight);
        lastHeight = rect.height();
    }

    // A picture is drawn within the box, standing on its bottom, centred.
    const QRectF drawn = IconDelegate::thumbnailRect(QSize(1024, 512), QRect(10, 20, 128, 200), QSize(96, 96));
    QCOMPARE(drawn, QRectF(10, 20 + 32, 128, 64));
}

void TestFilerViews::listViewRowsAtEachSize()
{
    FilerTreeView view;
    view.setModel(m_sort);
    view.setRootIndex(rootOf());
    view.resize(600, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QModelIndex file = item(QStringLiteral("alpha.txt"));

    // Neither focus nor pointer: the size stays.
    view.clearFocus();
    const int before = view.itemDelegate0()->level();
    view.increaseItemSize();
    QCOMPARE(view.itemDelegate0()->level(), before);

    view.setFocus();
    QTRY_VERIFY(view.hasFocus());
    for (int i = 0; i < 6; ++i)
        view.decreaseItemSize();
    QList<int> heights;
    for (int i = 0; i < 6; ++i) {
        QTRY_COMPARE(view.visualRect(file).height(), view.itemDelegate0()->iconSize() + 2);
        heights << view.visualRect(file).height();
        view.increaseItemSize();
    }
    QCOMPARE(heights, (QList<int>{26, 34, 50, 66, 98, 98}));
    QCOMPARE(view.itemDelegate0()->level(), 6);

    // The rename editor leaves the big icon visible.
    view.edit(file);
    auto *editor = view.viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    QVERIFY2(editor->geometry().left() >= 96, qPrintable(QString::number(editor->geometry().left())));
    QCOMPARE(editor->text(), QStringLiteral("alpha.txt"));
}

void TestFilerViews::selectionByKeysAndRubberBand()
{
    QItemSelectionModel selection(m_sort);
    FilerTreeView tree;
    tree.setModel(m_sort);
    tree.setSelectionModel(&selection);
    tree.setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree.setRootIndex(rootOf());
    tree.resize(500, 400);
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    tree.setFocus();
    selection.setCurrentIndex(m_sort->index(0, 0, rootOf()), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::keyClick(&tree, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(&tree, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(selection.selectedRows().size(), 3);
    QTest::keyClick(&tree, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(selection.selectedRows().size(), 6);
    QTest::keyClick(&tree, Qt::Key_End);
    QCOMPARE(selection.selectedRows().size(), 1);

    // The icon view: a band drawn from empty space selects what it touches.
    FilerIconView icons;
    icons.setModel(m_sort);
    icons.setSelectionModel(&selection);
    icons.setRootIndex(rootOf());
    icons.resize(900, 600);
    icons.show();
    QVERIFY(QTest::qWaitForWindowExposed(&icons));
    selection.clearSelection();
    const QRect first = icons.visualRect(m_sort->index(0, 0, rootOf()));
    const QRect second = icons.visualRect(m_sort->index(1, 0, rootOf()));
    QVERIFY(first.isValid() && second.isValid());
    const QPoint start(4, icons.viewport()->height() - 4);
    QVERIFY(!icons.indexAt(start).isValid());
    QTest::mousePress(icons.viewport(), Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(icons.viewport(), QPoint(first.center().x(), first.top() + 4));
    QMouseEvent move(QEvent::MouseMove, QPointF(second.center().x(), first.top() + 4), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(icons.viewport(), &move);
    QTest::mouseRelease(icons.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(second.center().x(), first.top() + 4));
    const QModelIndexList rows = selection.selectedIndexes();
    QVERIFY2(rows.size() >= 2, qPrintable(QString::number(rows.size())));
}

void TestFilerViews::dragsCarryPeerAndPathsNeverEmpty()
{
    QList<QMimeData *> carried;
    QList<QPixmap> pictures;
    FilerViewDrag::setExecutor([&](QDrag *drag) {
        auto *copy = new QMimeData;
        for (const QString &f : drag->mimeData()->formats())
            copy->setData(f, drag->mimeData()->data(f));
        carried << copy;
        pictures << drag->pixmap();
        return Qt::CopyAction;
    });
    QItemSelectionModel selection(m_sort);
    FilerTreeView tree;
    tree.setModel(m_sort);
    tree.setSelectionModel(&selection);
    tree.setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree.setRootIndex(rootOf());
    tree.resize(500, 400);
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));

    const QModelIndex alpha = item(QStringLiteral("alpha.txt"));
    const QModelIndex beta = item(QStringLiteral("beta.dat"));
    selection.select(alpha, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QPoint at = tree.visualRect(beta).center();
    QTest::mousePress(tree.viewport(), Qt::LeftButton, Qt::ControlModifier, at);
    QTest::mouseMove(tree.viewport(), at + QPoint(40, 0));
    QMouseEvent move(QEvent::MouseMove, at + QPoint(40, 10), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &move);
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, Qt::NoModifier, at + QPoint(40, 10));
    QCOMPARE(carried.size(), 1);
    QString uuid;
    QStringList paths;
    QVERIFY(readFileDragData(carried.first(), &uuid, &paths));
    QCOMPARE(uuid, nullUuidString());
    paths.sort();
    QCOMPARE(paths, (QStringList{m_root + QStringLiteral("/alpha.txt"), m_root + QStringLiteral("/beta.dat")}));
    QVERIFY(carried.first()->hasUrls());
    // Two items: the picture names the count and has no icon, so it is just the text wide.
    QCOMPARE(pictures.first().width(), tree.fontMetrics().size(Qt::TextSingleLine, QStringLiteral("2 items")).width() + 8);

    // A Control click that takes the last item out of the selection leaves nothing to drag.
    selection.clearSelection();
    selection.select(beta, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::mousePress(tree.viewport(), Qt::LeftButton, Qt::ControlModifier, at);
    QVERIFY(selection.selectedIndexes().isEmpty());
    QMouseEvent move2(QEvent::MouseMove, at + QPoint(40, 10), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &move2);
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, Qt::NoModifier, at + QPoint(40, 10));
    QCOMPARE(carried.size(), 1);

    // The picture of one item shows that item's icon even when a later column comes first.
    QStandardItemModel plain(1, 5);
    QPixmap red(16, 16);
    red.fill(Qt::red);
    plain.setData(plain.index(0, 0), QStringLiteral("alpha.txt"), VfsModel::NameRole);
    plain.setData(plain.index(0, 0), QIcon(red), Qt::DecorationRole);
    plain.setData(plain.index(0, 4), QStringLiteral("10 B"), VfsModel::NameRole);
    const QPixmap one = createDragPixmap(&tree, {plain.index(0, 4), plain.index(0, 0)});
    const QSize text = tree.fontMetrics().size(Qt::TextSingleLine, QStringLiteral("alpha.txt"));
    QCOMPARE(one.width(), text.width() + 48 + 8);
    FilerViewDrag::setExecutor({});
    qDeleteAll(carried);
}

void TestFilerViews::dropTargetsNeverTheDraggedFolder()
{
    FilerIconView icons;
    icons.setModel(m_sort);
    icons.setRootIndex(rootOf());
    icons.resize(900, 600);
    icons.show();
    QVERIFY(QTest::qWaitForWindowExposed(&icons));
    QSignalSpy cleared(&icons, &FilerIconView::clearDropTarget);
    const QModelIndex sub = item(QStringLiteral("sub"));
    const QModelIndex zdir = item(QStringLiteral("zdir"));
    const QModelIndex alpha = item(QStringLiteral("alpha.txt"));

    auto moveOver = [&](const QModelIndex &index, QMimeData *data) {
        const QPoint pos = index.isValid() ? icons.visualRect(index).center() : QPoint(icons.viewport()->width() - 5, icons.viewport()->height() - 5);
        QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(icons.viewport(), &enter);
        QDragMoveEvent event(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(icons.viewport(), &event);
        return event.isAccepted();
    };
    auto marked = [&](const QModelIndex &index) { return index.data(VfsModel::FlagsRole).toInt() & VfsModel::DropTargetFlag; };

    std::unique_ptr<QMimeData> other(makeFileDragData(nullUuidString(), {m_dir.path() + QStringLiteral("/elsewhere")}));
    QVERIFY(moveOver(sub, other.get()));
    QVERIFY(marked(sub));
    QCOMPARE(icons.dragState().targetPath(), m_root + QStringLiteral("/sub"));
    // On to another folder: the first one's mark goes first.
    QVERIFY(moveOver(zdir, other.get()));
    QVERIFY(!marked(sub));
    QVERIFY(marked(zdir));
    QCOMPARE(cleared.last().first().toString(), m_root + QStringLiteral("/sub"));
    // Over a file: the shown folder takes the drop, nothing is marked.
    moveOver(alpha, other.get());
    QVERIFY(!marked(zdir));
    QCOMPARE(icons.dragState().targetPath(), m_root);

    // The dragged folder itself, and a folder inside it, are no targets.
    std::unique_ptr<QMimeData> self(makeFileDragData(nullUuidString(), {m_root + QStringLiteral("/sub")}));
    moveOver(sub, self.get());
    QVERIFY(!marked(sub));
    QVERIFY(icons.dragState().targetPath().isEmpty());
    std::unique_ptr<QMimeData> parent(makeFileDragData(nullUuidString(), {m_root}));
    moveOver(zdir, parent.get());
    QVERIFY(!marked(zdir));
    QVERIFY(icons.dragState().targetPath().isEmpty());

    // Plain text never enters.
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(icons.viewport(), &enter);
    QVERIFY(!enter.isAccepted());
}

void TestFilerViews::sortingByEachColumnKeepsFoldersFirst()
{
    FilerTreeView tree;
    tree.setModel(m_sort);
    tree.setRootIndex(rootOf());
    tree.show();
    const QStringList dirsAsc{QStringLiteral("sub"), QStringLiteral("zdir")};
    struct Case { int column; Qt::SortOrder order; QStringList files; };
    const Case cases[] = {
        {VfsModel::NameColumn, Qt::AscendingOrder, {"<b>x", "alpha.txt", "beta.dat", "gamma.bin"}},
        {VfsModel::SizeColumn, Qt::AscendingOrder, {"<b>x", "beta.dat", "alpha.txt", "gamma.bin"}},
        {VfsModel::SizeColumn, Qt::DescendingOrder, {"gamma.bin", "alpha.txt", "beta.dat", "<b>x"}},
        {VfsModel::MTimeStringColumn, Qt::AscendingOrder, {"beta.dat", "gamma.bin", "alpha.txt", "<b>x"}},
    };
    for (const Case &c : cases) {
        tree.header()->setSortIndicator(c.column, c.order);
        const QStringList names = columnNames(m_sort, rootOf());
        QCOMPARE(names.size(), 6);
        QStringList dirs = names.mid(0, 2);
        dirs.sort();
        QCOMPARE(dirs, dirsAsc);
        QCOMPARE(names.mid(2), c.files);
    }
    // By type text: folders still first, whatever the order.
    tree.header()->setSortIndicator(VfsModel::TypeColumn, Qt::DescendingOrder);
    const QStringList byType = columnNames(m_sort, rootOf());
    QVERIFY(byType.indexOf(QStringLiteral("sub")) < 2 && byType.indexOf(QStringLiteral("zdir")) < 2);
    tree.header()->setSortIndicator(0, Qt::AscendingOrder);
}

void TestFilerViews::namesArePlainText()
{
    FilerIconView view;
    view.setModel(m_sort);
    view.setRootIndex(rootOf());
    view.resize(900, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QModelIndex markup = item(QStringLiteral("<b>x"));
    QVERIFY(markup.isValid());
    QStyleOptionViewItem opt;
    opt.initFrom(view.viewport());
    opt.rect = QRect(QPoint(0, 0), view.iconDelegate()->sizeHint(opt, markup));
    opt.state &= ~QStyle::State_Selected;
    QImage image(opt.rect.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.setBackground(Qt::white);
        view.iconDelegate()->paint(&p, opt, markup);
    }
    // The ink of the name area spans the whole literal text, tags included.
    const int top = view.iconDelegate()->itemSize().height() + IconDelegate::kMargin;
    int left = image.width(), right = -1;
    for (int y = top; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 160) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    const int literal = view.fontMetrics().horizontalAdvance(QStringLiteral("<b>x"));
    QVERIFY2(right - left + 1 > literal * 3 / 4, qPrintable(QStringLiteral("%1 of %2").arg(right - left + 1).arg(literal)));
}

void TestFilerViews::polishWaitsForRowsInsteadOfPolling()
{
    QStandardItemModel model(0, 14);
    FilerTreeView tree;
    tree.resize(600, 300);
    tree.setModel(&model);
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    // Empty: tried once, then quiet until rows come (a view that polled would keep its timer
    // running).
    QTRY_VERIFY(!tree.isPolishScheduled());
    QVERIFY(tree.polishMarker() < 0);
    for (int c = 0; c < 14; ++c)
        tree.setColumnHidden(c, c != 0 && c != 4 && c != 7);
    QTRY_VERIFY(!tree.isPolishScheduled());
    QList<QStandardItem *> row;
    for (int c = 0; c < 14; ++c)
        row << new QStandardItem(QStringLiteral("x%1").arg(c));
    model.appendRow(row);
    QVERIFY(tree.isPolishScheduled());
    QTRY_COMPARE(tree.polishMarker(), 1);
    // The name column takes what the others leave, with room to spare.
    const int others = tree.columnWidth(4) + tree.columnWidth(7);
    QVERIFY(tree.columnWidth(0) > tree.width() / 2);
    QVERIFY(tree.columnWidth(0) + others < tree.width());

    // A view made in a pane that is not shown yet (the right pane at the first start) gives
    // the name column the free width once the pane appears.
    QWidget pane;
    auto *late = new FilerTreeView(&pane);
    late->setModel(&model);
    for (int c = 0; c < 14; ++c)
        late->setColumnHidden(c, c != 0 && c != 4 && c != 7);
    pane.resize(600, 300);
    late->resize(600, 300);
    QTRY_VERIFY(!late->isPolishScheduled());
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    QTRY_COMPARE(late->polishMarker(), 1);
    QVERIFY(late->columnWidth(0) > late->width() / 2);
    QVERIFY(late->columnWidth(0) + late->columnWidth(4) + late->columnWidth(7) < late->width());
}

void TestFilerViews::iconList()
{
    QTemporaryDir user;
    QVERIFY(writeFile(user.path() + QStringLiteral("/mine.png"), 10));
    QVERIFY(writeFile(user.path() + QStringLiteral("/deep/more.svg"), 10));
    QVERIFY(writeFile(user.path() + QStringLiteral("/LOUD.SVG"), 10));
    QVERIFY(writeFile(user.path() + QStringLiteral("/notes.txt"), 10));
    initDesktopResources();   // pictures in a folder below ":/icons"
    IconListModel model(user.path(), nullptr);
    QStringList urls;
    for (int r = 0; r < model.rowCount(); ++r)
        urls << model.data(model.index(r), IconListModel::PathRole).toString();
    for (const QString &url : urls) {
        QVERIFY2(!url.contains(QLatin1String(":/icons")), qPrintable(url));
        // Every built-in icon is one the theme provider finds.
        if (url.startsWith(QLatin1String("image://theme/icon/")))
            QVERIFY2(QFile::exists(":/icons/" + url.mid(19)), qPrintable(url));
        QVERIFY(url.startsWith(QLatin1String("image://theme/icon/")) || url.startsWith(QLatin1String("file:///")));
    }
    QVERIFY(urls.contains(QUrl::fromLocalFile(user.path() + QStringLiteral("/mine.png")).toString()));
    QVERIFY(urls.contains(QUrl::fromLocalFile(user.path() + QStringLiteral("/deep/more.svg")).toString()));
    QVERIFY(!urls.join(QLatin1Char(' ')).contains(QLatin1String("LOUD")));
    QVERIFY(!urls.join(QLatin1Char(' ')).contains(QLatin1String("notes")));
    QCOMPARE(urls.removeDuplicates(), 0);
    QVERIFY(!model.data(model.index(0), IconListModel::IconRole).isValid());
    QVERIFY(!model.data(model.index(model.rowCount()), IconListModel::PathRole).isValid());
    QCOMPARE(model.roleNames().value(IconListModel::PathRole), QByteArray("path"));
}

QTEST_MAIN(TestFilerViews)
#include "tst_filerviews.moc"
