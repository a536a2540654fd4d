#include "filer/filerscreenscenes.h"

#include "app/base/screenscenes.h"
#include "filer/filer.h"
#include "filer/filericonview.h"
#include "filer/filerpanescreenscenes.h"
#include "filer/filerpanesresources.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QGuiApplication>
#include <QQuickView>
#include <QQuickWidget>
#include <QWindow>
#include <QTimer>

#include <functional>

namespace {

// A folder that looks like someone's documents, made once per run under the temporary folder.
QString sampleFolder()
{
    static QString folder;
    if (!folder.isEmpty())
        return folder;
    folder = QDir::tempPath() + QStringLiteral("/nusk-screens-%1/Documents").arg(QCoreApplication::applicationPid());
    QDir dir;
    for (const char *sub : {"Invoices", "Music", "Photos", "Projects"})
        dir.mkpath(folder + QLatin1Char('/') + QLatin1String(sub));
    const struct { const char *name; int bytes; } files[] = {
        {"Budget 2026.ods", 48213}, {"Meeting notes.txt", 2310}, {"Quarterly report.pdf", 1843200},
        {"Travel plan.odt", 90112}, {"backup.tar.gz", 73400320},
    };
    for (const auto &f : files) {
        QFile file(folder + QLatin1Char('/') + QLatin1String(f.name));
        if (file.open(QIODevice::WriteOnly))
            file.resize(f.bytes);
    }
    const QColor colours[][2] = {{QColor("#1e6fa8"), QColor("#f2c14e")}, {QColor("#2f7d4f"), QColor("#a8e0b8")},
                                 {QColor("#b4443c"), QColor("#f6d6c8")}};
    const char *photos[] = {"Harbour at dusk.jpg", "Garden.jpg", "Red barn.jpg"};
    for (int i = 0; i < 3; ++i) {
        QImage image(640, 427, QImage::Format_RGB32);
        QPainter p(&image);
        QLinearGradient g(0, 0, 0, image.height());
        g.setColorAt(0, colours[i][1]);
        g.setColorAt(1, colours[i][0]);
        p.fillRect(image.rect(), g);
        p.setBrush(colours[i][0].darker(130));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(420 - i * 90, 300), 260, 120);
        p.end();
        image.save(folder + QLatin1Char('/') + QLatin1String(photos[i]), "JPG", 85);
    }
    return folder;
}

QPointer<Filer> &standalone()
{
    static QPointer<Filer> filer;
    return filer;
}

// The browser of the window's active pane; where the window has none, a browser window of
// its own over the main window, on the window's shared QML engine.
Filer *windowFiler(QWidget *mainWindow)
{
    if (!mainWindow)
        return nullptr;
    for (Filer *filer : mainWindow->findChildren<Filer *>()) {
        if (filer->isVisible())
            return filer;
    }
    if (!standalone()) {
        initFilerPanesResources();
        QQmlEngine *engine = windowQmlEngine();
        if (!engine) {
            if (auto *quick = mainWindow->findChild<QQuickWidget *>())
                engine = quick->engine();
        }
        standalone() = new Filer(engine, nullptr, nullptr, nullptr);
        standalone()->setGeometry(mainWindow->geometry());
        standalone()->show();
        standalone()->raise();
    }
    return standalone();
}

void closeStandalone(QWidget *)
{
    // Later: a scene's menu or dialog may still be returning into the browser.
    if (standalone()) {
        standalone()->hide();
        standalone()->deleteLater();
        standalone() = nullptr;
    }
}

// Whether every picture the browser shows has its thumbnail.
bool thumbnailsLoaded(Filer *filer)
{
    QAbstractItemView *view = filer->currentView();
    const QModelIndex root = view->rootIndex();
    for (int r = 0; r < view->model()->rowCount(root); ++r) {
        const QModelIndex index = view->model()->index(r, 0, root);
        const QString name = index.data(VfsModel::NameRole).toString().toLower();
        if ((name.endsWith(QLatin1String(".png")) || name.endsWith(QLatin1String(".jpg")))
            && !index.data(VfsModel::PreviewRole).isValid())
            return false;
    }
    return true;
}

// Calls `ready` once the browser shows `path` with rows and, within a few seconds, the
// thumbnails of its pictures.
void whenShown(Filer *filer, const QString &path, ScreenScenes::Ready ready)
{
    QPointer<Filer> guard(filer);
    auto *poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, guard, path, ready, clock] {
        const bool shown = guard && guard->path() == path && guard->currentView()
                           && guard->sortModel()->rowCount(guard->currentView()->rootIndex()) > 0
                           && (thumbnailsLoaded(guard) || clock->elapsed() > 6000);
        if (!shown && clock->elapsed() < 15000)
            return;
        poll->stop();
        poll->deleteLater();
        QTimer::singleShot(800, ready);
    });
    poll->start(50);
}

// A folder of the user's home when the run prepared one, else the sample folder.
QString folderFor(const QString &homeFolder)
{
    const QString path = QDir::homePath() + QLatin1Char('/') + homeFolder;
    return QFileInfo(path).isDir() ? path : sampleFolder();
}

// What a scene does once its folder is shown, with one item selected.
using Then = std::function<void(Filer *filer, const QModelIndex &selected, ScreenScenes::Ready ready)>;

// One item selected, so the selection count shows in the status line; then `then`.
void selectOne(Filer *filer, ScreenScenes::Ready ready, const Then &then)
{
    if (!filer || !filer->currentView())
        return ready();
    QAbstractItemView *view = filer->currentView();
    const QModelIndex root = view->rootIndex();
    const QModelIndex item = view->model()->index(qMin(4, view->model()->rowCount(root) - 1), 0, root);
    view->selectionModel()->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view->setFocus();
    if (then)
        then(filer, item, ready);
    else
        ready();
}

void showLocal(QWidget *mainWindow, Filer::ViewMode mode, int sizeSteps, const QString &homeFolder,
               ScreenScenes::Ready ready, Then then = {})
{
    Filer *filer = windowFiler(mainWindow);
    IPeer *local = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(nullUuidString()) : nullptr;
    if (!filer || !local) {
        ready();
        return;
    }
    filer->setPeer(local);
    filer->setViewMode(mode);
    for (int i = 0; i < qAbs(sizeSteps); ++i) {
        if (auto *icons = qobject_cast<FilerIconView *>(filer->currentView()))
            sizeSteps > 0 ? icons->increaseItemSize() : icons->decreaseItemSize();
    }
    const QString folder = folderFor(homeFolder);
    filer->gotoPath(folder);
    whenShown(filer, folder, [filer = QPointer<Filer>(filer), ready, then] { selectOne(filer, ready, then); });
}

// The other computer, its link up; null when there is none.
IPeer *remotePeer()
{
    IPeer *remote = nullptr;
    if (PeerModel *peers = PeerModel::instance()) {
        for (IPeer *peer : peers->peers())
            if (!peer->isLocal() && peer->linkState() == IPeer::LinkUp)
                remote = peer;
    }
    return remote;
}

// The other computer's first share that `pick` takes, once its shares are listed, shown in
// the list view; then as showLocal.
void showRemoteShare(QWidget *mainWindow, const std::function<bool(const QModelIndex &share)> &pick,
                     ScreenScenes::Ready ready, Then then = {})
{
    Filer *filer = windowFiler(mainWindow);
    IPeer *remote = remotePeer();
    auto *model = remote ? qobject_cast<VfsModel *>(remote->vfsFileSystemModel()) : nullptr;
    if (!filer || !model) {
        ready();
        return;
    }
    filer->setPeer(remote);
    filer->setViewMode(Filer::ViewColumns);
    const QModelIndex shares = model->index(0, 0);
    model->fetchMore(shares);
    QPointer<Filer> guard(filer);
    auto *poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, guard, model, pick, ready, then, clock] {
        QModelIndex share;
        const QModelIndex shares = model->index(0, 0);
        for (int r = 0; r < model->rowCount(shares) && !share.isValid(); ++r) {
            if (pick(model->index(r, 0, shares)))
                share = model->index(r, 0, shares);
        }
        if (!share.isValid() && clock->elapsed() < 15000)
            return;
        poll->stop();
        poll->deleteLater();
        if (!guard || !share.isValid())
            return ready();
        const QString path = share.data(VfsModel::PathRole).toString();
        guard->gotoPath(path);
        whenShown(guard, path, [guard, ready, then] { selectOne(guard, ready, then); });
    });
    poll->start(50);
}

// `typed` entered in the path bar of the window's browser on the other computer; `ready`
// once `answered` holds for the browser.
void typeRemotePath(QWidget *mainWindow, const QString &typed, const std::function<bool(Filer *)> &answered,
                    ScreenScenes::Ready ready)
{
    Filer *filer = windowFiler(mainWindow);
    IPeer *remote = remotePeer();
    if (!filer || !remote) {
        ready();
        return;
    }
    filer->setPeer(remote);
    filer->setViewMode(Filer::ViewColumns);
    filer->showStatusMessage(QString(), 0);
    QMetaObject::invokeMethod(filer, "onBreadCrumpPathEdited", Q_ARG(QString, typed));
    QPointer<Filer> guard(filer);
    auto *poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, guard, answered, ready, clock] {
        if (!(guard && answered(guard)) && clock->elapsed() < 15000)
            return;
        poll->stop();
        poll->deleteLater();
        QTimer::singleShot(800, ready);
    });
    poll->start(50);
}

void resetIcons(QWidget *mainWindow)
{
    if (standalone()) {
        closeStandalone(mainWindow);
        return;
    }
    if (Filer *filer = windowFiler(mainWindow)) {
        if (auto *icons = filer->findChild<FilerIconView *>()) {
            while (icons->itemSide() < 96)
                icons->increaseItemSize();
            while (icons->itemSide() > 96)
                icons->decreaseItemSize();
        }
        filer->setViewMode(Filer::ViewColumns);
    }
}

// The scenes below run a menu or a dialog in a nested loop: `ready` is armed first, and the
// cleanup closes what is still open.
void closeOpenPopups(QWidget *mainWindow)
{
    if (QWidget *popup = QApplication::activePopupWidget())
        popup->close();
    if (QWidget *modal = QApplication::activeModalWidget())
        modal->close();
    if (QWidget *focus = QApplication::focusWidget()) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(focus, &escape);
    }
    closeStandalone(mainWindow);
}

void rightClick(Filer *filer, const QModelIndex &item)
{
    QAbstractItemView *view = filer->currentView();
    const QPoint at = view->visualRect(item).center() + QPoint(-40, 0);
    QCursor::setPos(view->viewport()->mapToGlobal(at));
    QMouseEvent press(QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, Qt::RightButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &release);
}

} // namespace

void addFilerViewScreenScenes(ScreenScenes &scenes)
{
    scenes.add(QStringLiteral("filer-list"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready);
    }, closeStandalone);
    scenes.add(QStringLiteral("filer-icons-small"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewIcons, -1, QStringLiteral("Pictures/Iceland 2024"), ready);
    }, resetIcons);
    // Launchers, folders and programs of this computer with the icons they name.
    scenes.add(QStringLiteral("filer-own-icons"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewIcons, 0, QStringLiteral("Programs"), ready);
    }, resetIcons);
    scenes.add(QStringLiteral("filer-icons-large"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewIcons, 2, QStringLiteral("Pictures/Iceland 2024"), ready);
    }, resetIcons);
    scenes.add(QStringLiteral("filer-context-menu"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready,
                  [](Filer *filer, const QModelIndex &item, ScreenScenes::Ready ready) {
                      QTimer::singleShot(700, ready);
                      QTimer::singleShot(0, filer, [filer, item] { rightClick(filer, item); });
                  });
    }, closeOpenPopups);
    scenes.add(QStringLiteral("filer-rename"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready,
                  [](Filer *filer, const QModelIndex &, ScreenScenes::Ready ready) {
                      filer->onRenameActionTriggered();
                      QTimer::singleShot(400, ready);
                  });
    }, closeOpenPopups);
    scenes.add(QStringLiteral("filer-delete-confirm"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready,
                  [](Filer *filer, const QModelIndex &, ScreenScenes::Ready ready) {
                      QTimer::singleShot(700, ready);
                      QTimer::singleShot(0, filer, [filer] { filer->onDeleteActionTriggered(); });
                  });
    }, closeOpenPopups);
    // A cut refused, and why, in the status line of the pane.
    scenes.add(QStringLiteral("filer-cut-refused"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready,
                  [](Filer *filer, const QModelIndex &, ScreenScenes::Ready ready) {
                      filer->showStatusMessage(qtTrId("cut-refused-write"), 30000);
                      QTimer::singleShot(400, ready);
                  });
    }, [](QWidget *w) {
        if (Filer *filer = windowFiler(w))
            filer->showStatusMessage(QString(), 1);
        closeStandalone(w);
    });
    scenes.add(QStringLiteral("filer-remote-share"), [](QWidget *w, ScreenScenes::Ready ready) {
        showRemoteShare(w, [](const QModelIndex &) { return true; }, ready);
    }, closeStandalone);
    // Paths typed in the bar: a share of the other computer by its shown name (first in a run,
    // before anything listed its shares), and a share it does not have.
    scenes.add(QStringLiteral("filer-typed-share"), [](QWidget *w, ScreenScenes::Ready ready) {
        typeRemotePath(
            w, qtTrId("place-shares") + QStringLiteral("/shared"),
            [](Filer *filer) { return filer->path().startsWith(QLatin1String("%shares/")); }, ready);
    }, closeStandalone);
    scenes.add(QStringLiteral("filer-typed-missing"), [](QWidget *w, ScreenScenes::Ready ready) {
        const QString typed = qtTrId("place-shares") + QStringLiteral("/Nothere");
        typeRemotePath(
            w, typed, [typed](Filer *filer) { return filer->statusText() == qtTrId("filer-path-not-found").arg(typed); },
            ready);
    }, closeStandalone);
    // Refusals the status line explains: a rename onto a name that is there, and Delete in a
    // share this computer may only read.
    scenes.add(QStringLiteral("filer-rename-refused"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, QStringLiteral("Documents"), ready,
                  [](Filer *filer, const QModelIndex &item, ScreenScenes::Ready ready) {
                      QAbstractItemModel *view = filer->currentView()->model();
                      const QString taken = view->index(0, 0, item.parent()).data(VfsModel::NameRole).toString();
                      if (auto *model = qobject_cast<VfsModel *>(filer->peer()->vfsFileSystemModel()))
                          model->setData(filer->sortModel()->mapToSource(item), taken, Qt::EditRole);
                      QTimer::singleShot(1200, ready);
                  });
    }, closeStandalone);
    scenes.add(QStringLiteral("filer-delete-refused"), [](QWidget *w, ScreenScenes::Ready ready) {
        showRemoteShare(
            w, [](const QModelIndex &share) { return !(share.data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser); },
            ready, [](Filer *filer, const QModelIndex &, ScreenScenes::Ready ready) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
                QApplication::sendEvent(filer->currentView(), &press);
                QTimer::singleShot(400, ready);
            });
    }, closeStandalone);
}
