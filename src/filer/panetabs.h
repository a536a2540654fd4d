#pragma once

// The tab widget of a file pane. A tab that can be closed is as high as its close button
// needs, which a style may make taller than its text; a pane's tabs can be closed only while
// it has two or more. Here every tab is as high as a closable one, so that the rows of two
// panes side by side stand level whichever of them has tabs to close. GUI thread.

#include <QTabBar>
#include <QTabWidget>

class PaneTabBar : public QTabBar
{
    Q_OBJECT
public:
    explicit PaneTabBar(QWidget *parent = nullptr);

protected:
    QSize tabSizeHint(int index) const override;
};

class PaneTabWidget : public QTabWidget
{
    Q_OBJECT
public:
    explicit PaneTabWidget(QWidget *parent = nullptr);
};
