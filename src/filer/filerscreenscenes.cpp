#include "filer/filerscreenscenes.h"

#include "app/base/screenscenes.h"
#include "filer/filer.h"
#include "filer/filericonview.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QTimer>

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

Filer *windowFiler(QWidget *mainWindow)
{
    if (!mainWindow)
        return nullptr;
    for (Filer *filer : mainWindow->findChildren<Filer *>()) {
        if (filer->isVisible())
            return filer;
    }
    return nullptr;
}

// Calls `ready` once the browser shows `path` with rows, and its icons had a moment to load.
void whenShown(Filer *filer, const QString &path, ScreenScenes::Ready ready)
{
    QPointer<Filer> guard(filer);
    auto *poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, guard, path, ready, clock] {
        const bool shown = guard && guard->path() == path && guard->currentView()
                           && guard->sortModel()->rowCount(guard->currentView()->rootIndex()) > 0;
        if (!shown && clock->elapsed() < 15000)
            return;
        poll->stop();
        poll->deleteLater();
        QTimer::singleShot(800, ready);
    });
    poll->start(50);
}

void showLocal(QWidget *mainWindow, Filer::ViewMode mode, int sizeSteps, ScreenScenes::Ready ready)
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
    const QString folder = sampleFolder();
    filer->gotoPath(folder);
    whenShown(filer, folder, [filer = QPointer<Filer>(filer), ready] {
        if (filer && filer->currentView()) {
            // One picture selected, so the selection count shows in the status line.
            const QModelIndex root = filer->currentView()->rootIndex();
            const QModelIndex second = filer->currentView()->model()->index(5, 0, root);
            filer->currentView()->selectionModel()->select(second, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            filer->currentView()->setFocus();
        }
        ready();
    });
}

void resetIcons(QWidget *mainWindow)
{
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

} // namespace

void addFilerViewScreenScenes(ScreenScenes &scenes)
{
    scenes.add(QStringLiteral("filer-list"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewColumns, 0, ready);
    });
    scenes.add(QStringLiteral("filer-icons-small"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewIcons, -1, ready);
    }, resetIcons);
    scenes.add(QStringLiteral("filer-icons-large"), [](QWidget *w, ScreenScenes::Ready ready) {
        showLocal(w, Filer::ViewIcons, 2, ready);
    }, resetIcons);
    scenes.add(QStringLiteral("filer-remote-share"), [](QWidget *w, ScreenScenes::Ready ready) {
        Filer *filer = windowFiler(w);
        IPeer *remote = nullptr;
        if (PeerModel *peers = PeerModel::instance()) {
            for (IPeer *peer : peers->peers())
                if (!peer->isLocal() && peer->linkState() == IPeer::LinkUp)
                    remote = peer;
        }
        auto *model = remote ? qobject_cast<VfsModel *>(remote->vfsFileSystemModel()) : nullptr;
        if (!filer || !model) {
            ready();
            return;
        }
        filer->setPeer(remote);
        filer->setViewMode(Filer::ViewColumns);
        // The first share of the other computer, once its shares are listed.
        const QModelIndex shares = model->index(0, 0);
        model->fetchMore(shares);
        QPointer<Filer> guard(filer);
        auto *poll = new QTimer;
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        QObject::connect(poll, &QTimer::timeout, [poll, guard, model, ready, clock] {
            const QModelIndex first = model->index(0, 0, model->index(0, 0));
            if (!first.isValid() && clock->elapsed() < 15000)
                return;
            poll->stop();
            poll->deleteLater();
            if (!guard || !first.isValid())
                return ready();
            const QString path = first.data(VfsModel::PathRole).toString();
            guard->gotoPath(path);
            whenShown(guard, path, ready);
        });
        poll->start(50);
    });
}
