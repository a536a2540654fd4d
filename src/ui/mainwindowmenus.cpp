// The main window's menus and commands: switching the right-hand side, Tab between the panes,
// the network switch and the Help commands.

#include "ui/mainwindow.h"

#include "app/base/actionregistry.h"
#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "peers/invitationmodel.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/aboutdialog.h"
#include "ui/mainwindow_p.h"
#include "ui/panepage.h"
#include "ui/sharedactions.h"

#include <QAction>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QStackedWidget>
#include <QUrl>

namespace {

QAction *shared(const char *id)
{
    return qobject_cast<QAction *>(ActionRegistry::actionObject(QString::fromLatin1(id)));
}

struct MenuEntry
{
    const char *id;     // command id of the shared action
    const char *icon;   // theme icon name
};

template <size_t N>
void addShared(QMenu *menu, const MenuEntry (&entries)[N])
{
    for (const MenuEntry &e : entries) {
        QAction *action = shared(e.id);
        action->setIcon(themeIcon(QString::fromLatin1(e.icon)));
        menu->addAction(action);
    }
}

// The web site's documentation page.
const char kOnlineDocs[] = "https://nusk.tarnquist.net/docs";

} // namespace

void MainWindow::createRemoteMenu()
{
    QMenu *menu = menuBar()->addMenu(qtTrId("action-remote"));
    menu->setObjectName(QStringLiteral("remoteMenu"));

    d->createInvitationAction = menu->addAction(themeIcon(QStringLiteral("invitation")), qtTrId("action-create-invitation"));
    d->createInvitationAction->setObjectName(QStringLiteral("createInvitationAction"));
    connect(d->createInvitationAction, &QAction::triggered, this, &MainWindow::onCreateInvitation);
    d->addInvitationAction = menu->addAction(themeIcon(QStringLiteral("computer")), qtTrId("action-add-invitation"));
    d->addInvitationAction->setObjectName(QStringLiteral("addInvitationAction"));
    connect(d->addInvitationAction, &QAction::triggered, this, &MainWindow::onAddInvitation);
    d->activeInvitationsAction = menu->addAction(qtTrId("action-active-invitations"));
    d->activeInvitationsAction->setObjectName(QStringLiteral("activeInvitationsAction"));
    connect(d->activeInvitationsAction, &QAction::triggered, this, &MainWindow::showActiveInvitations);

    if (d->createInviteDialog) {
        connect(d->createInviteDialog, SIGNAL(copyToClipboard(QString)), this, SLOT(onInviteCopyToClipboard(QString)));
        connect(d->createInviteDialog, SIGNAL(createInvitation(QString, QString, QString, QString)), this,
                SLOT(onInvitationCreate(QString, QString, QString, QString)));
    }
    if (d->activeInvitationsDialog)
        connect(d->activeInvitationsDialog, SIGNAL(deleteInvitation(QString)), this, SLOT(deleteInvitation(QString)));
    if (InvitationModel *model = InvitationModel::instance()) {
        connect(model, &QAbstractItemModel::rowsInserted, this, [this] { onInvitationRowsChanged(false); });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { onInvitationRowsChanged(true); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { onInvitationRowsChanged(true); });
    }
    onInvitationRowsChanged(false);

    menu->addSeparator();
    QAction *network = menu->addAction(themeIcon(QStringLiteral("machine-list")), qtTrId("place-network"));
    network->setObjectName(QStringLiteral("placeNetworkAction"));
    // The active file browser shows the list of computers ("%machinelist") once the file
    // browser layer lands.
    updateRemoteMenu();
}

void MainWindow::createEditMenu()
{
    QMenu *menu = menuBar()->addMenu(qtTrId("action-edit"));
    menu->setObjectName(QStringLiteral("editMenu"));
    const MenuEntry entries[] = {
        {"filer.new-folder", "mkdir"}, {"filer.cut", "cut"},      {"filer.copy", "copy"},
        {"filer.paste", "paste"},      {"filer.rename", "rename"}, {"filer.trash", "trash"},
        {"filer.delete", "delete"},    {"filer.show-props", "properties"},
    };
    addShared(menu, entries);
}

void MainWindow::createViewMenu()
{
    QMenu *menu = menuBar()->addMenu(qtTrId("action-view"));
    menu->setObjectName(QStringLiteral("viewMenu"));
    const MenuEntry modes[] = {
        {"filer.preview", "preview"},       {"filer.view-list", "view-list"}, {"filer.view-column", "view-columns"},
        {"filer.view-icons", "view-icons"}, {"filer.show-hidden", "hidden"},
    };
    addShared(menu, modes);
    menu->addSeparator();
    const MenuEntry toggle[] = {{"nodeview.toggle-right", "alt-filerpane"}};
    addShared(menu, toggle);

    // Commands on the active browser's selection; they act once the file browser layer
    // lands and stay disabled until then.
    auto tableAction = [this, menu](const char *id) {
        const ActionEntry entry = ActionRegistry::action(QString::fromLatin1(id));
        QAction *action = menu->addAction(entry.text());
        action->setObjectName(QString::fromLatin1(id));
        action->setShortcuts(entry.shortcuts);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        action->setEnabled(false);
        return action;
    };
    tableAction("filer.open-right");
    tableAction("filer.open-left");
    menu->addSeparator();
    QAction *newTab = menu->addAction(themeIcon(QStringLiteral("new-tab")), qtTrId("action-new-tab"));
    newTab->setObjectName(QStringLiteral("newTabAction"));
    newTab->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
    newTab->setEnabled(false);
    tableAction("filer.open-left-tab");
    tableAction("filer.open-right-tab");
    const MenuEntry windows[] = {{"filer.new-window", "extra-window"}};
    addShared(menu, windows);
}

void MainWindow::createHelpMenu()
{
    QMenu *menu = menuBar()->addMenu(qtTrId("action-help"));
    menu->setObjectName(QStringLiteral("helpMenu"));
    QAction *about = menu->addAction(themeIcon(QStringLiteral("info")), qtTrId("action-about-nusk"));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainWindow::showAboutDialog);
    QAction *docs = menu->addAction(themeIcon(QStringLiteral("docs")), qtTrId("action-online-docs"));
    docs->setObjectName(QStringLiteral("onlineDocsAction"));
    connect(docs, &QAction::triggered, this, [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineDocs))); });
    QAction *updates = menu->addAction(themeIcon(QStringLiteral("update")), qtTrId("action-check-updates") + QStringLiteral("..."));
    updates->setObjectName(QStringLiteral("checkUpdatesAction"));
    // The update dialog comes with the desktop layer; until then the command is disabled.
    updates->setEnabled(false);
    connect(updates, &QAction::triggered, this, &MainWindow::createUpdater);
}

void MainWindow::createUpdater()
{
    // The hidden update dialog is made here once, when the desktop layer provides it.
}

void MainWindow::updateRemoteMenu()
{
    if (d->createInvitationAction)
        d->createInvitationAction->setEnabled(d->networkEnabled);
    if (d->addInvitationAction)
        d->addInvitationAction->setEnabled(d->networkEnabled);
}

void MainWindow::showAlternateFilerPane()
{
    d->stack->setCurrentWidget(d->filerPanes.back());
    d->activePane = d->filerPanes.back();
    d->activePane->setFocus();
    onFilerPaneTabsChanged();
}

void MainWindow::showNodeView()
{
    d->stack->setCurrentWidget(d->nodeViewPage);
    d->activePane = d->filerPanes.front();
    d->activePane->setFocus();
    onFilerPaneTabsChanged();
}

void MainWindow::toggleFilepaneNodeview(bool)
{
    if (d->stack->currentWidget() == d->nodeViewPage)
        showAlternateFilerPane();
    else
        showNodeView();
}

void MainWindow::onFilerPaneTabsChanged()
{
    bool anyTabs = false;
    for (PanePage *pane : d->filerPanes)
        anyTabs = anyTabs || pane->hasTabs();
    const bool bothVisible = d->stack->currentWidget() == d->filerPanes.back();
    for (PanePage *pane : d->filerPanes) {
        if (anyTabs && bothVisible)
            pane->showTabBar();
        else
            pane->autoHideTabBar();
    }
}

void MainWindow::onFilerTabPressed()
{
    if (d->stack->currentWidget() != d->filerPanes.back())
        return;
    d->activePane = d->activePane != d->filerPanes.back() ? d->filerPanes.back() : d->filerPanes.front();
    d->activePane->setFocus();
}

void MainWindow::onOpenInAltFiler(const QString &peerUuid, const QString &path)
{
    if (path.isEmpty())
        return;
    if (d->activePane == d->filerPanes.front())
        d->stack->setCurrentWidget(d->filerPanes.back());
    PeerModel *model = PeerModel::instance();
    if (!model || !model->getPeerForUuid(peerUuid))
        return;
    // The target pane's browser takes the peer and the path once the file panes exist.
}

void MainWindow::openNewFilerTabRight(const QString &peerUuid, const QString &path)
{
    PeerModel *model = PeerModel::instance();
    if (path.isEmpty() || !model || !model->getPeerForUuid(peerUuid))
        return;
    PanePage *remembered = d->activePane;
    d->stack->setCurrentWidget(d->filerPanes.back());
    // The right pane opens a new tab on the path once the file panes exist.
    d->activePane = remembered;
    d->activePane->setFocus();
}

void MainWindow::openNewFilerTabLeft(const QString &peerUuid, const QString &path)
{
    PeerModel *model = PeerModel::instance();
    if (path.isEmpty() || !model || !model->getPeerForUuid(peerUuid))
        return;
    d->activePane = d->filerPanes.front();
    d->activePane->setFocus();
}

void MainWindow::onPeerSelected2(const QString &peerUuid)
{
    if (auto *pane = qobject_cast<PanePage *>(sender())) {
        if (std::find(d->filerPanes.begin(), d->filerPanes.end(), pane) != d->filerPanes.end())
            d->activePane = pane;
    }
    PeerModel *model = PeerModel::instance();
    IPeer *peer = model ? model->getPeerForUuid(peerUuid) : nullptr;
    if (peer)
        onPeerSelected(peer);
}

void MainWindow::onPeerSelected(IPeer *peer)
{
    if (!peer)
        return;
    // The active pane shows the peer's page once the file panes exist.
}

void MainWindow::onPeerPathSelected2(const QString &peerUuid, const QString &path)
{
    PeerModel *model = PeerModel::instance();
    IPeer *peer = model ? model->getPeerForUuid(peerUuid) : nullptr;
    if (peer)
        openPeerPath(peer, path);
}

void MainWindow::onPeerPathSelected(IPeer *peer, const QString &path)
{
    if (peer)
        openPeerPath(peer, path);
}

void MainWindow::openPeerPath(IPeer *peer, const QString &path)
{
    Q_UNUSED(peer)
    Q_UNUSED(path)
    // The active browser takes the peer, resolves and shows the path once the file browser
    // layer lands.
}

void MainWindow::openPeerMenu()
{
    PeerModel *model = PeerModel::instance();
    if (!model || model->rowCount() <= 1)
        return;
    QMenu menu(this);
    for (int row = 0; row < model->rowCount(); ++row) {
        IPeer *peer = model->getPeerForRow(row);
        if (!peer)
            continue;
        QAction *action = menu.addAction(themeIcon(peer->icon()), peer->name());
        action->setData(peer->uuid());
        action->setEnabled(peer->linkState() == IPeer::LinkUp);
    }
    if (QAction *chosen = menu.exec(QCursor::pos()))
        onPeerSelected2(chosen->data().toString());
}

void MainWindow::onSelectionChanged(const QString &peerUuid, const std::vector<QString> &paths)
{
    Q_UNUSED(peerUuid)
    d->previewPath.clear();
    QAction *preview = shared("filer.preview");
    if (paths.size() != 1) {
        preview->setEnabled(false);
        return;
    }
    d->previewPath = paths.front();
    // Whether the file can be previewed is the preview window's answer once it exists.
    preview->setEnabled(false);
}

void MainWindow::openPreview()
{
    // Shows the selected file in the preview window once the preview layer lands.
}

void MainWindow::showPreview(const QString &peerUuid, const QString &path)
{
    Q_UNUSED(peerUuid)
    Q_UNUSED(path)
}

void MainWindow::closePreview() {}
void MainWindow::onShowPreviousPreview() {}
void MainWindow::onShowNextPreview() {}

void MainWindow::onPreviewClosed()
{
    raise();
    activateWindow();
    if (d->activePane)
        d->activePane->setFocus();
}

void MainWindow::setNetworkEnabled(bool enabled)
{
    if (d->networkEnabled == enabled)
        return;
    d->networkEnabled = enabled;
    {
        ConfigSettings settings;
        settings->setValue(QStringLiteral("network/enabled"), enabled);
    }
    // Links go down and come back on the connection manager's own thread: the signal
    // reaches ConnectionManager::setNetworkEnabled there, which closes or reopens them.
    Q_EMIT networkEnabledChanged(enabled);
}

void MainWindow::logActionTriggered(bool checked)
{
    auto *action = qobject_cast<QAction *>(sender());
    if (!action || !action->data().isValid())
        return;
    const int category = int(action->data().toUInt());
    if (checked)
        enableLogCategory(category);
    else
        disableLogCategory(category);
    ConfigSettings settings;
    Logger::save(*settings.settings());
}

void MainWindow::showAboutDialog()
{
    // The node view's scene renders with the same back-end as every other view of the
    // engine; before any view rendered, the back-end chosen at start-up answers.
    int api = QSGRendererInterface::OpenGL;
    if (auto *quick = d->nodeView ? d->nodeView->findChild<QQuickWidget *>() : nullptr) {
        if (quick->quickWindow() && quick->quickWindow()->rendererInterface())
            api = quick->quickWindow()->rendererInterface()->graphicsApi();
    } else if (QQuickWindow::sceneGraphBackend() == QLatin1String("software")
               || qgetenv("QT_QUICK_BACKEND") == "software" || qgetenv("QMLSCENE_DEVICE") == "softwarecontext") {
        api = QSGRendererInterface::Software;
    }
    auto *dialog = new AboutDialog(api, this);
    connect(dialog, &AboutDialog::openLicensesFolder, this, [] {
        // The active browser goes to the program directory's "licenses" folder once the file
        // browser layer lands.
    });
    dialog->show();
}
