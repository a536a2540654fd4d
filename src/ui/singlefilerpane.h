#pragma once

// A file pane of one browser, standing in for the tabbed pane until the file layer provides
// it: the same operations and signals the main window uses, over a single Filer.
// GUI thread only.

#include <QPointer>
#include <QWidget>

#include <vector>

class Filer;
class IDatabase;
class IPeer;
class QQmlEngine;

class SingleFilerPane : public QWidget
{
    Q_OBJECT
public:
    SingleFilerPane(QQmlEngine *engine, IDatabase *database, QWidget *parent);

    Filer *currentFiler() const;
    void setPeer(IPeer *peer);
    void restoreFilerSettings() {}
    void newFilerTab() {}
    bool hasTabs() const { return false; }
    void showTabBar() {}
    void autoHideTabBar() {}

Q_SIGNALS:
    void activated();
    void selectionChanged(QString peerUuid, std::vector<QString> paths);
    void peerClicked(QString uuid);
    void tabsChanged();
    void openInAltFiler(QString peerUuid, QString path);
    void openNewTabLeft(QString peerUuid, QString path);
    void openNewTabRight(QString peerUuid, QString path);

private:
    QPointer<Filer> m_filer;
};
