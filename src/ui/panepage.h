#pragma once

// A quiet page that stands in the window where a part is not built yet (a file pane, the
// node view): an icon, a title and one line of text, centred. GUI thread only.

#include <QWidget>

class QLabel;

class PanePage : public QWidget
{
    Q_OBJECT
public:
    PanePage(const QString &iconName, const QString &title, const QString &text, QWidget *parent = nullptr);

    // What the window asks of a file pane; a page has no tabs.
    bool hasTabs() const { return false; }
    void showTabBar() {}
    void autoHideTabBar() {}

    // Re-reads the icon once the theme exists.
    void refreshIcon();

private:
    QString m_iconName;
    QLabel *m_icon = nullptr;
};
