#pragma once

// The navigation bar at the top of every file browser: the document "qrc:/qml/BreadCrumb.qml"
// on the shared QML engine. The bar keeps no navigation state; the browser writes its state
// into the root's properties and connects the root's signals to its slots.
// GUI thread only.

#include <QQuickWidget>

class QQmlEngine;

class TopNavigation : public QQuickWidget
{
    Q_OBJECT

public:
    // Narrower than this the places, the path and the view buttons no longer fit; the bar
    // never collapses below it.
    static constexpr int kMinimumWidth = 360;
    static constexpr int kMinimumHeight = 96;

    TopNavigation(QQmlEngine *engine, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
};
