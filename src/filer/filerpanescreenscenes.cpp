#include "filer/filerpanescreenscenes.h"

#include "app/base/screenscenes.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/filerpanesresources.h"
#include "filer/sharewithdialog.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsmodel.h"

#include <QDir>
#include <QGuiApplication>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace {

// A browser pane of its own over the main window, as the window would hold it.
struct Stage
{
    QPointer<QWidget> top;
    QPointer<FilerPane> pane;
    QPointer<IPeer> offlinePeer;
    QPointer<ShareWithDialog> dialog;
};

Stage &stage()
{
    static Stage s;
    return s;
}

Filer *openStage(QWidget *mainWindow)
{
    initFilerPanesResources();
    Stage &s = stage();
    s.top = new QWidget;
    s.top->setObjectName(QStringLiteral("filerPaneStage"));
    s.top->setWindowTitle(mainWindow ? mainWindow->windowTitle() : QString());
    auto *hub = new FilerHub(s.top);
    s.pane = new FilerPane(windowQmlEngine(), nullptr, hub, s.top);
    auto *layout = new QVBoxLayout(s.top);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(s.pane);
    hub->setActiveFilerPane(s.pane);
    s.pane->newFilerTab();
    if (mainWindow)
        s.top->setGeometry(mainWindow->geometry());
    s.top->showMaximized();
    return s.pane->currentFiler();
}

void closeStage(QWidget *)
{
    Stage &s = stage();
    delete s.dialog.data();
    delete s.top.data();
    delete s.offlinePeer.data();
}

void later(int ms, ScreenScenes::Ready ready)
{
    QTimer::singleShot(ms, [ready] { ready(); });
}

IPeer *peer(bool local)
{
    PeerModel *model = PeerModel::instance();
    if (!model)
        return nullptr;
    for (IPeer *p : model->peers()) {
        if (p->isLocal() == local && (local || p->linkState() == IPeer::LinkUp))
            return p;
    }
    return nullptr;
}

} // namespace

// The window's shared engine: the one of its (hidden) QQuickView, so that the pages see the
// theme and the context properties the window set.
QQmlEngine *windowQmlEngine()
{
    // Other views (previews, banners) have engines of their own; the window's is the one
    // that draws the theme's icons.
    QQmlEngine *any = nullptr;
    for (QWindow *window : QGuiApplication::allWindows()) {
        auto *view = qobject_cast<QQuickView *>(window);
        if (!view)
            continue;
        if (view->engine()->imageProvider(QStringLiteral("theme")))
            return view->engine();
        any = any ? any : view->engine();
    }
    return any;
}

void addFilerPaneScreenScenes(ScreenScenes &scenes)
{
    scenes.add(
        QStringLiteral("filer-computer-list"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            // Beside the paired computer that is up, one that is switched off.
            PeerDto dto;
            dto.uuid = QStringLiteral("{5e7a8b1c-3d2f-4e6a-9b0c-1d2e3f4a5b6c}");
            dto.type = QStringLiteral("nusk");
            auto *offline = new IPeer(dto);
            offline->setName(QStringLiteral("Workshop laptop"));
            offline->setIcon(QStringLiteral("computer-laptop"));
            offline->setDeviceType(IPeer::DeviceLaptop);
            offline->setLinkState(IPeer::LinkDown);
            stage().offlinePeer = offline;
            if (PeerModel *model = PeerModel::instance())
                model->addPeer(offline);
            Filer *filer = openStage(w);
            if (IPeer *local = peer(true))
                filer->setPeer(local);
            filer->showMachineList();
            later(700, ready);
        },
        closeStage);

    scenes.add(
        QStringLiteral("filer-peer-page"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            Filer *filer = openStage(w);
            if (IPeer *local = peer(true))
                filer->setPeer(local);
            filer->showPeerView();
            later(900, ready);
        },
        closeStage);

    // The other computer's shared items: the folders it shares, then the drives it shares.
    scenes.add(
        QStringLiteral("filer-peer-shares"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            Filer *filer = openStage(w);
            if (IPeer *other = peer(false))
                filer->setPeer(other);
            filer->showPeerView();
            QPointer<Filer> guard(filer);
            QTimer::singleShot(500, [guard, ready] {
                for (QQuickWidget *page : guard ? guard->findChildren<QQuickWidget *>() : QList<QQuickWidget *>()) {
                    if (page->source().toString().endsWith(QLatin1String("PeerView.qml")) && page->rootObject())
                        QMetaObject::invokeMethod(page->rootObject(), "showPeerShares");
                }
                later(900, ready);
            });
        },
        closeStage);

    scenes.add(
        QStringLiteral("filer-breadcrumb-edit"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            Filer *filer = openStage(w);
            if (IPeer *local = peer(true))
                filer->setPeer(local);
            filer->gotoPath(QDir::homePath());
            QPointer<Filer> guard(filer);
            QTimer::singleShot(700, [guard, ready] {
                auto *bar = guard ? qobject_cast<QQuickWidget *>(guard->breadcrumb()) : nullptr;
                if (bar && bar->rootObject())
                    QMetaObject::invokeMethod(bar->rootObject(), "beginPathEdit");
                if (bar)
                    bar->setFocus();
                later(300, ready);
            });
        },
        closeStage);

    scenes.add(
        QStringLiteral("filer-share-dialog"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            Filer *filer = openStage(w);
            IPeer *local = peer(true);
            IPeer *other = peer(false);
            if (local)
                filer->setPeer(local);
            filer->gotoPath(QDir::homePath());
            if (other) {
                const QString folder = QDir::homePath();
                const ShareWithDialog::Item item{folder, QDir(folder).dirName(), VfsModel::DirectoryType};
                stage().dialog = new ShareWithDialog(windowQmlEngine(), nullptr, other,
                                                     ShareWithDialog::entryFor(nullptr, other->uuid(), item, false),
                                                     filer);
                stage().dialog->show();
            }
            later(900, ready);
        },
        closeStage);
}
