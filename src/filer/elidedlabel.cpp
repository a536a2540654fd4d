#include "filer/elidedlabel.h"

#include <QPainter>
#include <QStyle>

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QMargins margins = contentsMargins();
    return QSize(margins.left() + margins.right(), fontMetrics().height() + margins.top() + margins.bottom());
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    const QRect area = contentsRect();
    QString line = text();
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QPainter painter(this);
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), fontMetrics().elidedText(line, Qt::ElideRight, area.width()),
                          foregroundRole());
}
