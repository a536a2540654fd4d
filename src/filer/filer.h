#pragma once

// One file browser bound to one peer at a time: a stack of three pages (the peer's overview,
// the list of all computers, and the folder page with the breadcrumb, a list/column or icon
// view and a status line). Every browser of the process listens to the same shared file
// actions; only the hub's active browser acts on them and enables or disables them.
//
// GUI thread only. The peer's file model lives on the GUI thread too; its FSO client lives on
// "ioThread" and reaches the browser through queued connections.

#include "db/dto.h"
#include "vfs/jobs/vfscopydto.h"

#include <QItemSelection>
#include <QModelIndex>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class FilerHub;
class IDatabase;
class IPeer;
class QAbstractItemView;
class QDrag;
class QDropEvent;
class QMenu;
class QAction;
class QMimeData;
class QQmlEngine;
class QWheelEvent;
class VfsDeleteJob;
class VfsManager;
class VfsSortFilterProxyModel;
struct VfsCopyDto;
struct VfsMakeDirectoryJob;
struct VfsMoveJob;

class Filer : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(IPeer *peer READ peer WRITE setPeer NOTIFY peerChanged)
    Q_PROPERTY(ViewMode viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)

public:
    enum ViewMode { ViewList = 0, ViewColumns = 1, ViewIcons = 2, ViewNone = 3 };
    Q_ENUM(ViewMode)

    // The pages of the stack, in stack order.
    enum Page { PeerViewPage = 0, MachineListPage = 1, FilesPage = 2 };
    Q_ENUM(Page)

    // Bare instance for the QML type registration; never used for browsing.
    Q_INVOKABLE explicit Filer(QWidget *parent = nullptr);
    // A browser on the shared QML engine; `parent` is the pane for a tab, null for a window.
    Filer(QQmlEngine *engine, IDatabase *database, FilerHub *hub, QWidget *parent);
    ~Filer() override;

    IPeer *peer() const;
    ViewMode viewMode() const;
    void setViewMode(ViewMode mode);
    bool isStandalone() const;
    // A timed message in the status line (0: until replaced).
    void showStatusMessage(const QString &text, int milliseconds);

    // The commands that take the selection elsewhere; a refusal names the one asked for.
    enum Transfer { CopyTransfer, CutTransfer, CopyToTransfer, MoveToTransfer };
    // A transfer asked for while it cannot take the selection: says why in the status line.
    // A refused copy or cut key leaves nothing on the clipboard, so that paste never brings
    // back an older copy; a refused copy to or move to leaves it as it was.
    void refuseTransfer(Transfer kind);

    // Drag and drop of the item views: the drag's data (file URLs and the peer's uuid), and a
    // drop onto the folder at `targetPath`.
    void createDragMimeData(QDrag *drag);
    // True when the drop started something (only then may the view accept it).
    bool handleDrop(QDropEvent *event, const QString &targetPath);

    // Introspection for the pane, the window and tests.
    Page currentPage() const;
    QAbstractItemView *currentView() const;
    VfsSortFilterProxyModel *sortModel() const;
    QString statusText() const;
    QString freeSpaceText() const;
    QWidget *breadcrumb() const;
    // Whether this browser is the one the hub reports as active (true without a hub).
    bool isActiveFiler() const;

    // The settings group of a browser named by its uuid: "Filer_" and qHash(uuid, 0).
    static QString settingsGroup(const QString &filerUuid);
    // Whether a name can name an item: not empty, not "." or "..", no "/" and no NUL.
    static bool isValidItemName(const QString &name);
    // Drive rows, share roots and the top level are never renamed away or deleted.
    static bool isProtectedItem(const QModelIndex &sourceIndex);
    // Sends the request for a new folder `name` (the folder of the selection, else the shown
    // one); false when there is nowhere to make it or the name is refused.
    bool createFolder(const QString &name);

    // Test hooks: answer the delete confirmation (QMessageBox::ButtonRole) and the drop menu
    // (0x0D copy, 0x0F move, 0 nothing) without a nested event loop.
    static std::function<int(const QString &text, const QString &title)> &confirmHook();
    static void setDropMenuChooser(std::function<int(bool moveAllowed)> chooser);
    // Test hook: sees the context menu instead of running it.
    static std::function<QAction *(QMenu *)> &contextMenuHook();

    // Adds the applications that open the selection, then `extraAction` when enabled.
    void openWithMenu(QMenu *menu, QAction *extraAction);

public Q_SLOTS:
    void setButtons(int buttons);
    void setPeer(IPeer *peer);

    // Navigation
    void gotoPath(const QString &path);
    void setCurrentIndexToPath(const QString &path);
    void refreshAndSelect(const QString &path);
    void resolvePath(const QString &path);
    QString path() const;
    // The place to come back to after a restart: the folder still being looked up, else path().
    QString placeToKeep() const;
    QStringList pathList() const;
    QStringList displayPath() const;
    QString currentItemPath() const;
    void onActivated(const QModelIndex &index);
    void onDriveClicked(const QModelIndex &index);
    void onPathChanged();
    void onHomeClicked();
    void onBreadCrumpClicked(int level);
    void onBreadCrumpDriveClicked(const QString &path);
    void onBreadCrumpPathEdited(const QString &path);
    void onMachineListPeerClicked(IPeer *peer);
    void adjustBreadCrumpHeight();
    void activateCurrent();
    void onUpClicked();
    void onBackClicked();
    void onForwardClicked();

    // File operations
    void onCopyActionTriggered();
    void onPasteActionTriggered();
    void onTrashActionTriggered();
    void onDeleteActionTriggered();
    void onNewFolderActionTriggered();
    void onRenameActionTriggered();
    void onRenameEditDone(const QModelIndex &index, const QString &name);
    void onPathResolved(int status, const QString &path);
    void onShowPropertiesActionTriggered();
    void onShowInExplorerActionTriggered();
    void onOpenInActionTriggered();
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    void clearMarkedFiles();
    void onCopyRequest(const VfsCopyDto &dto);
    void onMoveRequest(const VfsCopyDto &dto);
    void onShareTriggered();
    void onShareDriveTriggered();
    void onEditPeerAcl(const QString &peerUuid, const QString &aclUuid);
    void onDeferAppLaunch(int appId, const QString &peerUuid, const std::vector<QString> &paths);
    void onCopyJobFinished(const VfsCopyDto &dto);

    // View modes, sizes, filters
    void viewAsIcons();
    void viewAsList();
    void viewAsColumns();
    void selectNextItem();
    void selectPreviousItem();
    void showPeerView();
    void showFilesView();
    void showMachineList();
    void filterHidden(bool show);
    void filterMaxAge(int seconds);
    void increaseItemSize();
    void decreaseItemSize();
    bool viewWheelEvent(QWheelEvent *event);

    void onActiveFilerChanged();
    void onDeleteJobFinished();
    void onDeleteJobAborted();
    void onDeleteJobUpdated();
    void onDeleteJobUpdatedTrashFailedAskDelete();
    void onVfsModelDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                               const QVector<int> &roles);
    void onVfsMakeDirectoryJobUpdate(VfsMakeDirectoryJob *job);
    void onVfsMoveJobUpdate(VfsMoveJob *job);
    void onPeerLinkStateChanged();
    void onPeerButtonClicked();
    void onSharesButtonClicked();
    void onCustomContextMenuRequested(const QPoint &pos);
    void clearDropTargetPath(const QString &path);
    void updateFileActions();
    // The status line's count after rows came or went (the whole action update when a
    // selection is involved).
    void updateRowCount();
    // Selects the folder just made once it is listed.
    void selectNewFolder();
    void updateViewModeActions();

    // An own share's path: a place on this computer, whichever computer the browser shows.
    void openLocalPath(const QString &path);

Q_SIGNALS:
    void activated();
    void peerClicked(QString uuid);
    void peerSelected();
    void peerChanged();
    void pathChanged();
    void pathResolveStart();
    void pathResolved(QModelIndex index, QStringList lsPath);
    void pathResolveFailed();
    void viewModeChanged();
    void listerVisibilityChanged(bool visible);
    void selectionChanged(QString peerUuid, std::vector<QString> paths);
    void directoryChanged(QString directoryName);
    void peerViewActivated();
    void filesViewActivated();
    void machineListActivated();
    void previewRequest(QString peerUuid, QString path);
    void newTabRequest(QString peerUuid, QString path);
    void aboutToClose();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    struct Private;
    std::unique_ptr<Private> d;

    void buildPages();
    void loadPage(Page page);
    void connectActions();
    void setPage(Page page);
    void applyRoot(const QModelIndex &sourceTarget, const QModelIndex &previousRoot, const QString &previousPath);
    void pushHistory();
    void setBreadcrumbProperty(const char *name, const QVariant &value);
    // A timed message ends: the status line says what it says about the selection again.
    void endStatusMessage();
    bool confirmDelete(VfsDeleteJob *job);
    static QString failedItemName(const VfsDeleteJob *job);
    // What the status line says once `job` put its items in the trash.
    static QString trashedText(const VfsDeleteJob *job);
    void startDeleteJob(int flags);
    QModelIndex sourceIndex(const QModelIndex &viewIndex) const;
    QModelIndex currentRootSource() const;
    void fallBackToMachineList();
    void onRowsAboutToBeInserted(const QModelIndex &parent);
    // The folder shown goes with its share when the other computer stops sharing it: back to
    // that computer's page, saying so, instead of the top level under a path that is gone.
    void onRowsAboutToBeRemoved(const QModelIndex &parent, int first, int last);
    void leaveUnsharedFolder(const QString &shareName);
    void checkListingDone();
    void resumeSorting();
    void addShareMenus(QMenu *menu);
    void openFile(const QString &path);
    // Opens a local file with the desktop's default application, or says there is none.
    void openWithDesktop(const QString &localPath);
    void deferLaunch(int appId, const std::vector<QString> &paths);
    QStringList selectedPaths() const;
    void openShareDialog(bool wholeDrive);
    // Why the transfer cannot take the selection now; empty when it can.
    QString transferRefusal(Transfer kind) const;
    static QString nothingToTransfer(Transfer kind);
    // Keys the views would otherwise swallow or ignore: copy and cut when refused, and the
    // keyboard's context-menu keys.
    bool viewKeyPress(QKeyEvent *event);
    // A key of a file action that is off now: kept from the view, which would do something
    // else with it (Alt+Return opens the item), and the reason said where there is one.
    bool refuseDisabledKey(QKeyEvent *event);
    QString deleteRefusal() const;
    QString renameRefusal(quint8 result, const QString &source, const QString &destination) const;
    QString propertiesRefusal() const;
    QString previewRefusal() const;
    void openContextMenu(const QPoint &globalPos);
};

// Resources of the views (delegate images); call once before the first browser is made.
void initFilerViewResources();
