#pragma once

// The private record of a file browser, shared by the files that implement it (navigation
// and pages in filer.cpp, the file operations in filerfileops.cpp). GUI thread only.

#include "filer/filer.h"
#include "filer/fileractions.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsmodel.h"

#include <QAction>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWidget>

#include <deque>
#include <vector>

class ClickThroughGuard;
class FilerIconView;
class FilerTreeView;
class QItemSelectionModel;
class QLabel;
class QStackedWidget;
class QStatusBar;
class QTimer;
class TypedPathLookup;
struct VfsCopyDto;

// A shared application action by command id.
inline QAction *sharedAction(const char *id)
{
    return FilerActions::action(QString::fromLatin1(id));
}

struct HistoryEntry
{
    QString peerUuid;
    QString path;
    bool operator==(const HistoryEntry &o) const { return peerUuid == o.peerUuid && path == o.path; }
};

struct Filer::Private
{
    FilerHub *hub = nullptr;
    VfsManager *vfsManager = nullptr;
    ViewMode viewMode = ViewNone;
    std::vector<int> visibleColumns{0};
    QPointer<IPeer> peer;
    IDatabase *database = nullptr;
    int buttons = 0;
    QStackedWidget *stack = nullptr;
    QAbstractItemView *currentView = nullptr;
    FilerIconView *iconView = nullptr;
    FilerTreeView *treeView = nullptr;
    QLabel *freeSpaceLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *notice = nullptr;
    bool noticeIsMessage = false;   // the notice holds a timed status message
    QStatusBar *statusBar = nullptr;
    QWidget *filesPage = nullptr;
    QQuickWidget *machineList = nullptr;
    QQuickWidget *peerView = nullptr;
    bool machineListLoaded = false;   // its QML, once first shown
    bool peerViewLoaded = false;
    QQuickWidget *navigation = nullptr;
    ClickThroughGuard *clickGuard = nullptr;   // a page's tile click does not go on into the files
    VfsSortFilterProxyModel *sortModel = nullptr;
    QItemSelectionModel *selectionModel = nullptr;
    QQmlEngine *engine = nullptr;
    QString pendingResolve;
    TypedPathLookup *typedPaths = nullptr;   // a path typed in the bar, while its share is looked up
    int pressX = 0;
    int pressY = 0;
    QAction *peerViewAction = nullptr;
    QAction *machineListAction = nullptr;
    QAction *largerAction = nullptr;
    QAction *smallerAction = nullptr;
    std::deque<HistoryEntry> history;
    QString retainedPath;
    QTimer *statusTimer = nullptr;
    // What the status line says about the selection; shown again once a timed message ends.
    QString selectionStatus;
    QTimer *listingTimer = nullptr;
    bool sortHeld = false;   // no sort column while a folder's first listing merges
    QTimer *rowsCountTimer = nullptr;
    QString newFolderPath;   // made here, selected once it is listed
    bool bare = true;

    VfsModel *model() const { return peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr; }
    QObject *root(QQuickWidget *w) const { return w ? w->rootObject() : nullptr; }
};

// The record every browser shares (clipboard, pending requests); the hub's when there is one.
VfsCopyDto &filerClipboard(FilerHub *hub);
std::vector<VfsMoveJob *> &filerPendingMoves(FilerHub *hub);
std::vector<VfsMakeDirectoryJob *> &filerPendingMakeDirs(FilerHub *hub);
