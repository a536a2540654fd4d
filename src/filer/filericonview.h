#pragma once

// The icon mode of a file browser: a QListView in icon mode over the browser's sorted file
// model, items in four sizes (72, 96, 120 and 144 pixels), a scroll lock that keeps the item
// at the top left in place while Control is held during size changes, the folder under a
// drag marked as drop target, and drags that carry the browser's file data. GUI thread only.

#include "filer/filerviewdrag.h"

#include <QListView>

class Filer;
class IconDelegate;

class FilerIconView : public QListView
{
    Q_OBJECT
public:
    static constexpr int kStep = 24;

    explicit FilerIconView(QWidget *parent = nullptr);

    IconDelegate *iconDelegate() const { return m_delegate; }
    int itemSide() const { return m_level * kStep; }
    QModelIndex scrollLockIndex() const { return m_scrollLock; }
    const FilerViewDrag &dragState() const { return m_drag; }

public Q_SLOTS:
    void increaseItemSize();
    void decreaseItemSize();

Q_SIGNALS:
    void viewActivated();
    void clearDropTarget(QString path);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    enum PressState { NoPress = 0, PressOnEmpty = 1, PressOnItem = 2 };

    void applyItemSize(int level);

    QPointer<Filer> m_filer;
    IconDelegate *m_delegate = nullptr;
    int m_pressState = NoPress;
    QPoint m_pressPos;
    int m_level = 4;
    QPersistentModelIndex m_scrollLock;
    FilerViewDrag m_drag;
};
