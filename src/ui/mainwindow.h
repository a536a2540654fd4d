#pragma once

// The application's one main window: two file panes beside the right-hand stack (the second
// pane or the node view page), the menus, the theme, and the QML windows it drives
// (invitation dialogs, one window per copy job, the About dialog).
//
// GUI thread only. The window owns its widgets, actions and the pane hub through the parent
// chain; the shared QML view, the theme object and the QML dialog objects have no parent and
// live until the process ends. The node view, the preview window and the invitation dialogs
// are made on first use. What needs the database or the peers waits for the connection
// manager's started(), which arrives queued from "ioThread" (which may already run while the
// window is being made).

#include <QMainWindow>
#include <QString>

#include <vector>

class ConnectionManager;
class IDatabase;
#include "peers/ipeer.h"
#include "vfs/jobs/vfsjob.h"

class Filer;
class QAction;
class QDialog;
class FilerHub;
class FilerPane;
class NodeView;
class Preview;
class QQmlEngine;
class QQuickView;
class QSplitter;
class QStackedWidget;

struct MainWindowPrivate;

class MainWindow : public QMainWindow
{
    Q_OBJECT
    Q_PROPERTY(bool networkEnabled READ networkEnabled WRITE setNetworkEnabled NOTIFY networkEnabledChanged)

public:
    explicit MainWindow(ConnectionManager *connectionManager, IDatabase *database, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The single main window, null before it is made and after it is gone.
    static MainWindow *instance();

    bool networkEnabled() const;

    // The shared QML engine every declarative view of the program is built on.
    QQmlEngine *engine() const;

    // For the tests and the screenshot scenes.
    QSplitter *splitter() const;
    QStackedWidget *rightStack() const;
    QWidget *nodeViewPage() const;
    std::vector<QWidget *> panes() const;
    // The node view and the two invitation dialogs are made on the first call.
    NodeView *nodeView();
    QObject *createInviteDialog();
    QObject *processInviteDialog() const;
    QObject *activeInvitationsDialog();
    QAction *createInvitationAction() const;
    QAction *addInvitationAction() const;
    QAction *activeInvitationsAction() const;
    // The active pane's current browser; null before the panes exist.
    Filer *activeFiler() const;
    FilerPane *activePane() const;
    // True once the restore after the network side's start has run.
    bool isRestored() const;
    // Closing the window ends the application (default); tests that close and make windows
    // in one process turn that off.
    void setQuitOnClose(bool quit);

public Q_SLOTS:
    void onPeerSelected(IPeer *peer);
    void onPeerSelected2(const QString &peerUuid);
    void onPeerPathSelected(IPeer *peer, const QString &path);
    void onPeerPathSelected2(const QString &peerUuid, const QString &path);
    void onSelectionChanged(const QString &peerUuid, const std::vector<QString> &paths);
    void showPreview(const QString &peerUuid, const QString &path);
    void openPeerMenu();
    void openPreview();
    void closePreview();
    void setNetworkEnabled(bool networkEnabled);
    void logActionTriggered(bool checked);

    void onCreateInvitation();
    void onInviteCopyToClipboard(const QString &url);
    void onInvitationCreate(const QString &uuid, const QString &name, const QString &url, const QString &password);
    void onAddInvitation();
    void addInviteTextChanged(const QString &text, const QString &password);
    void addRemoteByInvitationUrl(const QString &text, const QString &password);
    void deleteInvitation(const QString &uuid);
    void showActiveInvitations();

    void toggleFilepaneNodeview(bool checked);
    void showAlternateFilerPane();
    void showNodeView();
    void onCopyToActionTriggered();
    void onMoveToActionTriggered();
    void onFilerPaneTabsChanged();
    void onOpenInAltFiler(const QString &peerUuid, const QString &path);
    void openNewFilerTabLeft(const QString &peerUuid, const QString &path);
    void openNewFilerTabRight(const QString &peerUuid, const QString &path);
    void onFilerTabPressed();
    void onVfsJobAdded(VfsJob *job);
    void onShowPreviousPreview();
    void onShowNextPreview();
    void onPreviewClosed();
    void showAboutDialog();
    // A second start asked for this window: shown, in front and active; a minimised window
    // comes back as it was, a maximised or full-screen one stays so.
    void bringToFront();
    void updateRemoteMenu();
    void loadTheme(const QString &theme);

Q_SIGNALS:
    void networkEnabledChanged(bool networkEnabled);
    // After the restore that follows the network side's start.
    void restored();
    // The add dialog's link was checked (valid and not expired, or not).
    void invitationChecked(bool valid);
    // "Accept invitation" ended: whether a computer (or a code alone) was stored.
    void invitationAccepted(bool stored);
    // A computer whose invitation was accepted here answered: a PeerLoader::InviterAnswer and
    // the text the window showed for it.
    void inviterAnswered(int answer, const QString &text);
    // The copy-to / move-to destination dialog is about to run (tests and screenshots).
    void copyToDialogOpened(QDialog *dialog);

protected:
    void closeEvent(QCloseEvent *event) override;

private Q_SLOTS:
    // A PeerLoader::InviterAnswer about the computer named `name`, shown to the user under
    // the name the computer list gives `peerUuid` once paired.
    void showInviterAnswer(const QString &name, int answer, const QString &peerUuid = QString());

private:
    void setupFilerPane(QWidget *pane);
    void setupTheme();
    void setActivePane(FilerPane *pane);
    void applyFontAndScale();
    void restoreLayout();
    void onConnectionManagerStarted();
    void listenForNearbyInvitations();
    void listenForInviterAnswers();
    bool storeInvitation(const QString &uuid, const QString &name, const QString &password);
    void createRemoteMenu();
    void createEditMenu();
    void createViewMenu();
    void createHelpMenu();
    void createUpdater();
    void openPeerPath(IPeer *peer, const QString &path);
    void copyOrMoveToOtherPane(bool move);
    void saveState();
    QObject *createQmlObject(const QString &url);
    Preview *previewWindow();
    void onInvitationRowsChanged(bool removed);

    MainWindowPrivate *d;
};
