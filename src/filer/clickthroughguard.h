#pragma once

// A click on one page of a browser that brings up another page must not go on into the new
// one: a person who double-clicks a tile of a computer's page meant the tile, not the row of
// the file list that comes up under the pointer. Once told of such a click, the guard drops
// the presses, double-clicks and releases that reach the widgets it watches within the
// double-click time, near where the click was: the rest of that double-click. A click of
// its own, later or elsewhere, goes through. GUI thread.

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>

class QWidget;

class ClickThroughGuard : public QObject
{
    Q_OBJECT
public:
    explicit ClickThroughGuard(QObject *parent = nullptr);

    // Installs the guard on `widget`; install it after the widget's other event filters, so
    // that it sees the events first.
    void watch(QWidget *widget);

public Q_SLOTS:
    // A click at the pointer's place has just brought up the watched widgets.
    void clicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_armed = false;
    QElapsedTimer m_since;
    QPoint m_at;
};
