#include "filer/panetabs.h"

#include <QStyle>
#include <QStyleOptionTab>

PaneTabBar::PaneTabBar(QWidget *parent)
    : QTabBar(parent)
{
}

QSize PaneTabBar::tabSizeHint(int index) const
{
    QSize size = QTabBar::tabSizeHint(index);
    if (shape() != QTabBar::RoundedNorth && shape() != QTabBar::TriangularNorth)
        return size;
    QStyleOptionTab option;
    initStyleOption(&option, index);
    // What a close button adds: its own height and the tab's frame around it.
    const int close = style()->pixelMetric(QStyle::PM_TabCloseIndicatorHeight, &option, this)
                      + style()->pixelMetric(QStyle::PM_TabBarTabVSpace, &option, this);
    size.setHeight(qMax(size.height(), close));
    return size;
}

PaneTabWidget::PaneTabWidget(QWidget *parent)
    : QTabWidget(parent)
{
    setTabBar(new PaneTabBar(this));
}
