#pragma once

// The list and column modes of a file browser: a flat QTreeView over the browser's sorted
// file model. The name column takes the width the other shown columns leave free (polished
// after every change that can affect it), the name column's icons and rows grow and shrink
// in six steps, and drags behave as in the icon view. GUI thread only.

#include "filer/filerviewdrag.h"

#include <QTreeView>

class Filer;
class ItemDelegate;
class QTimer;

class FilerTreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit FilerTreeView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    void setRootIndex(const QModelIndex &index) override;
    void setColumnHidden(int column, bool hide);

    ItemDelegate *itemDelegate0() const { return m_delegate; }
    // 1 after a completed polish, negative while one is pending, 0 before the first.
    int polishMarker() const { return m_polish; }
    bool isPolishScheduled() const;
    const FilerViewDrag &dragState() const { return m_drag; }

public Q_SLOTS:
    void increaseItemSize();
    void decreaseItemSize();
    void polishColumWidths();

Q_SIGNALS:
    void viewActivated();
    void clearDropTarget(QString path);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void deferPolish(int ms);
    void schedulePolish(int ms);
    void announceSizeChange();

    QPointer<Filer> m_filer;
    ItemDelegate *m_delegate = nullptr;
    QTimer *m_polishTimer = nullptr;
    int m_polish = 0;
    bool m_pointerInside = false;
    QPoint m_pressPos;
    bool m_leftPressed = false;
    FilerViewDrag m_drag;
    QMetaObject::Connection m_rowsConnection;
};
