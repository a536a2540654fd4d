#include "filer/statusline.h"

#include <QEvent>
#include <QLayout>

StatusLine::StatusLine(QWidget *parent)
    : QStatusBar(parent)
{
}

bool StatusLine::event(QEvent *event)
{
    const bool handled = QStatusBar::event(event);
    // The status bar has laid its items out again. When its height changed, the page lays
    // itself out again now: asked the usual way, a page whose layout last ran while it was
    // hidden never does.
    if (event->type() == QEvent::LayoutRequest) {
        const int hint = sizeHint().height();
        if (hint != m_heightHint) {
            m_heightHint = hint;
            updateGeometry();
            if (QWidget *page = parentWidget(); page && page->layout()) {
                page->layout()->invalidate();
                page->layout()->activate();
            }
        }
    }
    return handled;
}
