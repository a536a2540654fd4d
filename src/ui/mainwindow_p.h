#pragma once

// The main window's private record. GUI thread only.

#include <QPointer>
#include <QString>

#include <vector>

class AboutDialog;
class ConnectionManager;
class IDatabase;
class PanePage;
class QAction;
class QObject;
class QQuickView;
class QSplitter;
class QStackedWidget;
class QWidget;

struct MainWindowPrivate
{
    ConnectionManager *connectionManager = nullptr;    // not owned, lives on ioThread
    QQuickView *quickView = nullptr;                   // hidden; its engine is the shared one
    QObject *activeInvitationsDialog = nullptr;
    QObject *createInviteDialog = nullptr;
    QPointer<QObject> processInviteDialog;             // made anew at each "Add by invitation..."
    IDatabase *database = nullptr;                     // not owned
    QObject *filerHub = nullptr;                       // pane hub, child of the window
    // Left pane first, the alternate (right-hand) pane last. Until the file panes are
    // built, each is a quiet placeholder page.
    std::vector<PanePage *> filerPanes;
    PanePage *activePane = nullptr;                    // the hub's active pane
    QAction *tabAction = nullptr;
    QSplitter *splitter = nullptr;
    QWidget *nodeView = nullptr;                       // the node view widget, once built
    QWidget *nodeViewPage = nullptr;                   // banner above the node view
    QObject *preview = nullptr;                        // the preview window, once built
    QStackedWidget *stack = nullptr;                   // page 0 alternate pane, page 1 node view page
    QString previewPath;
    bool networkEnabled = false;
    QAction *createInvitationAction = nullptr;
    QAction *addInvitationAction = nullptr;
    QAction *activeInvitationsAction = nullptr;
    QWidget *updater = nullptr;                        // the update dialog, made on demand
    QWidget *updateNotification = nullptr;             // the update banner, once built

    QObject *theme = nullptr;                          // the theme object, no parent
    bool restored = false;
    bool quitOnClose = true;
    int viewMode = 1;                                  // file browser view mode to save
};
