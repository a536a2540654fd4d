#pragma once

// How the file views paint their items. IconDelegate draws a big icon or a thumbnail (with a
// soft shadow frame for opaque pictures) standing on the bottom of a square box and the name
// wrapped below it; ItemDelegate scales the icon and the row height of the list's name column
// in six steps. createDragPixmap draws the picture that follows the pointer during a drag.
// Names are always painted as plain text. GUI thread only.

#include <QImage>
#include <QModelIndexList>
#include <QPixmap>
#include <QStringList>
#include <QStyledItemDelegate>

class IconDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int kMargin = 8;
    static constexpr qreal kThumbnailSlack = 16.0;
    static constexpr int kMaxNameLines = 3;

    explicit IconDelegate(QObject *parent = nullptr);

    void setItemSize(const QSize &size) { m_itemSize = size; }
    QSize itemSize() const { return m_itemSize; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

    // Where a thumbnail of `imageSize` is drawn in an item rectangle; the rectangle's width
    // may be smaller than the picture, never its box height.
    static QRectF thumbnailRect(const QSize &imageSize, const QRect &itemRect, const QSize &itemSize);
    // A name as the item shows it: wrapped into lines of `width`, at most kMaxNameLines, the
    // last one elided.
    static QStringList nameLines(const QString &text, const QFont &font, int width);
    // Whether a picture is opaque enough for the shadow frame (at most 9 of its samples
    // are transparent).
    static bool isMostlyOpaque(const QImage &image);

private:
    void drawShadow(QPainter *painter, const QRectF &rect) const;

    QImage m_shadow;
    QSize m_itemSize{160, 160};
};

class ItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ItemDelegate(QObject *parent = nullptr);

    void increaseSize();
    void decreaseSize();
    int level() const { return m_level; }
    // The icon side of the current level.
    int iconSize() const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // The rename editor stands beside the icon of the current size, never over it.
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

private:
    int m_level = 2;
};

// The drag picture of `indexes` (their column-0 entries), drawn with the view's palette and
// font: one item shows its icon and name, several "%1 items".
QPixmap createDragPixmap(QWidget *view, const QModelIndexList &indexes);
