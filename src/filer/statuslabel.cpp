#include "filer/statuslabel.h"

#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <QTextLayout>

StatusLabel::StatusLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

int StatusLabel::textWidth() const
{
    const QMargins margins = contentsMargins();
    return width() - margins.left() - margins.right();
}

QStringList StatusLabel::lines(int width) const
{
    QString text = QLabel::text();
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QFontMetrics metrics = fontMetrics();
    if (width <= 0 || metrics.horizontalAdvance(text) <= width)
        return {text};
    QTextLayout layout(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList result;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (result.size() == kMaxLines - 1) {
            // The last line takes the rest, cut off with an ellipsis where it has to be.
            result.append(metrics.elidedText(text.mid(line.textStart()), Qt::ElideRight, width));
            break;
        }
        result.append(text.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return result;
}

QSize StatusLabel::minimumSizeHint() const
{
    const QMargins margins = contentsMargins();
    const int count = int(lines(textWidth()).size());
    return QSize(margins.left() + margins.right(),
                 count * fontMetrics().lineSpacing() + margins.top() + margins.bottom());
}

QSize StatusLabel::sizeHint() const
{
    return minimumSizeHint();
}

void StatusLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    // A narrower line may need more lines, a wider one fewer: the status bar asks again.
    const int count = int(lines(textWidth()).size());
    if (count != m_shownLines) {
        m_shownLines = count;
        updateGeometry();
    }
}

void StatusLabel::paintEvent(QPaintEvent *)
{
    const QRect area = contentsRect();
    const QStringList shown = lines(area.width());
    const int spacing = fontMetrics().lineSpacing();
    // One line sits where the label puts it; several fill the label from its top.
    QRect row = area;
    if (shown.size() > 1)
        row.setHeight(spacing);
    QPainter painter(this);
    const int flags = QStyle::visualAlignment(layoutDirection(), alignment());
    for (const QString &line : shown) {
        style()->drawItemText(&painter, row, flags, palette(), isEnabled(), line, foregroundRole());
        row.translate(0, spacing);
    }
}
