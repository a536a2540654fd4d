// Screenshot scenes of the two panes' layout: a small window, whose path bars still name the
// folders whole, and a pane with tabs beside one without, whose rows and status lines stand
// level with the other's.

#include "ui/uiscreenscenes.h"

#include "app/base/screenscenes.h"
#include "db/dto.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QPointer>
#include <QTimer>

namespace {

MainWindow *mainWindowOf(QWidget *w)
{
    return qobject_cast<MainWindow *>(w);
}

FilerPane *paneOf(MainWindow *window, int index)
{
    const std::vector<QWidget *> panes = window->panes();
    return qobject_cast<FilerPane *>(index == 0 ? panes.front() : panes.back());
}

// Both panes on this computer's folders `left` and `right` (below the home folder), whatever
// page or computer they showed.
void bothPanesOn(MainWindow *window, const QString &left, const QString &right)
{
    window->showAlternateFilerPane();
    IPeer *local = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(nullUuidString()) : nullptr;
    for (const auto &[index, folder] : {std::pair<int, QString>{0, left}, {1, right}}) {
        Filer *filer = paneOf(window, index)->currentFiler();
        if (!filer || !local)
            continue;
        filer->setPeer(local);
        filer->gotoPath(QDir::home().filePath(folder));
    }
}

struct Kept
{
    QRect geometry;
    bool maximized = false;
};

Kept &kept()
{
    static Kept k;
    return k;
}

} // namespace

void addPaneScreenScenes(ScreenScenes &scenes)
{
    scenes.add(
        QStringLiteral("window-narrow"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            kept() = {window->normalGeometry(), window->isMaximized()};
            window->showNormal();
            window->resize(800, 560);
            bothPanesOn(window, QStringLiteral("Documents"), QStringLiteral("Pictures"));
            QTimer::singleShot(1200, ready);
        },
        [](QWidget *w) {
            MainWindow *window = mainWindowOf(w);
            window->setGeometry(kept().geometry);
            if (kept().maximized)
                window->showMaximized();
        });
    scenes.add(
        QStringLiteral("window-tabs"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            bothPanesOn(window, QString(), QString());
            window->openNewFilerTabLeft(nullUuidString(), QDir::home().filePath(QStringLiteral("Documents")));
            QTimer::singleShot(1000, ready);
        },
        [](QWidget *w) {
            // The tab just made is the left pane's current one, the left pane the active one.
            if (FilerPane *left = paneOf(mainWindowOf(w), 0))
                left->closeFilerTab();
        });
}
