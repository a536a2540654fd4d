#include "filer/filerdelegates.h"

#include "app/base/log.h"
#include "vfs/models/vfsmodel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <cmath>

namespace {

constexpr int kLevelSizes[] = {24, 32, 48, 64, 96, 96}; // level 6 repeats level 5

QImage previewOf(const QModelIndex &index)
{
    const QVariant value = index.data(VfsModel::PreviewRole);
    return value.canConvert<QImage>() ? value.value<QImage>() : QImage();
}

// Until the model has an icon for an item (or where the desktop has no icon theme), the
// style's folder and file pictures stand in, so no item is ever drawn without one.
void ensureIcon(QStyleOptionViewItem *opt, const QModelIndex &index)
{
    if (!opt->icon.isNull() || index.column() != 0)
        return;
    // Made once: a new icon per paint would scale its pictures again for every row.
    static const QIcon folder = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    static const QIcon file = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    const int type = index.data(VfsModel::TypeRole).toInt();
    opt->icon = type == VfsModel::DirectoryType || type == VfsModel::DriveType ? folder : file;
    opt->features |= QStyleOptionViewItem::HasDecoration;
}

} // namespace

QStringList IconDelegate::nameLines(const QString &text, const QFont &font, int width)
{
    QStringList lines;
    if (text.isEmpty() || width <= 0)
        return lines;
    const QFontMetrics fm(font);
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == kMaxNameLines - 1) {
            lines << fm.elidedText(text.mid(line.textStart()).trimmed(), Qt::ElideRight, width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

// ---------------------------------------------------------------------------------------------

IconDelegate::IconDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
    , m_shadow(QStringLiteral(":/img/shd-border-img2.png"))
{
}

QSize IconDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QImage thumb = previewOf(index);
    QSize cell = m_itemSize;
    if (!thumb.isNull()) {
        const QSize bound(int(thumb.width() + kThumbnailSlack), m_itemSize.height());
        cell = thumb.size().scaled(bound, Qt::KeepAspectRatio);
    }
    cell = cell.expandedTo(m_itemSize);
    const int lines = int(nameLines(opt.text, opt.font, cell.width()).size());
    const int textHeight = lines ? (lines - 1) * opt.fontMetrics.lineSpacing() + opt.fontMetrics.height() : 0;
    return QSize(cell.width() + kMargin, cell.height() + textHeight + 2 * kMargin);
}

QRectF IconDelegate::thumbnailRect(const QSize &imageSize, const QRect &itemRect, const QSize &itemSize)
{
    const int boxW = qMin(imageSize.width(), itemRect.width());
    const int boxH = qMin(imageSize.height(), itemSize.height());
    const qreal scale = qMin(qreal(boxH) / imageSize.height(), qreal(boxW) / imageSize.width());
    int w = int(imageSize.width() * scale);
    int h = int(imageSize.height() * scale);
    if (w % 2)
        --w;
    if (h % 2)
        --h;
    const qreal x = w == itemRect.width() ? itemRect.left() : itemRect.left() + (itemRect.width() - w) / 2.0;
    return QRectF(x, itemRect.top() + itemSize.height() - h, w, h);
}

bool IconDelegate::isMostlyOpaque(const QImage &image)
{
    const int stepX = qMax(image.width() / 8, 2);
    const int stepY = qMax(image.height() / 8, 2);
    int transparent = 0;
    for (int y = 0; y < image.height(); y += stepY) {
        for (int x = 0; x < image.width(); x += stepX) {
            if (qAlpha(image.pixel(x, y)) < 128 && ++transparent > 9)
                return false;
        }
    }
    return true;
}

void IconDelegate::drawShadow(QPainter *painter, const QRectF &r) const
{
    if (m_shadow.isNull())
        return;
    const int k = m_shadow.width() / 3;
    const int X = int(r.x()), Y = int(r.y()), W = int(r.width()), H = int(r.height());
    auto cell = [&](int col, int row) { return QRect(col * k, row * k, k, k); };
    // The image's full strength reads as a dark frame; half of it lifts the picture softly.
    painter->save();
    painter->setOpacity(0.5);
    painter->drawImage(QRect(X - k, Y - k, k, k), m_shadow, cell(0, 0));
    painter->drawImage(QRect(X, Y - k, W, k), m_shadow, cell(1, 0));
    painter->drawImage(QRect(X + W, Y - k, k, k), m_shadow, cell(2, 0));
    painter->drawImage(QRect(X + W, Y, k, H), m_shadow, cell(2, 1));
    painter->drawImage(QRect(X + W, Y + H, k, k), m_shadow, cell(2, 2));
    painter->drawImage(QRect(X, Y + H, W, k), m_shadow, cell(1, 2));
    painter->drawImage(QRect(X - k, Y + H, k, k), m_shadow, cell(0, 2));
    painter->drawImage(QRect(X - k, Y, k, H), m_shadow, cell(0, 1));
    painter->restore();
}

void IconDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    ensureIcon(&opt, index);
    auto *view = qobject_cast<QAbstractItemView *>(parent());
    const qreal ratio = view ? view->devicePixelRatioF() : painter->device()->devicePixelRatioF();
    QImage thumb = previewOf(index);
    const int flags = index.data(VfsModel::FlagsRole).toInt();
    const QRect r = opt.rect;
    const int w = m_itemSize.width(), h = m_itemSize.height();

    if (thumb.isNull()) {
        const QSize a = opt.icon.actualSize(QSize(w, h));
        if (a.isValid() && !a.isEmpty()) {
            const QPixmap pm = opt.icon.pixmap(QSize(qRound(a.width() * ratio), qRound(a.height() * ratio)));
            painter->drawPixmap(QRect(r.left() + (r.width() - a.width()) / 2, r.top() + h - a.height(),
                                      a.width(), a.height()), pm);
        }
    } else {
        // Whole pixels: a thumbnail at a fractional offset leaves a pale seam against its shadow.
        const QRectF exact = thumbnailRect(thumb.size(), r, m_itemSize);
        const QRect target(qRound(exact.x()), qRound(exact.y()), qRound(exact.width()), qRound(exact.height()));
        const QSize drawn = target.size();
        const bool opaque = isMostlyOpaque(thumb);
        if (thumb.size() != drawn)
            thumb = thumb.scaled(drawn, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        painter->drawImage(target, thumb);
        if (opaque)
            drawShadow(painter, target);
    }

    const bool editing = view && view->isPersistentEditorOpen(index);
    if (!editing) {
        painter->setPen(Qt::NoPen);
        painter->setRenderHint(QPainter::Antialiasing);
        const QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled)
                                               ? ((opt.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive)
                                               : QPalette::Disabled;
        const QRect nameArea(QPoint(r.left(), r.top() + h + kMargin), QPoint(r.right(), r.bottom() - kMargin / 2));
        QColor textColor = opt.palette.color(group, QPalette::WindowText);
        if (flags & VfsModel::DropTargetFlag) {
            painter->setBrush(opt.palette.color(group, QPalette::Highlight).lighter(160));
            painter->drawRoundedRect(nameArea, 3, 3);
        } else if (opt.state & QStyle::State_Selected) {
            painter->setBrush(opt.palette.color(group, QPalette::Highlight));
            painter->drawRoundedRect(nameArea, 3, 3);
            textColor = opt.palette.color(group, QPalette::HighlightedText);
        } else if (opt.state & QStyle::State_MouseOver) {
            painter->setBrush(opt.palette.color(group, QPalette::Highlight).lighter(170));
            painter->drawRoundedRect(nameArea, 3, 3);
        } else {
            painter->eraseRect(nameArea);
        }
        // Names come from disks and other computers: plain text, never markup. Long names
        // wrap at word boundaries (inside a word only when it is wider than the line) and
        // end in an ellipsis after the last line.
        painter->setPen(textColor);
        painter->setFont(opt.font);
        const int lineHeight = opt.fontMetrics.lineSpacing();
        QRect line(r.left() + kMargin / 2, r.top() + h + kMargin, r.width() - kMargin, lineHeight);
        for (const QString &text : nameLines(opt.text, opt.font, r.width() - kMargin)) {
            painter->drawText(line, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip, text);
            line.translate(0, lineHeight);
        }
    }
    painter->restore();
}

void IconDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                        const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QSize size = opt.fontMetrics.size(Qt::TextSingleLine, opt.text + QStringLiteral("mmm"));
    int left = opt.rect.left();
    if (auto *view = qobject_cast<QWidget *>(parent())) {
        if (left + size.width() > view->width())
            left = view->width() - size.width();
    }
    editor->setGeometry(QRect(QPoint(left, opt.rect.top() + m_itemSize.height() + kMargin), size));
}

// ---------------------------------------------------------------------------------------------

ItemDelegate::ItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void ItemDelegate::increaseSize()
{
    if (m_level < 6)
        ++m_level;
}

void ItemDelegate::decreaseSize()
{
    if (m_level > 1)
        --m_level;
}

int ItemDelegate::iconSize() const
{
    return kLevelSizes[m_level - 1];
}

void ItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    ensureIcon(&opt, index);
    opt.decorationSize = QSize(iconSize(), iconSize());
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

void ItemDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                        const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    ensureIcon(&opt, index);
    opt.decorationSize = QSize(iconSize(), iconSize());
    opt.showDecorationSelected = editor->style()->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, editor);
    QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    editor->setGeometry(style->subElementRect(QStyle::SE_ItemViewItemText, &opt, editor));
}

QSize ItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    opt.decorationSize = QSize(iconSize(), iconSize());
    return QSize(QStyledItemDelegate::sizeHint(opt, index).width(), iconSize() + 2);
}

// ---------------------------------------------------------------------------------------------

QPixmap createDragPixmap(QWidget *view, const QModelIndexList &indexes)
{
    QStringList names;
    QModelIndex first;
    for (const QModelIndex &index : indexes) {
        if (index.column() != 0)
            continue;
        if (!first.isValid())
            first = index;
        names.append(index.data(VfsModel::NameRole).toString());
    }
    QString text;
    QIcon icon;
    if (names.size() == 1) {
        // The icon of the named item: only its name column carries one.
        text = names.first();
        icon = first.data(Qt::DecorationRole).value<QIcon>();
    } else {
        text = QObject::tr("%1 items").arg(names.size());
    }
    const QFont viewFont = view ? view->font() : QApplication::font();
    const QPalette palette = view ? view->palette() : QApplication::palette();
    const QSize t = QFontMetrics(viewFont).size(Qt::TextSingleLine, text);
    const bool withIcon = !icon.isNull();
    const int contentWidth = t.width() + (withIcon ? 48 : 0);

    QImage image(contentWidth + 8, t.height() + 8, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(palette.color(QPalette::Base));
    p.drawRoundedRect(QRectF(0.5, 0.5, image.width() - 1, image.height() - 1), 15, 15, Qt::RelativeSize);
    QFont font = viewFont;
    font.setStyleStrategy(QFont::PreferAntialias);
    p.setFont(font);
    p.setPen(palette.color(QPalette::Text));
    if (withIcon) {
        p.drawText(QRect(t.height() + 4, 4, contentWidth, t.height()), Qt::AlignCenter, text);
        p.drawPixmap(QRect(1, 1, t.height() + 7, t.height() + 7), icon.pixmap(64, 64));
    } else {
        p.drawText(QRect(4, 4, contentWidth, t.height()), Qt::AlignCenter, text);
    }
    p.end();
    logPrintf(LogDbg1, "drag pixmap %dx%d", image.width(), image.height());
    return QPixmap::fromImage(image);
}
