#pragma once

// The main window's private record. GUI thread only.

#include "peers/invitation.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QVariantList>

#include <vector>

class AboutDialog;
class ConnectionManager;
class IDatabase;
class PanePage;
class UpdateNotification;
class Updater;
class NodeView;
class Preview;
class FilerHub;
class FilerPane;
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
    QObject *activeInvitationsDialog = nullptr;        // made on first use, like the next
    QObject *createInviteDialog = nullptr;
    QElapsedTimer invitationWait;                      // since a new invitation waits for the relay
    QPointer<QObject> processInviteDialog;             // made anew at each "Add by invitation..."
    IDatabase *database = nullptr;                     // not owned
    FilerHub *filerHub = nullptr;                      // active pane and clipboard, child of the window
    // Left pane first, the alternate (right-hand) pane last.
    std::vector<FilerPane *> filerPanes;
    QAction *tabAction = nullptr;
    QSplitter *splitter = nullptr;
    NodeView *nodeView = nullptr;                      // the node view, once first shown
    QWidget *nodeViewPage = nullptr;                   // banner above the node view
    Preview *preview = nullptr;                        // the preview window, no parent, once first used
    QStackedWidget *stack = nullptr;                   // page 0 alternate pane, page 1 node view page
    QString previewPath;
    bool networkEnabled = false;
    QAction *createInvitationAction = nullptr;
    QAction *addInvitationAction = nullptr;
    QAction *activeInvitationsAction = nullptr;
    Updater *updater = nullptr;                        // the update dialog, made on demand
    UpdateNotification *updateNotification = nullptr;  // the banner above the node view

    // The add dialog's link check: decoding takes about half a second on the pool, so only
    // the newest request's answer counts, and the decoded record is what gets accepted.
    int inviteCheck = 0;
    QString checkedText, checkedPassword;
    bool checkedOk = false;
    InvitationRecord checkedRecord;
    // Computers on the local network with an open invitation, as the beacon last listed them
    // (a GUI-thread copy); the add dialog shows them.
    QVariantList nearbyInvitations;
    bool nearbyListening = false;
    bool inviterAnswersHeard = false;

    QObject *theme = nullptr;                          // the theme object, no parent
    bool restored = false;
    bool quitOnClose = true;
    bool saved = false;                                // the state was written on close
    int viewMode = 1;                                  // file browser view mode to save
};
