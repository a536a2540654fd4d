#include "filer/filericonview.h"

#include "app/base/log.h"
#include "filer/filer.h"
#include "filer/filerdelegates.h"
#include "vfs/models/vfsmodel.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QMouseEvent>

FilerIconView::FilerIconView(QWidget *parent)
    : QListView(parent)
    , m_filer(qobject_cast<Filer *>(parent))
    , m_drag(this, [this](const QString &path) {
        Q_EMIT clearDropTarget(path);
        if (!m_filer)
            clearDropMark(vfsModelOf(model()), path);
    })
{
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setViewMode(QListView::IconMode);
    setMouseTracking(true);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setSpacing(16);
    setWordWrap(true);
    setWrapping(true);
    setSelectionRectVisible(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    viewport()->setAcceptDrops(true);
    setObjectName(QStringLiteral("FilerIconView"));
    setViewportMargins(8, 8, 0, 0);
    m_delegate = new IconDelegate(this);
    setItemDelegate(m_delegate);
    m_delegate->setItemSize(QSize(96, 96));
}

void FilerIconView::increaseItemSize()
{
    if ((m_level + 1) * kStep > 159)
        return;
    applyItemSize(m_level + 1);
}

void FilerIconView::decreaseItemSize()
{
    if ((m_level - 1) * kStep <= 56)
        return;
    applyItemSize(m_level - 1);
}

void FilerIconView::applyItemSize(int level)
{
    m_level = level;
    const int n = level * kStep;
    m_delegate->setItemSize(QSize(n, n));
    scheduleDelayedItemsLayout();
    executeDelayedItemsLayout();
    if (m_scrollLock.isValid() && model()) {
        const QModelIndex again = model()->index(m_scrollLock.row(), m_scrollLock.column(), rootIndex());
        m_scrollLock = again;
        if (again.isValid())
            scrollTo(again, QAbstractItemView::PositionAtTop);
    }
}

void FilerIconView::mousePressEvent(QMouseEvent *event)
{
    m_pressState = NoPress;
    m_pressPos = QPoint();
    if (event->button() == Qt::LeftButton) {
        if (indexAt(event->pos()).isValid()) {
            m_pressPos = event->localPos().toPoint();
            m_pressState = PressOnItem;
        } else {
            m_pressState = PressOnEmpty;
        }
    }
    QListView::mousePressEvent(event);
    Q_EMIT viewActivated();
}

void FilerIconView::mouseReleaseEvent(QMouseEvent *event)
{
    m_pressState = NoPress;
    QListView::mouseReleaseEvent(event);
}

void FilerIconView::mouseMoveEvent(QMouseEvent *event)
{
    if (m_pressState == PressOnItem) {
        if (!(event->buttons() & Qt::LeftButton))
            return;
        event->accept();
        if ((event->pos() - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
            m_pressState = NoPress;
            m_drag.start(m_filer);
        }
        return;
    }
    if (event->buttons() & Qt::LeftButton)
        QListView::mouseMoveEvent(event);
}

void FilerIconView::keyPressEvent(QKeyEvent *event)
{
    if (event->modifiers() == Qt::ControlModifier && !m_scrollLock.isValid()) {
        QModelIndex found;
        for (int y = 32; y <= 144 && !found.isValid(); y += 16)
            found = indexAt(QPoint(32, y));
        m_scrollLock = found;
        logPrintf(LogDbg1, "scroll lock on: %s", qUtf8Printable(found.data(VfsModel::NameRole).toString()));
    }
    QListView::keyPressEvent(event);
}

void FilerIconView::keyReleaseEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Control)
        m_scrollLock = QPersistentModelIndex();
    QWidget::keyReleaseEvent(event);
}

void FilerIconView::dragEnterEvent(QDragEnterEvent *event)
{
    logPrintf(LogDbg1, "drag enter");
    if (event->mimeData()->hasFormat(QStringLiteral("text/uri-list"))) {
        event->acceptProposedAction();
        activateWindow();
    } else {
        event->ignore();
    }
}

void FilerIconView::dragMoveEvent(QDragMoveEvent *event)
{
    event->accept();
    m_drag.track(indexAt(event->posF().toPoint()), true, event->mimeData());
}

void FilerIconView::dropEvent(QDropEvent *event)
{
    m_pressState = NoPress;
    m_drag.drop(m_filer, event);
}
