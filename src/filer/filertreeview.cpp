#include "filer/filertreeview.h"

#include "app/base/log.h"
#include "filer/filer.h"
#include "filer/filerdelegates.h"
#include "vfs/models/vfsmodel.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

FilerTreeView::FilerTreeView(QWidget *parent)
    : QTreeView(parent)
    , m_filer(qobject_cast<Filer *>(parent))
    , m_drag(this, [this](const QString &path) {
        Q_EMIT clearDropTarget(path);
        if (!m_filer)
            clearDropMark(vfsModelOf(model()), path);
    })
{
    setDragEnabled(true);
    setAcceptDrops(true);
    setUniformRowHeights(true);
    // A to Z by name at first; QHeaderView would start its arrow at Z to A.
    header()->setSortIndicator(0, Qt::AscendingOrder);
    setSortingEnabled(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    setAllColumnsShowFocus(true);
    setIndentation(20);
    setItemsExpandable(false);
    setRootIsDecorated(false);
    setContentsMargins(0, 1, 0, 1);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setObjectName(QStringLiteral("VerticalScrollBar1"));
    header()->setMinimumSectionSize(0);
    m_delegate = new ItemDelegate(this);
    setItemDelegateForColumn(0, m_delegate);

    m_polishTimer = new QTimer(this);
    m_polishTimer->setSingleShot(true);
    connect(m_polishTimer, &QTimer::timeout, this, &FilerTreeView::polishColumWidths);
}

bool FilerTreeView::isPolishScheduled() const
{
    return m_polishTimer->isActive();
}

void FilerTreeView::schedulePolish(int ms)
{
    m_polishTimer->start(ms);
}

void FilerTreeView::deferPolish(int ms)
{
    if (m_polish >= 0) {
        m_polish = -1;
        schedulePolish(ms);
    } else {
        --m_polish;
    }
}

void FilerTreeView::setModel(QAbstractItemModel *model)
{
    disconnect(m_rowsConnection);
    QTreeView::setModel(model);
    // An empty model is polished when its first rows arrive, not by polling.
    if (model) {
        m_rowsConnection = connect(model, &QAbstractItemModel::rowsInserted, this, [this] {
            if (m_polish <= 0 && !m_polishTimer->isActive())
                schedulePolish(10);
        });
    }
    deferPolish(10);
}

void FilerTreeView::setRootIndex(const QModelIndex &index)
{
    schedulePolish(0);
    QTreeView::setRootIndex(index);
}

void FilerTreeView::setColumnHidden(int column, bool hide)
{
    QTreeView::setColumnHidden(column, hide);
    if (column == 0)
        schedulePolish(10);
}

void FilerTreeView::polishColumWidths()
{
    // Nothing to measure yet: the rows signal of the model brings the polish back.
    if (!model() || model()->rowCount(QModelIndex()) == 0)
        return;
    if (!isVisible())
        return;
    if (sizeHintForColumn(VfsModel::AccessColumn) > 21) {
        QTreeView::setColumnHidden(VfsModel::AccessColumn, false);
        resizeColumnToContents(VfsModel::AccessColumn);
    } else {
        QTreeView::setColumnHidden(VfsModel::AccessColumn, true);
    }
    resizeColumnToContents(VfsModel::SizeColumn);
    resizeColumnToContents(VfsModel::MTimeStringColumn);
    header()->setStretchLastSection(true);
    int other = 0;
    for (int c = 1; c < model()->columnCount(rootIndex()); ++c) {
        if (!isColumnHidden(c))
            other += sizeHintForColumn(c);
    }
    if (other < 0) {
        schedulePolish(10);
        return;
    }
    m_polish = 1;
    if (verticalScrollBar()->isVisible())
        other += verticalScrollBar()->width();
    const int w = width() - 1 - other - 31;
    if (w > 60)
        setColumnWidth(0, w);
}

void FilerTreeView::announceSizeChange()
{
    if (!model())
        return;
    const QModelIndex first = model()->index(0, 0, rootIndex());
    // The view listens to its model; with uniform rows one row's size change resizes all.
    if (first.isValid())
        QMetaObject::invokeMethod(model(), "dataChanged", Q_ARG(QModelIndex, first), Q_ARG(QModelIndex, first),
                                  Q_ARG(QVector<int>, QVector<int>{Qt::SizeHintRole}));
}

void FilerTreeView::increaseItemSize()
{
    if (!hasFocus() && !m_pointerInside)
        return;
    m_delegate->increaseSize();
    announceSizeChange();
}

void FilerTreeView::decreaseItemSize()
{
    if (!hasFocus() && !m_pointerInside)
        return;
    m_delegate->decreaseSize();
    announceSizeChange();
}

void FilerTreeView::mousePressEvent(QMouseEvent *event)
{
    m_leftPressed = event->button() == Qt::LeftButton;
    if (m_leftPressed)
        m_pressPos = event->localPos().toPoint();
    QTreeView::mousePressEvent(event);
    Q_EMIT viewActivated();
}

void FilerTreeView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || !m_leftPressed)
        return;
    if ((event->pos() - m_pressPos).manhattanLength() < QApplication::startDragDistance())
        return;
    m_leftPressed = false;
    m_drag.start(m_filer);
}

void FilerTreeView::focusOutEvent(QFocusEvent *event)
{
    QTreeView::focusOutEvent(event);
}

void FilerTreeView::enterEvent(QEvent *event)
{
    m_pointerInside = true;
    QTreeView::enterEvent(event);
}

void FilerTreeView::leaveEvent(QEvent *event)
{
    m_pointerInside = false;
    QTreeView::leaveEvent(event);
}

void FilerTreeView::resizeEvent(QResizeEvent *event)
{
    QTreeView::resizeEvent(event);
    deferPolish(16);
}

void FilerTreeView::showEvent(QShowEvent *event)
{
    QTreeView::showEvent(event);
    // A polish while hidden measured nothing, and the resizes since only counted down: a
    // pane that appears later would keep the name column at its first, narrow width.
    schedulePolish(0);
}

void FilerTreeView::dragEnterEvent(QDragEnterEvent *event)
{
    logPrintf(LogDbg1, "drag enter event: (%d, %d)", event->pos().x(), event->pos().y());
    if (isLogEnabled(LogDbg1)) {
        for (const QString &format : event->mimeData()->formats()) {
            const QByteArray data = event->mimeData()->data(format);
            const bool text = format == QLatin1String("text/plain") || format == QLatin1String("text/html")
                              || format == QLatin1String("text/uri-list");
            const QByteArray shown = text ? data.left(data.indexOf('\0') < 0 ? data.size() : data.indexOf('\0'))
                                          : data.toHex(' ');
            logPrintf(LogDbg1, "%s: %s", qUtf8Printable(format), shown.constData());
        }
    }
    if (event->mimeData()->hasFormat(QStringLiteral("text/uri-list"))) {
        event->acceptProposedAction();
        activateWindow();
    } else {
        event->ignore();
    }
}

void FilerTreeView::dragMoveEvent(QDragMoveEvent *event)
{
    event->accept();
    const QModelIndex under = indexAt(event->posF().toPoint());
    m_drag.track(under, under.column() == 0, event->mimeData());
}

void FilerTreeView::dropEvent(QDropEvent *event)
{
    m_drag.drop(m_filer, event);
}
