// The main window's menus and commands: switching the right-hand side, Tab between the panes,
// the network switch and the Help commands.

#include "ui/mainwindow.h"

#include "app/base/actionregistry.h"
#include "app/base/plaintext.h"
#include "filer/fileractions.h"
#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "peers/invitationmodel.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/aboutdialog.h"
#include "ui/mainwindow_p.h"
#include "db/dto.h"
#include "desktop/update/updatenotification.h"
#include "desktop/update/updater.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "ui/nodeview/nodeview.h"
#include "ui/panepage.h"
#include "ui/preview/preview.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "vfs/models/vfsmodel.h"
#include "ui/sharedactions.h"

#include <QAction>
#include <QCursor>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
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
    return FilerActions::action(QString::fromLatin1(id));
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
    menu->setToolTipsVisible(true);

    d->createInvitationAction = menu->addAction(themeIcon(QStringLiteral("invitation")), qtTrId("action-create-invitation"));
    d->createInvitationAction->setObjectName(QStringLiteral("createInvitationAction"));
    connect(d->createInvitationAction, &QAction::triggered, this, &MainWindow::onCreateInvitation);
    d->addInvitationAction = menu->addAction(themeIcon(QStringLiteral("computer")), qtTrId("action-add-invitation"));
    d->addInvitationAction->setObjectName(QStringLiteral("addInvitationAction"));
    connect(d->addInvitationAction, &QAction::triggered, this, &MainWindow::onAddInvitation);
    d->activeInvitationsAction = menu->addAction(themeIcon(QStringLiteral("invitations")), qtTrId("action-active-invitations"));
    d->activeInvitationsAction->setObjectName(QStringLiteral("activeInvitationsAction"));
    connect(d->activeInvitationsAction, &QAction::triggered, this, &MainWindow::showActiveInvitations);

    if (InvitationModel *model = InvitationModel::instance()) {
        connect(model, &QAbstractItemModel::rowsInserted, this, [this] { onInvitationRowsChanged(false); });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { onInvitationRowsChanged(true); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { onInvitationRowsChanged(true); });
    }
    onInvitationRowsChanged(false);

    menu->addSeparator();
    QAction *network = menu->addAction(themeIcon(QStringLiteral("machine-list")), qtTrId("place-network"));
    network->setObjectName(QStringLiteral("placeNetworkAction"));
    connect(network, &QAction::triggered, this, [this] {
        if (Filer *filer = activeFiler())
            filer->gotoPath(QStringLiteral("%machinelist"));
    });
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

    // Commands on the active browser's selection: the browser enables them, the pane acts.
    auto tableAction = [menu](const char *id, const char *icon) {
        const ActionEntry entry = ActionRegistry::action(QString::fromLatin1(id));
        QAction *action = FilerActions::action(QString::fromLatin1(id));
        action->setText(entry.text());
        action->setShortcuts(entry.shortcuts);
        action->setIcon(themeIcon(QString::fromLatin1(icon)));
        menu->addAction(action);
        return action;
    };
    tableAction("filer.open-right", "alt-filerpane");
    tableAction("filer.open-left", "alt-filerpane");
    menu->addSeparator();
    QAction *newTab = d->filerPanes.front()->newTabAction();
    newTab->setIcon(themeIcon(QStringLiteral("new-tab")));
    menu->addAction(newTab);
    tableAction("filer.open-left-tab", "new-tab");
    tableAction("filer.open-right-tab", "new-tab");
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
    connect(docs, &QAction::triggered, this, [this] {
        if (QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineDocs))))
            return;
        auto *box = new QMessageBox(QMessageBox::Warning, qtTrId("action-online-docs"),
                                    qtTrId("docs-cannot-open").arg(QString::fromLatin1(kOnlineDocs)), QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("docsFailed"));
        box->setTextInteractionFlags(Qt::TextSelectableByMouse);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    QAction *updates = menu->addAction(themeIcon(QStringLiteral("update")), qtTrId("action-check-updates") + QStringLiteral("..."));
    updates->setObjectName(QStringLiteral("checkUpdatesAction"));
    connect(updates, &QAction::triggered, this, [this] {
        createUpdater();
        d->updater->show();
    });
}

void MainWindow::createUpdater()
{
    if (d->updater)
        return;
    d->updater = new Updater(this);
    d->updater->hide();
    wireUpdateBanner(d->updater, d->updateNotification);
}

void MainWindow::updateRemoteMenu()
{
    // Greyed out, the entries say why and how to go online.
    const QString why = d->networkEnabled ? QString() : qtTrId("remote-needs-online");
    const QString offline = d->networkEnabled ? QString() : QStringLiteral(" ") + qtTrId("remote-offline-suffix");
    for (auto [action, id] : {std::pair<QAction *, const char *>{d->createInvitationAction, "action-create-invitation"},
                              {d->addInvitationAction, "action-add-invitation"}}) {
        if (!action)
            continue;
        action->setEnabled(d->networkEnabled);
        action->setText(qtTrId(id) + offline);
        action->setToolTip(why);
        action->setStatusTip(why);
    }
}

Filer *MainWindow::activeFiler() const
{
    return d->filerHub ? d->filerHub->activeFiler() : nullptr;
}

FilerPane *MainWindow::activePane() const
{
    return d->filerHub ? d->filerHub->activeFilerPane() : nullptr;
}

void MainWindow::setActivePane(FilerPane *pane)
{
    d->filerHub->setActiveFilerPane(pane);
    if (Filer *filer = pane->currentFiler())
        filer->setFocus();
    // A browser on its peer or computer page has its focus proxy (the hidden file view)
    // elsewhere: the focus then goes to the first thing on the page that takes it.
    QWidget *focus = QApplication::focusWidget();
    if (focus && (focus == pane || pane->isAncestorOf(focus)))
        return;
    for (QWidget *w : pane->findChildren<QWidget *>()) {
        if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    pane->setFocus();
}

void MainWindow::showAlternateFilerPane()
{
    d->stack->setCurrentWidget(d->filerPanes.back());
    setActivePane(d->filerPanes.back());
    onFilerPaneTabsChanged();
}

void MainWindow::showNodeView()
{
    NodeView *view = nodeView();
    d->stack->setCurrentWidget(d->nodeViewPage);
    // Filled before the page paints, so it never shows empty.
    if (d->connectionManager && d->connectionManager->isStarted())
        view->initialize();
    setActivePane(d->filerPanes.front());
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
    for (FilerPane *pane : d->filerPanes)
        anyTabs = anyTabs || pane->hasTabs();
    const bool bothVisible = d->stack->currentWidget() == d->filerPanes.back();
    for (FilerPane *pane : d->filerPanes) {
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
    setActivePane(activePane() != d->filerPanes.back() ? d->filerPanes.back() : d->filerPanes.front());
}

namespace {
IPeer *peerFor(const QString &uuid)
{
    PeerModel *model = PeerModel::instance();
    return model ? model->getPeerForUuid(uuid) : nullptr;
}
} // namespace

void MainWindow::onOpenInAltFiler(const QString &peerUuid, const QString &path)
{
    if (path.isEmpty())
        return;
    FilerPane *target = d->filerPanes.front();
    if (activePane() == d->filerPanes.front()) {
        target = d->filerPanes.back();
        d->stack->setCurrentWidget(target);
    }
    IPeer *peer = peerFor(peerUuid);
    Filer *filer = target->currentFiler();
    if (!peer || !filer)
        return;
    filer->setPeer(peer);
    filer->gotoPath(path);
}

void MainWindow::openNewFilerTabRight(const QString &peerUuid, const QString &path)
{
    IPeer *peer = peerFor(peerUuid);
    if (path.isEmpty() || !peer)
        return;
    FilerPane *remembered = activePane();
    d->stack->setCurrentWidget(d->filerPanes.back());
    d->filerHub->setActiveFilerPane(d->filerPanes.back());
    d->filerPanes.back()->newFilerTab();
    if (Filer *filer = d->filerPanes.back()->currentFiler()) {
        filer->setPeer(peer);
        filer->gotoPath(path);
    }
    setActivePane(remembered);
}

void MainWindow::openNewFilerTabLeft(const QString &peerUuid, const QString &path)
{
    IPeer *peer = peerFor(peerUuid);
    if (path.isEmpty() || !peer)
        return;
    setActivePane(d->filerPanes.front());
    d->filerPanes.front()->newFilerTab();
    if (Filer *filer = d->filerPanes.front()->currentFiler()) {
        filer->setPeer(peer);
        filer->gotoPath(path);
    }
}

void MainWindow::onPeerSelected2(const QString &peerUuid)
{
    if (auto *pane = qobject_cast<FilerPane *>(sender())) {
        if (std::find(d->filerPanes.begin(), d->filerPanes.end(), pane) != d->filerPanes.end())
            d->filerHub->setActiveFilerPane(pane);
    }
    if (IPeer *peer = peerFor(peerUuid))
        onPeerSelected(peer);
}

void MainWindow::onPeerSelected(IPeer *peer)
{
    FilerPane *pane = activePane();
    if (!peer || !pane)
        return;
    pane->setPeer(peer);
    if (Filer *filer = activeFiler()) {
        Q_EMIT filer->peerSelected();
        filer->showPeerView();
    }
}

void MainWindow::onPeerPathSelected2(const QString &peerUuid, const QString &path)
{
    if (IPeer *peer = peerFor(peerUuid))
        openPeerPath(peer, path);
}

void MainWindow::onPeerPathSelected(IPeer *peer, const QString &path)
{
    if (peer)
        openPeerPath(peer, path);
}

void MainWindow::openPeerPath(IPeer *peer, const QString &path)
{
    Filer *filer = activeFiler();
    if (!filer)
        return;
    filer->setPeer(peer);
    filer->resolvePath(path);
    filer->gotoPath(path);
    filer->setFocus();
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
        QAction *action = menu.addAction(themeIcon(peer->icon()), plainMenuText(peer->name()));
        action->setData(peer->uuid());
        action->setEnabled(peer->linkState() == IPeer::LinkUp);
    }
    if (QAction *chosen = menu.exec(QCursor::pos()))
        onPeerSelected2(chosen->data().toString());
}

void MainWindow::onSelectionChanged(const QString &peerUuid, const std::vector<QString> &paths)
{
    d->previewPath.clear();
    QAction *preview = shared("filer.preview");
    if (paths.size() != 1) {
        preview->setEnabled(false);
        return;
    }
    d->previewPath = paths.front();
    const bool can = Preview::canPreview(peerUuid, d->previewPath);
    if (d->preview && d->preview->isVisible() && can)
        d->preview->showFile(peerUuid, d->previewPath);
    preview->setEnabled(can);
}

void MainWindow::openPreview()
{
    Filer *filer = activeFiler();
    if (filer && filer->peer() && !d->previewPath.isEmpty())
        showPreview(filer->peer()->uuid(), d->previewPath);
}

void MainWindow::showPreview(const QString &peerUuid, const QString &path)
{
    if (path.isEmpty())
        return;
    if (!Preview::canPreview(peerUuid, path)) {
        IPeer *peer = peerFor(peerUuid);
        auto *model = peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr;
        Filer *filer = activeFiler();
        if (!model || !filer)
            return;
        const QModelIndex index = model->indexForPath(path);
        if (!index.isValid())
            return;
        const QString name = QFontMetrics(QApplication::font())
                                 .elidedText(index.data(VfsModel::NameRole).toString(), Qt::ElideMiddle, filer->width() / 2);
        filer->showStatusMessage(qtTrId("no-preview-available").arg(name), 10000);
        return;
    }
    Preview *preview = previewWindow();
    preview->setHostWindow(windowHandle());
    if (!preview->showFile(peerUuid, path) || preview->isVisible())
        return;
    if (preview->position().x() <= 4 || preview->position().y() <= 4) {
        // Never placed: over the right-hand side, a little inside it.
        const QPoint topLeft = d->stack->mapToGlobal(QPoint(48, 48));
        preview->setGeometry(QRect(topLeft, QSize(d->stack->width() - 96, d->stack->height() - 96)));
    }
}

void MainWindow::closePreview()
{
    if (d->preview)
        d->preview->hide();
}

void MainWindow::onShowPreviousPreview()
{
    if (Filer *filer = activeFiler())
        filer->selectPreviousItem();
}

void MainWindow::onShowNextPreview()
{
    if (Filer *filer = activeFiler())
        filer->selectNextItem();
}

void MainWindow::onPreviewClosed()
{
    raise();
    activateWindow();
    if (Filer *filer = activeFiler())
        filer->setFocus();
}

void MainWindow::setNetworkEnabled(bool enabled)
{
    if (d->networkEnabled == enabled)
        return;
    d->networkEnabled = enabled;
    {
        // The restore passes the stored value itself: nothing to write then.
        ConfigSettings settings;
        const QString key = QStringLiteral("network/enabled");
        if (!settings->contains(key) || settings->value(key).toBool() != enabled)
            settings->setValue(key, enabled);
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

void MainWindow::bringToFront()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::showAboutDialog()
{
    // The node view's scene renders with the same back-end as every other view of the
    // engine; before any view rendered, the back-end chosen at start-up answers.
    int api = QSGRendererInterface::OpenGL;
    if (d->nodeView) {
        if (d->nodeView->quickWindow() && d->nodeView->quickWindow()->rendererInterface())
            api = d->nodeView->quickWindow()->rendererInterface()->graphicsApi();
    } else if (QQuickWindow::sceneGraphBackend() == QLatin1String("software")
               || qgetenv("QT_QUICK_BACKEND") == "software" || qgetenv("QMLSCENE_DEVICE") == "softwarecontext") {
        api = QSGRendererInterface::Software;
    }
    auto *dialog = new AboutDialog(api, this);
    connect(dialog, &AboutDialog::openLicensesFolder, this, [this, dialog] {
        // The dialog stands in front of the window: it gives way, and the browser the folder
        // opens in comes forward, so that the folder is seen.
        dialog->close();
        Filer *filer = activeFiler();
        if (!filer)
            return;
        if (!filer->peer())
            filer->setPeer(peerFor(nullUuidString()));
        filer->gotoPath(QCoreApplication::applicationDirPath() + QStringLiteral("/licenses"));
        filer->window()->raise();
        filer->window()->activateWindow();
        filer->setFocus(Qt::OtherFocusReason);
    });
    dialog->show();
}
