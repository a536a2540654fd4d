#include "filer/filer.h"
#include "filer/filer_p.h"
#include "filer/clickthroughguard.h"
#include "filer/filerhub.h"
#include "filer/breadcrumb.h"
#include "filer/statuslabel.h"
#include "filer/statusline.h"

#include "app/base/datasize.h"
#include "app/base/log.h"
#include "app/base/plaintext.h"
#include "filer/fileractions.h"
#include "filer/filerdelegates.h"
#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "filer/filerviewdrag.h"
#include "filer/typedpath.h"
#include "desktop/apps/applauncher.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfsdeletejob.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDrag>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QImageWriter>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPushButton>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWidget>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <deque>

void initFilerViewResources()
{
    Q_INIT_RESOURCE(filerviews);
}

namespace {

constexpr int kHistoryLimit = 20;
const QString kPeerViewPath = QStringLiteral("%peerview");
const QString kMachineListPath = QStringLiteral("%machinelist");
const QString kSharesPath = QStringLiteral("%shares");
const QString kHomePath = QStringLiteral("%home");

QString formattedSize(quint64 bytes)
{
    return formatDataSize(bytes, 1);
}

const char *const kFileActionIds[] = {
    "filer.cut", "filer.copy", "filer.trash", "filer.delete", "filer.rename", "filer.new-folder",
    "filer.show-props", "filer.show-inexplorer", "filer.open-left", "filer.open-right",
    "filer.open-left-tab", "filer.open-right-tab",
};


} // namespace


// ---------------------------------------------------------------------------------------------
// Construction

Filer::Filer(QWidget *parent)
    : QWidget(parent)
    , d(std::make_unique<Private>())
{
}

Filer::Filer(QQmlEngine *engine, IDatabase *database, FilerHub *hub, QWidget *parent)
    : QWidget(parent)
    , d(std::make_unique<Private>())
{
    initFilerViewResources();
    d->bare = false;
    d->engine = engine;
    d->database = database;
    d->hub = hub;
    setObjectName(QStringLiteral("Filer"));
    buildPages();

    if (hub)
        connect(hub, &FilerHub::activeFilerChanged, this, &Filer::onActiveFilerChanged);

    d->vfsManager = new VfsManager(this);
    connect(d->vfsManager, &VfsManager::copyFinished, this, &Filer::onCopyJobFinished);
    // A move that stops, or keeps a source that changed, has no job window left to say so.
    connect(d->vfsManager, &VfsManager::moveFailed, this,
            [this](const VfsCopyDto &, const QString &reason) { showStatusMessage(reason, 15000); });
    connect(AppLauncher::instance(), &AppLauncher::deferAppLaunch, this, &Filer::onDeferAppLaunch);
    d->sortModel = new VfsSortFilterProxyModel(this);
    d->selectionModel = new QItemSelectionModel(d->sortModel, this);
    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(d->treeView),
                                    static_cast<QAbstractItemView *>(d->iconView)}) {
        view->setModel(d->sortModel);
        view->setSelectionModel(d->selectionModel);
    }
    connect(d->selectionModel, &QItemSelectionModel::selectionChanged, this, &Filer::onSelectionChanged);
    // The status line counts the rows shown: it follows them when items come or go without
    // the selection changing (removed on the other computer, say). Once per turn of the loop.
    d->rowsCountTimer = new QTimer(this);
    d->rowsCountTimer->setSingleShot(true);
    connect(d->rowsCountTimer, &QTimer::timeout, this, &Filer::updateRowCount);
    for (auto rowsSignal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(d->sortModel, rowsSignal, d->rowsCountTimer, [this] { d->rowsCountTimer->start(0); });
    connect(d->sortModel, &QAbstractItemModel::modelReset, d->rowsCountTimer, [this] { d->rowsCountTimer->start(0); });
    connect(d->sortModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, &Filer::onRowsAboutToBeRemoved);
    connect(this, &Filer::pathChanged, this, &Filer::onPathChanged);
    connectActions();
    setViewMode(ViewColumns);
}

Filer::~Filer()
{
    if (VfsModel *model = d->model()) {
        if (!d->retainedPath.isEmpty())
            model->releasePath(d->retainedPath);
    }
    if (d->peer)
        d->peer->setActiveDisplay(false);
}

void Filer::buildPages()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *inner = new QVBoxLayout;
    inner->setContentsMargins(0, 0, 0, 0);
    inner->setSpacing(0);
    outer->addLayout(inner);
    setContentsMargins(0, 0, 0, 0);

    // The computer's page and the computer list get their QML when first shown (loadPage):
    // most browsers only ever show files, and loading both would hold back the first paint.
    auto makeQuick = [this] {
        auto *w = d->engine ? new QQuickWidget(d->engine, this) : new QQuickWidget(this);
        w->setResizeMode(QQuickWidget::SizeRootObjectToView);
        w->setClearColor(palette().color(QPalette::Window));
        w->installEventFilter(this);
        return w;
    };

    // Breadcrumb.
    d->navigation = new TopNavigation(d->engine, this);
    d->typedPaths = new TypedPathLookup(this);
    connect(d->typedPaths, &TypedPathLookup::found, this, [this](const QString &typed, const QString &path) {
        if (path.isEmpty())
            showStatusMessage(qtTrId("filer-path-not-found").arg(typed), 10000);
        else
            gotoPath(path);
    });
    d->navigation->setResizeMode(QQuickWidget::SizeViewToRootObject);
    d->navigation->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    d->navigation->installEventFilter(this);
    inner->addWidget(d->navigation);

    d->stack = new QStackedWidget(this);
    d->stack->setContentsMargins(0, 0, 0, 0);
    inner->addWidget(d->stack);

    // A line that explains why the browser shows the computer list instead of its peer, or
    // holds a message while a page without status line is shown. It stands below the pages,
    // where the status line is on the folder page: a page keeps its top where it is when the
    // line comes and when it goes, so a link or row under the pointer stays under it.
    d->notice = new QLabel(this);
    d->notice->setObjectName(QStringLiteral("pageNotice"));
    d->notice->setTextFormat(Qt::PlainText);
    d->notice->setWordWrap(true);
    d->notice->setContentsMargins(12, 6, 12, 6);
    d->notice->setVisible(false);
    inner->addWidget(d->notice);

    d->peerView = makeQuick();
    d->peerView->setMinimumSize(320, 480);
    d->peerViewAction = new QAction(this);
    d->peerViewAction->setCheckable(true);
    d->peerViewAction->setToolTip(tr("Show peer view"));
    connect(d->peerViewAction, &QAction::triggered, this, &Filer::showPeerView);
    addAction(d->peerViewAction);
    d->stack->addWidget(d->peerView);

    d->machineList = makeQuick();
    d->machineList->setMinimumSize(180, 480);
    d->machineList->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    d->machineListAction = new QAction(this);
    d->machineListAction->setCheckable(true);
    connect(d->machineListAction, &QAction::triggered, this, &Filer::showMachineList);
    addAction(d->machineListAction);
    d->stack->addWidget(d->machineList);

    if (QObject *root = d->root(d->navigation)) {
        root->setProperty("togglePeerViewAction", QVariant::fromValue<QObject *>(d->peerViewAction));
        const struct { const char *signal; const char *slot; } wiring[] = {
            {SIGNAL(indexClicked(int)), SLOT(onBreadCrumpClicked(int))},
            {SIGNAL(driveClicked(QString)), SLOT(onBreadCrumpDriveClicked(QString))},
            {SIGNAL(pathEdited(QString)), SLOT(onBreadCrumpPathEdited(QString))},
            {SIGNAL(implicitHeightChanged()), SLOT(adjustBreadCrumpHeight())},
            {SIGNAL(peerClicked()), SLOT(showPeerView())},
            {SIGNAL(backToFilesClicked()), SLOT(showFilesView())},
            {SIGNAL(upClicked()), SLOT(onUpClicked())},
            {SIGNAL(backClicked()), SLOT(onBackClicked())},
            {SIGNAL(forwardClicked()), SLOT(onForwardClicked())},
            {SIGNAL(machineListClicked()), SLOT(showMachineList())},
            {SIGNAL(homeClicked()), SLOT(onHomeClicked())},
            {SIGNAL(columModeClicked()), SLOT(viewAsColumns())},
            {SIGNAL(iconModeClicked()), SLOT(viewAsIcons())},
        };
        for (const auto &w : wiring) {
            if (root->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(w.signal + 1)) >= 0)
                connect(root, w.signal, this, w.slot);
        }
        for (const char *name : {"peerViewActivated()", "machineListActivated()", "filesViewActivated()"}) {
            if (root->metaObject()->indexOfSignal(name) >= 0)
                connect(this, QByteArray("2").append(name).constData(), root, QByteArray("2").append(name).constData());
        }
    }

    // Folder page: list/column view, icon view, status line.
    d->filesPage = new QWidget(this);
    auto *page = new QVBoxLayout(d->filesPage);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    d->treeView = new FilerTreeView(this);
    d->treeView->setAnimated(false);
    d->treeView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    d->iconView = new FilerIconView(this);
    d->largerAction = new QAction(qtTrId("action-larger"), this);
    d->largerAction->setShortcut(QKeySequence::ZoomIn);
    d->largerAction->setShortcutContext(Qt::WidgetShortcut);
    d->smallerAction = new QAction(qtTrId("action-smaller"), this);
    d->smallerAction->setShortcut(QKeySequence::ZoomOut);
    d->smallerAction->setShortcutContext(Qt::WidgetShortcut);
    // Where file managers and browsers have it: the path bar takes the keyboard.
    auto *editPath = new QAction(this);
    editPath->setObjectName(QStringLiteral("editPathAction"));
    editPath->setShortcuts({QKeySequence(Qt::CTRL + Qt::Key_L), QKeySequence(Qt::ALT + Qt::Key_D)});
    editPath->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(editPath);
    connect(editPath, &QAction::triggered, this, [this] {
        if (QObject *bar = d->root(d->navigation)) {
            d->navigation->setFocus(Qt::ShortcutFocusReason);
            QMetaObject::invokeMethod(bar, "beginPathEdit");
        }
    });
    connect(d->largerAction, &QAction::triggered, this, &Filer::increaseItemSize);
    connect(d->smallerAction, &QAction::triggered, this, &Filer::decreaseItemSize);
    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(d->treeView),
                                    static_cast<QAbstractItemView *>(d->iconView)}) {
        view->addAction(d->largerAction);
        view->addAction(d->smallerAction);
        connect(view, &QAbstractItemView::customContextMenuRequested, this, &Filer::onCustomContextMenuRequested);
        connect(view, &QAbstractItemView::activated, this, &Filer::onActivated);
        view->viewport()->installEventFilter(this);
        view->installEventFilter(this);
        page->addWidget(view);
    }
    d->clickGuard = new ClickThroughGuard(this);
    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(d->treeView),
                                    static_cast<QAbstractItemView *>(d->iconView)})
        d->clickGuard->watch(view->viewport());
    connect(d->treeView, &FilerTreeView::viewActivated, this, &Filer::activated);
    connect(d->treeView, &FilerTreeView::clearDropTarget, this, &Filer::clearDropTargetPath);
    connect(d->iconView, &FilerIconView::viewActivated, this, &Filer::activated);
    connect(d->iconView, &FilerIconView::clearDropTarget, this, &Filer::clearDropTargetPath);

    d->statusBar = new StatusLine(d->filesPage);
    d->statusBar->setSizeGripEnabled(false);
    // Texts from other computers (names) stay plain text in the status line as well (the
    // label shows plain text only). A long message (German texts are long) neither widens
    // the window nor runs into the free-space figure: the line takes a second line for it
    // while it is shown, and its tooltip holds it whole as well.
    d->statusLabel = new StatusLabel(d->statusBar);
    // The right margin keeps a cut message's end clear of the free-space figure.
    d->statusLabel->setContentsMargins(8, 0, 24, 0);
    d->statusBar->addWidget(d->statusLabel, 1);
    d->freeSpaceLabel = new QLabel(d->statusBar);
    d->freeSpaceLabel->setTextFormat(Qt::PlainText);
    d->freeSpaceLabel->setContentsMargins(0, 0, 24, 0);
    d->statusBar->addPermanentWidget(d->freeSpaceLabel);
    d->statusTimer = new QTimer(this);
    d->statusTimer->setObjectName(QStringLiteral("statusTimer"));   // tests end a message at once
    d->statusTimer->setSingleShot(true);
    connect(d->statusTimer, &QTimer::timeout, this, &Filer::endStatusMessage);
    d->listingTimer = new QTimer(this);
    // Only while the shown folder's listing merges: the sort follows its end closely.
    d->listingTimer->setInterval(10);
    connect(d->listingTimer, &QTimer::timeout, this, &Filer::checkListingDone);
    page->addWidget(d->statusBar);
    d->stack->addWidget(d->filesPage);
}

void Filer::connectActions()
{
    connect(sharedAction("filer.cut"), &QAction::triggered, this, &Filer::onCopyActionTriggered);
    connect(sharedAction("filer.copy"), &QAction::triggered, this, &Filer::onCopyActionTriggered);
    connect(sharedAction("filer.paste"), &QAction::triggered, this, &Filer::onPasteActionTriggered);
    connect(sharedAction("filer.trash"), &QAction::triggered, this, &Filer::onTrashActionTriggered);
    connect(sharedAction("filer.delete"), &QAction::triggered, this, &Filer::onDeleteActionTriggered);
    connect(sharedAction("filer.new-folder"), &QAction::triggered, this, &Filer::onNewFolderActionTriggered);
    connect(sharedAction("filer.rename"), &QAction::triggered, this, &Filer::onRenameActionTriggered);
    connect(FilerActions::action(FilerActions::clearMarkedId()), &QAction::triggered, this, &Filer::clearMarkedFiles);
    connect(sharedAction("filer.show-props"), &QAction::triggered, this, &Filer::onShowPropertiesActionTriggered);
    connect(sharedAction("filer.show-inexplorer"), &QAction::triggered, this, &Filer::onShowInExplorerActionTriggered);
    connect(sharedAction("filer.show-hidden"), &QAction::triggered, this, &Filer::filterHidden);
    connect(sharedAction("filer.view-icons"), &QAction::triggered, this, &Filer::viewAsIcons);
    connect(sharedAction("filer.view-list"), &QAction::triggered, this, &Filer::viewAsList);
    connect(sharedAction("filer.view-column"), &QAction::triggered, this, &Filer::viewAsColumns);
}

// ---------------------------------------------------------------------------------------------
// Accessors

IPeer *Filer::peer() const { return d->peer; }
Filer::ViewMode Filer::viewMode() const { return d->viewMode; }
bool Filer::isStandalone() const { return isWindow(); }
QAbstractItemView *Filer::currentView() const { return d->currentView; }
VfsSortFilterProxyModel *Filer::sortModel() const { return d->sortModel; }
QString Filer::statusText() const { return d->statusLabel ? d->statusLabel->text() : QString(); }
QString Filer::freeSpaceText() const { return d->freeSpaceLabel ? d->freeSpaceLabel->text() : QString(); }
QWidget *Filer::breadcrumb() const { return d->navigation; }

Filer::Page Filer::currentPage() const
{
    return d->stack ? Page(d->stack->currentIndex()) : PeerViewPage;
}

bool Filer::isActiveFiler() const
{
    // A browser without a hub (on its own, in tests) acts on every shared action.
    return !d->hub || d->hub->activeFiler() == this;
}

QString Filer::settingsGroup(const QString &filerUuid)
{
    return QStringLiteral("Filer_%1").arg(qHash(filerUuid, 0));
}

void Filer::showStatusMessage(const QString &text, int milliseconds)
{
    if (!d->statusLabel)
        return;
    d->statusLabel->setText(text);
    d->statusLabel->setToolTip(plainToolTip(text));   // names in it are data
    if (milliseconds > 0)
        d->statusTimer->start(milliseconds);
    else
        d->statusTimer->stop();
    // The computer list and a computer's page have no status line: a message that is meant
    // to be read (it has a time) shows in the notice line above them while it lasts.
    if (milliseconds > 0 && currentPage() != FilesPage) {
        d->notice->setText(text);
        d->notice->setVisible(true);
        d->noticeIsMessage = true;
    }
}

void Filer::endStatusMessage()
{
    d->statusTimer->stop();
    d->statusLabel->setText(d->selectionStatus);
    if (d->noticeIsMessage)
        d->notice->setVisible(false);
    d->noticeIsMessage = false;
}

void Filer::setBreadcrumbProperty(const char *name, const QVariant &value)
{
    if (QObject *root = d->root(d->navigation))
        root->setProperty(name, value);
}

QModelIndex Filer::sourceIndex(const QModelIndex &viewIndex) const
{
    if (!viewIndex.isValid() || !d->sortModel)
        return QModelIndex();
    return viewIndex.model() == d->sortModel ? d->sortModel->mapToSource(viewIndex) : viewIndex;
}

QModelIndex Filer::currentRootSource() const
{
    return d->currentView ? sourceIndex(d->currentView->rootIndex()) : QModelIndex();
}

void Filer::setButtons(int buttons)
{
    d->buttons = buttons;
    setBreadcrumbProperty("showCreateNewWindowButton", bool(buttons & 1));
    setBreadcrumbProperty("showToggleNodeViewButton", bool(buttons & 2));
}

// ---------------------------------------------------------------------------------------------
// Peer

void Filer::setPeer(IPeer *peer)
{
    if (d->bare || peer == d->peer)
        return;
    if (IPeer *old = d->peer) {
        if (VfsModel *model = d->model()) {
            disconnect(model, nullptr, this, nullptr);
            if (!d->retainedPath.isEmpty())
                model->releasePath(d->retainedPath);
        }
        if (VfsClient *client = old->vfsClient())
            disconnect(client, nullptr, this, nullptr);
        disconnect(old, nullptr, this, nullptr);
        old->setActiveDisplay(false);
    }
    d->retainedPath.clear();
    d->pendingResolve.clear();
    d->typedPaths->cancel();
    d->notice->setVisible(false);
    // The pages bind to the peer through their own GUI-thread mirror of it ("PeerInfo").
    setBreadcrumbProperty("peer", QVariant::fromValue<QObject *>(peer));
    setBreadcrumbProperty("filer", QVariant::fromValue<QObject *>(this));
    d->peer = peer;
    Q_EMIT peerChanged();
    if (!peer) {
        d->sortModel->setSourceModel(nullptr);
        return;
    }
    peer->setActiveDisplay(true);

    VfsModel *model = d->model();
    if (model) {
        connect(model, &VfsModel::pathResolved, this, &Filer::onPathResolved, Qt::QueuedConnection);
        connect(model, &VfsModel::renameRequest, this, &Filer::onRenameEditDone);
        connect(model, &VfsModel::dataChanged, this, &Filer::onVfsModelDataChanged);
        // The folder shown is listed again under the other computer's new rules (its locks).
        connect(model, &VfsModel::accessChanged, this, [this, model] {
            const QModelIndex root = currentRootSource();
            if (currentPage() == FilesPage && root.isValid() && d->model() == model)
                model->fetchMore(root);
        });
    }
    if (VfsClient *client = peer->vfsClient()) {
        connect(client, &VfsClient::makeDirectoryUpdate, this, &Filer::onVfsMakeDirectoryJobUpdate, Qt::QueuedConnection);
        connect(client, &VfsClient::moveUpdate, this, &Filer::onVfsMoveJobUpdate, Qt::QueuedConnection);
    }
    connect(peer, &IPeer::linkStateChanged, this, &Filer::onPeerLinkStateChanged);
    // A computer removed while it is shown: fall back to the computer list.
    connect(peer, &QObject::destroyed, this, &Filer::fallBackToMachineList);

    if (QObject *root = d->root(d->peerView))
        root->setProperty("peer", QVariant::fromValue<QObject *>(peer));
    peer->connectVfs();

    d->listingTimer->stop();
    d->sortHeld = false;
    d->sortModel->setDynamicSortFilter(true);
    d->sortModel->setSourceModel(model);
    // By the header's arrow, so that arrow and order agree from the start.
    const QHeaderView *header = d->treeView->header();
    d->sortModel->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
    if (model)
        connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &Filer::onRowsAboutToBeInserted);
    d->treeView->setUniformRowHeights(true);
    for (int c = 0; c < VfsModel::ColumnCount; ++c) {
        const bool visible = std::find(d->visibleColumns.begin(), d->visibleColumns.end(), c) != d->visibleColumns.end();
        d->treeView->setColumnHidden(c, !visible);
    }
    Q_EMIT pathChanged();
    if (model && model->canFetchMore(QModelIndex()))
        model->fetchMore(QModelIndex());
    if (currentPage() == PeerViewPage)
        setWindowTitle(peer->displayName().isEmpty() ? peer->name() : peer->displayName());
}

void Filer::onRowsAboutToBeRemoved(const QModelIndex &parent, int first, int last)
{
    if (currentPage() != FilesPage || !d->currentView)
        return;
    for (QModelIndex shown = d->currentView->rootIndex(); shown.isValid(); shown = shown.parent()) {
        if (shown.parent() != parent || shown.row() < first || shown.row() > last)
            continue;
        const QModelIndex gone = sourceIndex(shown);
        if (gone.data(VfsModel::OrigTypeRole).toInt() != VfsModel::ShareType)
            return;
        // Once the rows are out: the views still hold them now.
        const QString name = gone.data(VfsModel::NameRole).toString();
        QMetaObject::invokeMethod(this, [this, name] { leaveUnsharedFolder(name); }, Qt::QueuedConnection);
        return;
    }
}

void Filer::leaveUnsharedFolder(const QString &shareName)
{
    if (currentPage() != FilesPage)
        return;
    showPeerView();
    //% "%1 is no longer shared with this computer."
    showStatusMessage(qtTrId("filer-msg-share-gone").arg(shareName), 15000);
}

void Filer::onRowsAboutToBeInserted(const QModelIndex &parent)
{
    // A big folder arrives in many batches; placing each batch's rows one by one among the
    // sorted ones (and telling the view about each) costs more than the listing itself. While
    // the shown folder is being listed, rows are appended as they come and sorted once when
    // the listing is complete. A folder's first listing is not even sorted batch by batch:
    // with nothing shown yet, nothing moves when the rows take their places.
    if (!d->sortModel->dynamicSortFilter() || parent != currentRootSource() || !parent.isValid())
        return;
    auto *entry = static_cast<VfsEntry *>(parent.internalPointer());
    if (!entry || !entry->fetching)
        return;
    d->sortModel->setDynamicSortFilter(false);
    if (entry->children.empty()) {
        d->sortModel->sort(-1);
        d->sortHeld = true;
    }
    d->listingTimer->start();
}

void Filer::resumeSorting()
{
    d->listingTimer->stop();
    // Sorts once and follows changes again.
    d->sortModel->setDynamicSortFilter(true);
    if (d->sortHeld) {
        d->sortHeld = false;
        const QHeaderView *header = d->treeView->header();
        d->sortModel->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
    }
}

void Filer::checkListingDone()
{
    const QModelIndex root = currentRootSource();
    auto *entry = root.isValid() ? static_cast<VfsEntry *>(root.internalPointer()) : nullptr;
    if (entry && entry->fetching)
        return;
    resumeSorting();
    selectNewFolder();
    updateFileActions();
}

void Filer::fallBackToMachineList()
{
    // The peer object is gone; everything bound to it went with it.
    d->retainedPath.clear();
    d->pendingResolve.clear();
    d->sortModel->setSourceModel(nullptr);
    d->peer = nullptr;
    Q_EMIT peerChanged();
    setPage(MachineListPage);
    d->notice->setText(qtTrId("filer-msg-peer-removed"));
    d->notice->setVisible(true);
    d->noticeIsMessage = false;
    setWindowTitle(qtTrId("place-network"));
    updateFileActions();
}

// ---------------------------------------------------------------------------------------------
// Pages

void Filer::loadPage(Page page)
{
    if (page == FilesPage)
        return;
    bool &loaded = page == PeerViewPage ? d->peerViewLoaded : d->machineListLoaded;
    QQuickWidget *w = page == PeerViewPage ? d->peerView : d->machineList;
    if (!w || loaded)
        return;
    loaded = true;
    const QString source = page == PeerViewPage ? QStringLiteral("qrc:/qml/PeerView.qml")
                                                : QStringLiteral("qrc:/qml/MachineList.qml");
    // The pages come from the panes' resources; without them the page stays empty.
    if (QFile::exists(QLatin1Char(':') + QUrl(source).path()))
        w->setSource(QUrl(source));
    QObject *root = d->root(w);
    if (!root)
        return;
    if (page == MachineListPage) {
        connect(root, SIGNAL(peerSelected(IPeer *)), this, SLOT(onMachineListPeerClicked(IPeer *)));
        return;
    }
    if (root->metaObject()->indexOfSignal("pathClicked(QString)") >= 0) {
        // The rest of a double-click on a tile stays off the file list the tile brings up.
        connect(root, SIGNAL(pathClicked(QString)), d->clickGuard, SLOT(clicked()));
        connect(root, SIGNAL(pathClicked(QString)), this, SLOT(gotoPath(QString)));
    }
    if (root->metaObject()->indexOfSignal("editPeerAclClicked(QString,QString)") >= 0)
        connect(root, SIGNAL(editPeerAclClicked(QString, QString)), this, SLOT(onEditPeerAcl(QString, QString)));
    if (root->metaObject()->indexOfSignal("localPathClicked(QString)") >= 0)
        connect(root, SIGNAL(localPathClicked(QString)), this, SLOT(openLocalPath(QString)));
    if (d->peer)
        root->setProperty("peer", QVariant::fromValue<QObject *>(d->peer));
}

void Filer::setPage(Page page)
{
    loadPage(page);
    // The keyboard goes where the page is: the computer list and a computer's page take it
    // as the file view does.
    QWidget *focus = QApplication::focusWidget();
    const bool hadFocus = focus && (focus == this || isAncestorOf(focus));
    d->stack->setCurrentIndex(int(page));
    QWidget *shown = page == FilesPage ? static_cast<QWidget *>(d->currentView)
                   : page == PeerViewPage ? static_cast<QWidget *>(d->peerView)
                                          : static_cast<QWidget *>(d->machineList);
    if (shown) {
        setFocusProxy(shown);
        if (hadFocus)
            shown->setFocus(Qt::OtherFocusReason);
    }
    d->peerViewAction->setChecked(page == PeerViewPage);
    d->machineListAction->setChecked(page == MachineListPage);
    Q_EMIT listerVisibilityChanged(page == FilesPage);
    d->notice->setVisible(false);
    d->noticeIsMessage = false;
}

void Filer::showPeerView()
{
    if (currentPage() == PeerViewPage && d->stack->currentWidget() == d->peerView && d->peerViewAction->isChecked())
        return;
    setPage(PeerViewPage);
    Q_EMIT peerViewActivated();
    if (d->peer)
        setWindowTitle(d->peer->displayName().isEmpty() ? d->peer->name() : d->peer->displayName());
    pushHistory();
    updateFileActions();
}

void Filer::showMachineList()
{
    if (currentPage() == MachineListPage && d->machineListAction->isChecked())
        return;
    setPage(MachineListPage);
    Q_EMIT machineListActivated();
    setWindowTitle(qtTrId("place-network"));
    pushHistory();
    updateFileActions();
}

void Filer::showFilesView()
{
    if (currentPage() != FilesPage) {
        setPage(FilesPage);
        Q_EMIT filesViewActivated();
    }
    updateFileActions();
}

// ---------------------------------------------------------------------------------------------
// Navigation

QString Filer::path() const
{
    switch (currentPage()) {
    case PeerViewPage:
        return kPeerViewPath;
    case MachineListPage:
        return kMachineListPath;
    case FilesPage:
        break;
    }
    return currentRootSource().data(VfsModel::PathRole).toString();
}

QString Filer::placeToKeep() const
{
    return d->pendingResolve.isEmpty() ? path() : d->pendingResolve;
}

QStringList Filer::pathList() const
{
    if (!d->peer || !d->currentView)
        return QStringList();
    return currentRootSource().data(VfsModel::PathListRole).toStringList();
}

QStringList Filer::displayPath() const
{
    if (!d->peer || !d->currentView)
        return QStringList();
    QStringList parts = currentRootSource().data(VfsModel::DisplayPathListRole).toStringList();
    // The first part is the model's root key ("/" or "%shares"); the strip names it the way
    // a person knows it: the computer, or its shares.
    if (!parts.isEmpty()) {
        const QString computer = d->peer->displayName().isEmpty() ? d->peer->name() : d->peer->displayName();
        if (parts.first() == QLatin1String("/") && !computer.isEmpty())
            parts.first() = computer;
        else if (parts.first() == QLatin1String("%shares"))
            parts.first() = qtTrId("place-shares");
    }
    return parts;
}

QString Filer::currentItemPath() const
{
    if (!d->currentView)
        return QString();
    return sourceIndex(d->currentView->currentIndex()).data(VfsModel::PathRole).toString();
}

void Filer::setCurrentIndexToPath(const QString &path)
{
    VfsModel *model = d->model();
    if (!model || !d->currentView)
        return;
    const QModelIndex index = d->sortModel->mapFromSource(model->indexForPath(path));
    if (!index.isValid())
        return;
    d->selectionModel->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    d->currentView->scrollTo(index, QAbstractItemView::EnsureVisible);
}

void Filer::refreshAndSelect(const QString &path)
{
    VfsModel *model = d->model();
    if (!model || path.isEmpty())
        return;
    const QModelIndex root = currentRootSource();
    if (root.isValid())
        model->fetchMore(root);
    QPointer<Filer> self(this);
    QTimer::singleShot(200, this, [self, path] {
        if (self)
            self->setCurrentIndexToPath(path);
    });
}

void Filer::resolvePath(const QString &path)
{
    Q_EMIT pathResolveStart();
    VfsModel *model = d->model();
    if (!model) {
        Q_EMIT pathResolveFailed();
        return;
    }
    d->pendingResolve = model->resolvePath(path, true);
}

void Filer::gotoPath(const QString &requested)
{
    VfsModel *model = d->model();
    if (!d->peer || !model)
        return;
    d->typedPaths->cancel();   // a path typed before goes nowhere now
    raise();
    if (requested == kPeerViewPath || requested == kSharesPath) {
        showPeerView();
        return;
    }
    if (requested == kMachineListPath) {
        showMachineList();
        return;
    }
    const QModelIndex previousRoot = currentRootSource();
    const QString previousPath = previousRoot.data(VfsModel::PathRole).toString();

    QString path = requested;
    QModelIndex target;
    if (requested == kHomePath) {
        const QStringList homes = QStandardPaths::standardLocations(QStandardPaths::HomeLocation);
        if (homes.isEmpty()) {
            Q_EMIT pathResolveFailed();
            return;
        }
        path = homes.first();
        if (!d->peer->isLocal()) {
            IPeer *local = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(nullUuidString()) : nullptr;
            if (!local)
                return;
            setPeer(local);
            model = d->model();
            if (!model)
                return;
        }
        target = model->indexForPath(path);
    } else if (requested.isEmpty()) {
        target = model->index(0, 0, QModelIndex());
    } else {
        target = model->indexForPath(requested);
    }

    if (!target.isValid()) {
        d->pendingResolve = model->resolvePath(path, true);
        return;
    }
    const int type = target.data(VfsModel::TypeRole).toInt();
    if (type != VfsModel::DriveType && type != VfsModel::DirectoryType) {
        const QModelIndex parent = target.parent();
        if (!parent.isValid()) {
            d->pendingResolve = model->resolvePath(path, true);
            return;
        }
        d->selectionModel->clearSelection();
        d->selectionModel->setCurrentIndex(d->sortModel->mapFromSource(target), QItemSelectionModel::Current | QItemSelectionModel::Rows);
        target = parent;
    }
    while (target.isValid() && !(target.data(VfsModel::InfoRole).toUInt() & VfsModel::ExecUser)) {
        target = target.parent();
        d->selectionModel->clearSelection();
    }
    applyRoot(target, previousRoot, previousPath);
}

void Filer::applyRoot(const QModelIndex &target, const QModelIndex &previousRoot, const QString &previousPath)
{
    VfsModel *model = d->model();
    d->pendingResolve.clear();
    if (!d->sortModel->dynamicSortFilter())
        resumeSorting();
    d->sortModel->setRootIndex(target);
    if (target.isValid() && model->canFetchMore(target))
        model->fetchMore(target);
    const QModelIndex viewRoot = d->sortModel->mapFromSource(target);
    d->currentView->setRootIndex(viewRoot);
    sharedAction("filer.new-folder")->setEnabled(isActiveFiler() && (target.data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser));
    const QString name = target.data(VfsModel::NameRole).toString();
    Q_EMIT directoryChanged(name);
    setWindowTitle(name);

    const QString newPath = target.data(VfsModel::PathRole).toString();
    if (!d->retainedPath.isEmpty())
        model->releasePath(d->retainedPath);
    else if (!previousPath.isEmpty())
        model->releasePath(previousPath);
    d->retainedPath.clear();
    if (model->retainPath(newPath))
        d->retainedPath = newPath;

    const QModelIndex current = d->selectionModel->currentIndex();
    if (previousRoot.isValid() && previousRoot.parent() == target) {
        const QModelIndex back = d->sortModel->mapFromSource(previousRoot);
        d->selectionModel->setCurrentIndex(back, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else if (current.isValid() && current.parent() == viewRoot) {
        // stays
    } else {
        d->selectionModel->clear();
        d->selectionModel->setCurrentIndex(d->sortModel->index(0, 0, viewRoot), QItemSelectionModel::NoUpdate);
    }
    d->currentView->scrollTo(d->selectionModel->currentIndex(), QAbstractItemView::PositionAtCenter);
    showFilesView();
    Q_EMIT pathChanged();
}

void Filer::onPathResolved(int status, const QString &path)
{
    VfsModel *model = d->model();
    if (!d->peer || !model || sender() != model || path != d->pendingResolve)
        return;
    if (status != 0) {
        logPrintf(LogNfo1, "failed to resolve path %s", qUtf8Printable(path));
        d->pendingResolve.clear();
        showStatusMessage(qtTrId("filer-path-not-found").arg(shownPath(model, path)), 10000);
        Q_EMIT pathResolveFailed();
        return;
    }
    const QModelIndex index = model->indexForPath(path);
    if (!index.isValid()) {
        Q_EMIT pathResolveFailed();
        d->pendingResolve.clear();
        gotoPath(path);
        return;
    }
    d->pendingResolve.clear();
    Q_EMIT pathResolved(d->sortModel->mapFromSource(index), index.data(VfsModel::PathListRole).toStringList());
    QPointer<Filer> self(this);
    QTimer::singleShot(10, this, [self, path] {
        if (self)
            self->gotoPath(path);
    });
}

void Filer::onActivated(const QModelIndex &viewIndex)
{
    if (!d->sortModel || !d->peer || !d->currentView)
        return;
    QModelIndex index = sourceIndex(viewIndex);
    const int type = index.data(VfsModel::TypeRole).toInt();
    const QString path = index.data(VfsModel::PathRole).toString();
    if (index.isValid() && type != VfsModel::DriveType && type != VfsModel::DirectoryType && !path.isEmpty()) {
        openFile(path);
        return;
    }
    while (index.isValid() && !(index.data(VfsModel::InfoRole).toUInt() & VfsModel::ExecUser)) {
        index = index.parent();
        d->selectionModel->clearSelection();
    }
    const QString target = index.data(VfsModel::PathRole).toString();
    if (!target.isEmpty())
        gotoPath(target);
}

void Filer::activateCurrent()
{
    if (d->currentView)
        onActivated(d->currentView->currentIndex());
}

void Filer::onDriveClicked(const QModelIndex &index)
{
    if (index.isValid())
        gotoPath(index.data(VfsDriveModel::PathRole).toString());
}

void Filer::onBreadCrumpClicked(int level)
{
    if (!d->peer || !d->sortModel || !d->currentView)
        return;
    Q_EMIT activated();
    if (level < 0)
        return;
    QModelIndex root = d->currentView->rootIndex();
    QStringList list = sourceIndex(root).data(VfsModel::PathListRole).toStringList();
    while (list.size() > level + 1) {
        list.removeLast();
        root = root.parent();
    }
    onActivated(root);
}

void Filer::onUpClicked()
{
    const QString parentPath = currentRootSource().parent().data(VfsModel::PathRole).toString();
    if (!parentPath.isEmpty())
        gotoPath(parentPath);
}

void Filer::onHomeClicked() { gotoPath(kHomePath); }
void Filer::onSharesButtonClicked() { gotoPath(kSharesPath); }
void Filer::onPeerButtonClicked() { showPeerView(); }
void Filer::onForwardClicked() {}
void Filer::onBreadCrumpDriveClicked(const QString &path) { gotoPath(path); }
void Filer::onBreadCrumpPathEdited(const QString &typed)
{
    // An empty line opens nothing: the page shown stays.
    if (typed.trimmed().isEmpty())
        return;
    // What was said about an earlier path is no answer to this one.
    if (d->statusTimer->isActive())
        endStatusMessage();
    if (!d->peer || !d->model()) {
        showStatusMessage(qtTrId("filer-path-not-found").arg(typed), 10000);
        return;
    }
    d->pendingResolve.clear();   // a path asked for before goes nowhere now
    d->typedPaths->start(d->model(), typed);
}

void Filer::onMachineListPeerClicked(IPeer *peer)
{
    setPeer(peer);
    if (currentPage() != PeerViewPage)
        showPeerView();
}

void Filer::pushHistory()
{
    if (!d->peer)
        return;
    const HistoryEntry entry{d->peer->uuid(), path()};
    if (entry.path.isEmpty() || (!d->history.empty() && d->history.back() == entry))
        return;
    if (int(d->history.size()) >= kHistoryLimit)
        d->history.pop_front();
    d->history.push_back(entry);
    logPrintf(LogNfo2, "push history %s : %s", qUtf8Printable(entry.peerUuid), qUtf8Printable(entry.path));
}

void Filer::onBackClicked()
{
    if (d->history.empty())
        return;
    HistoryEntry entry = d->history.back();
    d->history.pop_back();
    const HistoryEntry here{d->peer ? d->peer->uuid() : QString(), path()};
    while (entry == here) {
        if (d->history.empty())
            return;
        entry = d->history.back();
        d->history.pop_back();
    }
    IPeer *peer = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(entry.peerUuid) : nullptr;
    if (!peer)
        return;
    setPeer(peer);
    gotoPath(entry.path);
}

void Filer::onPathChanged()
{
    setBreadcrumbProperty("pathList", pathList());
    setBreadcrumbProperty("fullPath", path());
    setBreadcrumbProperty("editPath", shownPath(d->model(), path()));
    if (QObject *root = d->root(d->navigation)) {
        if (root->metaObject()->indexOfMethod("setPath(QVariant)") >= 0)
            QMetaObject::invokeMethod(root, "setPath", Q_ARG(QVariant, QVariant(displayPath())));
    }
    pushHistory();
    updateFileActions();
}

void Filer::adjustBreadCrumpHeight()
{
    QObject *root = d->root(d->navigation);
    if (!root)
        return;
    root->setProperty("width", width());
    bool ok = false;
    const double h = root->property("implicitHeight").toDouble(&ok);
    if (ok && h > 32)
        d->navigation->setMinimumHeight(int(h));
}

// ---------------------------------------------------------------------------------------------
// Status line and actions

void Filer::onSelectionChanged(const QItemSelection &, const QItemSelection &)
{
    updateFileActions();
}

void Filer::onVfsModelDataChanged(const QModelIndex &, const QModelIndex &, const QVector<int> &roles)
{
    if (roles.contains(VfsModel::ChildSizeRole))
        updateFileActions();
    else if (roles.contains(VfsModel::InfoRole))
        d->rowsCountTimer->start(0);   // rights changed: the actions follow
}

void Filer::updateRowCount()
{
    selectNewFolder();
    const bool online = d->peer && d->peer->linkState() == IPeer::LinkUp;
    if (d->bare || !d->selectionModel->selectedIndexes().isEmpty() || !online || !d->currentView) {
        updateFileActions();
        return;
    }
    d->selectionStatus = qtTrId("filer-status-dir", d->sortModel->rowCount(d->currentView->rootIndex()));
    if (!d->statusTimer->isActive())
        showStatusMessage(d->selectionStatus, 0);
    if (isActiveFiler())
        sharedAction("filer.new-folder")->setEnabled(currentPage() == FilesPage
                                                     && (currentRootSource().data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser));
}

void Filer::onPeerLinkStateChanged()
{
    if (currentPage() == FilesPage)
        updateFileActions();
}

void Filer::updateFileActions()
{
    if (d->bare)
        return;
    const bool online = d->peer && d->peer->linkState() == IPeer::LinkUp;
    const QString uuid = d->peer ? d->peer->uuid() : QString();
    VfsModel *model = d->model();
    const QModelIndex root = currentRootSource();
    const quint32 rootInfo = root.data(VfsModel::InfoRole).toUInt();

    quint32 perms = VfsModel::ReadUser | VfsModel::WriteUser | VfsModel::ExecUser;
    std::vector<QString> paths;
    QStringList launcherPaths;
    int dirCount = 0;
    quint64 totalSize = 0;
    const QChar sep = model ? model->pathSeparator() : QLatin1Char('/');
    if (d->currentView && d->selectionModel) {
        for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
            if (viewIndex.column() != 0)
                continue;
            const QModelIndex index = sourceIndex(viewIndex);
            const quint32 info = index.data(VfsModel::InfoRole).toUInt();
            if (!(info & VfsModel::ReadUser))
                perms &= ~quint32(VfsModel::ReadUser);
            if (!(info & VfsModel::WriteUser))
                perms &= ~quint32(VfsModel::WriteUser);
            const QString p = index.data(VfsModel::PathRole).toString();
            if (p.isEmpty())
                continue;
            paths.push_back(p);
            launcherPaths.append(index.data(VfsModel::OrigTypeRole).toInt() == VfsModel::ShareType
                                     ? QStringLiteral("%shares%1%2").arg(sep).arg(index.data(VfsModel::NameRole).toString())
                                     : p);
            if (index.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType)
                ++dirCount;
            else
                totalSize += index.data(VfsModel::SizeRole).toULongLong();
        }
    }
    Q_EMIT selectionChanged(uuid, paths);

    // The applications related to the selection follow the active browser only, never a
    // browser of the other pane.
    if (isActiveFiler()) {
        if (online && launcherPaths.size() != dirCount)
            AppLauncher::instance()->selectRelatedApps(uuid, std::vector<QString>(launcherPaths.begin(), launcherPaths.end()));
        else if (AppLauncher::instance()->rowCount() > 0)
            AppLauncher::instance()->clear();
    }

    if (!online) {
        d->selectionStatus.clear();
        showStatusMessage(d->peer ? qtTrId("filer-status-offline").arg(d->peer->name()) : QString(), 0);
        d->freeSpaceLabel->clear();
    } else {
        QString text;
        const int n = int(paths.size());
        if (dirCount > 0 && dirCount == launcherPaths.size())
            text = qtTrId("filer-status-dirselection", n);
        else if (n > 0)
            text = qtTrId("filer-status-selection", n).arg(formattedSize(totalSize));
        else
            text = qtTrId("filer-status-dir", d->sortModel->rowCount(d->currentView ? d->currentView->rootIndex() : QModelIndex()));
        // A timed message (a failed delete, say) stays until its time is up even when the
        // failure itself changes the listing: the user would not see it otherwise.
        d->selectionStatus = text;
        if (!d->statusTimer->isActive())
            showStatusMessage(text, 0);
        auto *drives = d->peer ? qobject_cast<VfsDriveModel *>(d->peer->vfsDriveModel()) : nullptr;
        const quint64 free = drives && root.isValid() ? drives->driveForPath(root.data(VfsModel::PathRole).toString()).bytesAvailable : 0;
        if (free)
            d->freeSpaceLabel->setText(qtTrId("filer-status-freespace").arg(formattedSize(free)));
        else
            d->freeSpaceLabel->clear();
    }

    if (!isActiveFiler())
        return;
    const bool files = currentPage() == FilesPage && online;
    const int count = int(paths.size());
    const bool local = uuid == nullUuidString();
    const bool enable[] = {
        files && count >= 1 && (perms & VfsModel::WriteUser),
        files && count >= 1 && (perms & VfsModel::ReadUser),
        files && count >= 1 && (perms & VfsModel::WriteUser),
        files && count >= 1 && (perms & VfsModel::WriteUser),
        files && count == 1 && (rootInfo & VfsModel::WriteUser),
        files && (rootInfo & VfsModel::WriteUser),
        files && count >= 1 && local,
        files && count >= 1 && local,
        files && count >= 1,
        files && count >= 1,
        files && count >= 1,
        files && count >= 1,
    };
    for (size_t i = 0; i < std::size(kFileActionIds); ++i)
        sharedAction(kFileActionIds[i])->setEnabled(enable[i]);
}

void Filer::onActiveFilerChanged()
{
    setBreadcrumbProperty("activeFiler", isActiveFiler());
    updateViewModeActions();
    if (isActiveFiler()) {
        adjustBreadCrumpHeight();
        // The shared actions follow the browser that is active now, never the one before.
        updateFileActions();
    }
}

// ---------------------------------------------------------------------------------------------
// View modes, sizes, filters

void Filer::setViewMode(ViewMode mode)
{
    if (mode == d->viewMode || d->bare)
        return;
    const QModelIndex keptRoot = d->currentView ? d->currentView->rootIndex() : QModelIndex();
    const QModelIndex keptCurrent = d->selectionModel->currentIndex();
    d->viewMode = mode;
    updateViewModeActions();
    d->visibleColumns = {0};
    switch (mode) {
    case ViewColumns:
        d->visibleColumns = {0, 1, 4, 7};
        d->iconView->hide();
        d->currentView = d->treeView;
        break;
    case ViewList:
        d->currentView = d->treeView;
        d->iconView->hide();
        break;
    case ViewIcons:
    case ViewNone:
        d->currentView = d->iconView;
        d->treeView->hide();
        break;
    }
    if (d->currentView == d->treeView) {
        for (int c = 0; c < VfsModel::ColumnCount; ++c) {
            const bool visible = std::find(d->visibleColumns.begin(), d->visibleColumns.end(), c) != d->visibleColumns.end();
            d->treeView->setColumnHidden(c, !visible);
        }
    }
    if (keptRoot.isValid())
        d->currentView->setRootIndex(keptRoot);
    if (keptCurrent.isValid())
        d->selectionModel->setCurrentIndex(keptCurrent, QItemSelectionModel::NoUpdate);
    d->currentView->show();
    if (currentPage() == FilesPage)
        setFocusProxy(d->currentView);
    Q_EMIT viewModeChanged();
}

void Filer::updateViewModeActions()
{
    if (!isActiveFiler() || d->bare)
        return;
    sharedAction("filer.view-icons")->setChecked(d->viewMode == ViewIcons);
    sharedAction("filer.view-list")->setChecked(d->viewMode == ViewList);
    sharedAction("filer.view-column")->setChecked(d->viewMode == ViewColumns);
}

void Filer::viewAsIcons()
{
    if (isActiveFiler())
        setViewMode(ViewIcons);
}

void Filer::viewAsList()
{
    if (isActiveFiler())
        setViewMode(ViewList);
}

void Filer::viewAsColumns()
{
    if (isActiveFiler())
        setViewMode(ViewColumns);
}

void Filer::increaseItemSize()
{
    if (!isActiveFiler())
        return;
    if (d->viewMode == ViewIcons)
        d->iconView->increaseItemSize();
    else
        d->treeView->increaseItemSize();
}

void Filer::decreaseItemSize()
{
    if (!isActiveFiler())
        return;
    if (d->viewMode == ViewIcons)
        d->iconView->decreaseItemSize();
    else
        d->treeView->decreaseItemSize();
}

void Filer::filterHidden(bool show)
{
    if (d->sortModel)
        d->sortModel->setShowHidden(show);
    updateFileActions();
}

void Filer::filterMaxAge(int seconds)
{
    if (d->sortModel)
        d->sortModel->setRecentSeconds(qint64(seconds));
}

bool Filer::viewWheelEvent(QWheelEvent *event)
{
    if (currentPage() != FilesPage)
        return false;
    if (event->angleDelta().y() < 1)
        d->smallerAction->trigger();
    else
        d->largerAction->trigger();
    return true;
}

void Filer::selectNextItem()
{
    if (currentPage() != FilesPage || !d->currentView)
        return;
    const QModelIndex current = d->currentView->currentIndex();
    const QModelIndex next = current.sibling(current.row() + 1, current.column());
    if (next.isValid())
        d->selectionModel->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void Filer::selectPreviousItem()
{
    if (currentPage() != FilesPage || !d->currentView)
        return;
    const QModelIndex current = d->currentView->currentIndex();
    const QModelIndex previous = current.sibling(current.row() - 1, current.column());
    if (previous.isValid())
        d->selectionModel->setCurrentIndex(previous, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// ---------------------------------------------------------------------------------------------
// Events

bool Filer::event(QEvent *e)
{
    if (e->type() == QEvent::Resize)
        adjustBreadCrumpHeight();
    else if (e->type() == QEvent::WindowActivate && isStandalone() && !d->bare)
        Q_EMIT activated();
    return QWidget::event(e);
}

bool Filer::viewKeyPress(QKeyEvent *event)
{
    // First: Shift+Del is the platform's cut as well, but here it deletes.
    if (refuseDisabledKey(event))
        return true;
    if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::Cut)) {
        const bool cut = event->matches(QKeySequence::Cut);
        if (sharedAction(cut ? "filer.cut" : "filer.copy")->isEnabled())
            return false;
        refuseTransfer(cut ? CutTransfer : CopyTransfer);
        return true;
    }
    const bool menuKey = event->key() == Qt::Key_Menu
                      || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (!menuKey || !d->currentView)
        return false;
    const QModelIndex current = d->currentView->currentIndex();
    QRect at = current.isValid() && d->selectionModel->isSelected(current) ? d->currentView->visualRect(current) : QRect();
    if (!at.isValid() || !d->currentView->viewport()->rect().intersects(at))
        at = QRect(QPoint(8, 8), QSize(1, 1));
    openContextMenu(d->currentView->viewport()->mapToGlobal(at.center()));
    return true;
}

bool Filer::eventFilter(QObject *watched, QEvent *e)
{
    if (d->bare)
        return QWidget::eventFilter(watched, e);
    // A new browser shows the computer page, its first page, before any setPage().
    if (e->type() == QEvent::Show && (watched == d->peerView || watched == d->machineList))
        loadPage(watched == d->peerView ? PeerViewPage : MachineListPage);
    const bool onView = d->currentView && watched == d->currentView->viewport();
    if (d->currentView && watched == d->currentView && e->type() == QEvent::KeyPress)
        return viewKeyPress(static_cast<QKeyEvent *>(e)) || QWidget::eventFilter(watched, e);
    switch (e->type()) {
    case QEvent::MouseButtonPress: {
        auto *me = static_cast<QMouseEvent *>(e);
        if (!isActiveFiler())
            Q_EMIT activated();
        d->pressX = qRound(me->localPos().x());
        d->pressY = qRound(me->localPos().y());
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto *me = static_cast<QMouseEvent *>(e);
        const int x = qRound(me->localPos().x()), y = qRound(me->localPos().y());
        if (me->button() == Qt::RightButton) {
            const int dx = x - d->pressX, dy = y - d->pressY;
            const int length = qAbs(dx) + qAbs(dy);
            logPrintf(LogDbg1, "manhatten length: %d, %d %d", length, dx, dy);
            if (length > 15) {
                d->pressX = d->pressY = 0;
                if (qAbs(dx) > 29) {
                    if (dx < -50 && qAbs(dy) < 30)
                        onBackClicked();
                } else if (dy > 50) {
                    FilerActions::action(FilerActions::showNodeViewId())->trigger();
                } else if (dy < -50) {
                    onUpClicked();
                }
            } else if (onView) {
                onCustomContextMenuRequested(me->pos());
            }
        } else if (me->button() == Qt::BackButton) {
            onBackClicked();
        } else if (me->button() == Qt::ForwardButton) {
            onForwardClicked();
        } else if (me->button() == Qt::MiddleButton && onView) {
            const QString p = currentItemPath();
            if (!p.isEmpty() && d->peer)
                Q_EMIT newTabRequest(d->peer->uuid(), p);
        }
        break;
    }
    case QEvent::Wheel:
        if (onView && (static_cast<QWheelEvent *>(e)->modifiers() & Qt::ControlModifier))
            return viewWheelEvent(static_cast<QWheelEvent *>(e));
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, e);
}

void Filer::keyReleaseEvent(QKeyEvent *e)
{
    if (d->currentView && d->currentView->hasFocus()) {
        const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if (e->key() == Qt::Key_Backspace && mods == Qt::NoModifier)
            onUpClicked();
        else if (e->key() == Qt::Key_Up && mods == Qt::AltModifier)
            onUpClicked();
        else if (e->key() == Qt::Key_Left && mods == Qt::AltModifier)
            onBackClicked();
    }
    QWidget::keyReleaseEvent(e);
}

void Filer::closeEvent(QCloseEvent *e)
{
    if (isStandalone())
        Q_EMIT aboutToClose();
    QWidget::closeEvent(e);
}
