#include "filer/clickthroughguard.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QWidget>

ClickThroughGuard::ClickThroughGuard(QObject *parent)
    : QObject(parent)
{
}

void ClickThroughGuard::watch(QWidget *widget)
{
    widget->installEventFilter(this);
}

void ClickThroughGuard::clicked()
{
    m_armed = true;
    m_since.start();
    m_at = QCursor::pos();
}

bool ClickThroughGuard::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (!m_armed
        || (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick && type != QEvent::MouseButtonRelease))
        return QObject::eventFilter(watched, event);
    const auto *mouse = static_cast<QMouseEvent *>(event);
    if (m_since.elapsed() > QApplication::doubleClickInterval()
        || (mouse->globalPos() - m_at).manhattanLength() > QApplication::startDragDistance()) {
        m_armed = false;
        return QObject::eventFilter(watched, event);
    }
    // The release ends the double-click; nothing of it is left to drop.
    if (type == QEvent::MouseButtonRelease)
        m_armed = false;
    return true;
}
