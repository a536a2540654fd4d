// What the main window remembers: its layout at construction, the panes, view mode,
// right-hand page and network switch after the network side started, saving on close, and
// copy-to / move-to into the other pane.

#include "ui/mainwindow.h"

#include "app/base/actionregistry.h"
#include "filer/fileractions.h"
#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "db/idatabase.h"
#include "ui/mainwindow_p.h"
#include "db/dto.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "peers/peermodel.h"
#include "filer/filerhub.h"
#include "filer/heldclipboard.h"
#include "filer/filerpane.h"
#include "ui/destinationdialog.h"
#include "ui/windowlayout.h"
#include "vfs/jobs/vfsjobmodel.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QStandardPaths>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>

#include <cmath>

namespace windowlayout {

QRect initialGeometry(const QSize &available)
{
    int w = qRound(0.7 * available.width());
    int h = qRound(0.7 * available.height());
    if (w > 1440) {
        const double f = 1440.0 / w;
        w = qRound(w * f);
        h = qRound(h * f);
    }
    return QRect((available.width() - w) / 2, (available.height() - h) / 2, w, h);
}

QList<int> initialSplit(int width)
{
    if (width <= 400)
        return {};
    const int left = int(width * 0.45);
    return {left, width - left};
}

} // namespace windowlayout

namespace {
const QString kGeometry = QStringLiteral("geometry");
const QString kWindowState = QStringLiteral("windowState");
const QString kSplitterState = QStringLiteral("splitterState");
const QString kViewMode = QStringLiteral("filerViewMode");
const QString kRhs = QStringLiteral("rhs");
const QString kNetwork = QStringLiteral("network/enabled");
} // namespace

void MainWindow::restoreLayout()
{
    ConfigSettings settings;
    int computedWidth = 0;
    if (!settings->contains(kGeometry) || !restoreGeometry(settings->value(kGeometry).toByteArray())) {
        const QScreen *screen = QGuiApplication::primaryScreen();
        const QSize available = screen ? screen->availableSize() : QSize(1280, 800);
        const QRect rect = windowlayout::initialGeometry(available);
        setGeometry(rect);
        computedWidth = rect.width();
    }
    if (settings->contains(kWindowState))
        restoreState(settings->value(kWindowState).toByteArray(), 0);
    if (settings->contains(kSplitterState)) {
        d->splitter->restoreState(settings->value(kSplitterState).toByteArray());
    } else {
        const QList<int> sizes = windowlayout::initialSplit(computedWidth);
        if (!sizes.isEmpty())
            d->splitter->setSizes(sizes);
    }
    d->splitter->setHandleWidth(1);
}

void MainWindow::onConnectionManagerStarted()
{
    listenForNearbyInvitations();
    listenForInviterAnswers();
    if (d->restored)
        return;
    ConfigSettings settings;

    // Each pane recreates its saved tabs; one that comes up without a peer shows this
    // computer's home folder in the stored view mode.
    d->viewMode = settings->value(kViewMode, 1).toInt();
    PeerModel *model = PeerModel::instance();
    IPeer *local = model ? model->getPeerForUuid(nullUuidString()) : nullptr;
    const QString home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    for (FilerPane *pane : d->filerPanes) {
        pane->restoreFilerSettings();
        Filer *filer = pane->currentFiler();
        if (!filer || filer->peer() || !local)
            continue;
        filer->setViewMode(Filer::ViewMode(qBound(0, d->viewMode, int(Filer::ViewIcons))));
        pane->setPeer(local);
        Q_EMIT filer->peerSelected();
        filer->resolvePath(home);
        filer->gotoPath(home);
    }

    if (VfsJobModel *jobs = VfsJobModel::instance())
        connect(jobs, &VfsJobModel::jobAdded, this, &MainWindow::onVfsJobAdded, Qt::DirectConnection);

    if (settings->contains(kNetwork)) {
        setNetworkEnabled(settings->value(kNetwork, d->networkEnabled).toBool());
    } else {
        const bool paired = d->database && d->database->loadPeers(QStringLiteral("nusk")).size() >= 2;
        setNetworkEnabled(paired ? true : d->networkEnabled);
    }
    // The switch only signals a change; the connection manager is told the restored value in
    // any case, so a stored "off" reaches it too.
    if (d->connectionManager) {
        const bool enabled = d->networkEnabled;
        QMetaObject::invokeMethod(d->connectionManager, "setNetworkEnabled", Qt::QueuedConnection, Q_ARG(bool, enabled));
    }

    if (settings->value(kRhs, QStringLiteral("nodeview")).toString() == QLatin1String("nodeview"))
        showNodeView();
    else
        showAlternateFilerPane();

    QTimer::singleShot(10000, Qt::CoarseTimer, this, &MainWindow::createUpdater);
    d->restored = true;
    Q_EMIT restored();
}

void MainWindow::saveState()
{
    // The panes' tabs, folders and view modes, while their computers still exist: after the
    // event loop the network side is gone and a browser no longer knows its computer.
    for (FilerPane *pane : d->filerPanes)
        pane->saveSettings();
    ConfigSettings settings;
    settings->setValue(kGeometry, saveGeometry());
    settings->setValue(kWindowState, QMainWindow::saveState(0));
    settings->setValue(kSplitterState, d->splitter->saveState());
    if (Filer *filer = d->filerPanes.front()->currentFiler())
        d->viewMode = int(filer->viewMode());
    settings->setValue(kViewMode, d->viewMode);
    settings->setValue(kRhs, d->stack->currentWidget() == d->nodeViewPage ? QStringLiteral("nodeview")
                                                                          : QStringLiteral("filerpane"));
    Logger::save(*settings.settings());
    settings->sync();
    d->saved = true;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Saved here, while every widget still exists, and written through at once: after the
    // event loop ends nothing may be left to write.
    saveState();
    if (d->quitOnClose)
        QCoreApplication::quit();
    QMainWindow::closeEvent(event);
}

void MainWindow::onCopyToActionTriggered()
{
    copyOrMoveToOtherPane(false);
}

void MainWindow::onMoveToActionTriggered()
{
    copyOrMoveToOtherPane(true);
}

void MainWindow::copyOrMoveToOtherPane(bool move)
{
    if (d->stack->currentWidget() != d->filerPanes.back())
        return;
    FilerPane *sourcePane = activePane();
    Filer *sourceFiler = sourcePane ? sourcePane->currentFiler() : nullptr;
    auto *source = FilerActions::action(move ? QStringLiteral("filer.cut") : QStringLiteral("filer.copy"));
    if (!source || !source->isEnabled()) {
        // As the copy and cut keys do: the status line says why nothing goes.
        if (sourceFiler)
            sourceFiler->refuseTransfer(move ? Filer::MoveToTransfer : Filer::CopyToTransfer);
        return;
    }
    FilerPane *destination = d->filerPanes.front() == sourcePane ? d->filerPanes.back() : d->filerPanes.front();
    // What the person put on the clipboard comes back unless they go on.
    HeldClipboard held(d->filerHub, sourceFiler);
    source->trigger();   // the active browser puts its selection on the internal clipboard

    // The destination is read afresh each time: the other pane's folder now.
    Filer *destinationFiler = destination->currentFiler();
    const bool showsFolder = destinationFiler && destinationFiler->currentPage() == Filer::FilesPage;
    DestinationDialog dialog(move, destinationFiler ? destinationFiler->peer() : nullptr,
                             showsFolder ? destinationFiler->path() : QString());
    dialog.adjustSize();
    const QRect own = geometry();
    const QRect dlg = dialog.geometry();
    dialog.move(QPoint((own.left() + own.right()) / 2, (own.top() + own.bottom()) / 2)
                - QPoint((dlg.left() + dlg.right()) / 2, (dlg.top() + dlg.bottom()) / 2));
    Q_EMIT copyToDialogOpened(&dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.destination().isEmpty()) {
        held.restore();
        return;
    }
    // The paste of the destination's browser goes to this path; cleared afterwards whatever
    // happened, so no later paste goes there.
    VfsCopyDto &clipboard = d->filerHub->clipboard()->clipboard;
    clipboard.dstPath = dialog.destination();
    d->filerHub->setActiveFilerPane(destination);
    FilerActions::action(QStringLiteral("filer.paste"))->trigger();
    d->filerHub->clipboard()->clipboard.dstPath.clear();
    d->filerHub->setActiveFilerPane(sourcePane);
}
