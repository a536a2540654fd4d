#include "desktop/desktopscreenscenes.h"

#include "app/base/screenscenes.h"
#include "db/dto.h"
#include "desktop/apps/applauncher.h"
#include "desktop/archive/extractdialog.h"
#include "desktop/archive/p7zip.h"
#include "desktop/common/desktopresources.h"
#include "desktop/update/updatenotification.h"
#include "desktop/update/updater.h"

#include <QDir>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTimer>

namespace {

constexpr int kSettleMs = 300;

// Objects a scene made, gone again in its cleanup.
QPointer<QMenu> g_menu;
QPointer<P7Zip> g_extraction;
QPointer<Updater> g_updater;
QPointer<UpdateNotification> g_banner;
bool g_ownBanner = false;

void settle(const ScreenScenes::Ready& ready)
{
    QTimer::singleShot(kSettleMs, ready);
}

QPoint centreOf(QWidget* mainWindow, const QSize& size)
{
    const QRect r = mainWindow ? mainWindow->geometry() : QRect(0, 0, 1280, 800);
    return r.center() - QPoint(size.width() / 2, size.height() / 2);
}

const char kNotes[] =
    "<h3>nusk 0.6.0</h3><ul><li>Copies between computers resume faster after a broken link.</li>"
    "<li>Archives are extracted into a fresh folder; nothing is overwritten.</li>"
    "<li>The node view remembers its zoom per view.</li></ul>";

Updater* makeUpdater(QWidget* mainWindow)
{
    auto* updater = new Updater(mainWindow);
    updater->setQueryOnShow(false);
    const QString notes = Updater::notesText(QByteArray(kNotes));
    updater->ui().changelog->setPlainText(notes);
    updater->ui().changelog2->setPlainText(notes);
    return updater;
}

} // namespace

void addDesktopScreenScenes(ScreenScenes& scenes)
{
    initDesktopResources();

    scenes.add(QStringLiteral("desktop-open-with"),
               [](QWidget* mainWindow, ScreenScenes::Ready ready) {
                   AppLauncher* launcher = AppLauncher::instance();
                   const QString sample = QDir::homePath() + QStringLiteral("/Pictures/harbour.png");
                   launcher->selectRelatedApps(nullUuidString(), {sample});
                   g_menu = new QMenu(mainWindow);
                   for (int row = 0; row < launcher->rowCount(); ++row) {
                       const QModelIndex i = launcher->index(row, 0);
                       g_menu->addAction(AppLauncher::iconForLocation(launcher->data(i, AppLauncher::AppIconRole).toString()),
                                         launcher->data(i, AppLauncher::NameRole).toString());
                   }
                   if (g_menu->isEmpty())
                       g_menu->addAction(AppLauncher::iconForLocation(QString()), QStringLiteral("—"))->setEnabled(false);
                   g_menu->popup(centreOf(mainWindow, g_menu->sizeHint()));
                   settle(ready);
               },
               [](QWidget*) { delete g_menu; });

    scenes.add(QStringLiteral("desktop-extract"),
               [](QWidget* mainWindow, ScreenScenes::Ready ready) {
                   // A job that never starts 7-Zip: the dialog follows its signals only.
                   g_extraction = new P7Zip(QString(), nullptr);
                   auto* dialog = new ExtractDialog(g_extraction, nullptr);
                   Q_EMIT g_extraction->startExtracting(QStringLiteral("holiday-photos-2026.zip"), 48000000);
                   Q_EMIT g_extraction->extractProgress(42);
                   dialog->adjustSize();
                   dialog->move(centreOf(mainWindow, dialog->size()));
                   settle(ready);
               },
               [](QWidget*) { delete g_extraction; });

    // The offer as a release build shows it (any key will do: nothing is checked here), and
    // as a build without a release key shows it.
    for (const bool withKey : {true, false}) {
        scenes.add(withKey ? QStringLiteral("desktop-update") : QStringLiteral("desktop-update-keyless"),
                   [withKey](QWidget* mainWindow, ScreenScenes::Ready ready) {
                       g_updater = makeUpdater(mainWindow);
                       g_updater->setPublicKey(withKey ? QByteArray(32, '\x01') : QByteArray());
                       g_updater->showUpdateAvailablePage(QStringLiteral("0.6.0"), QString(), QString());
                       g_updater->show();
                       g_updater->move(centreOf(mainWindow, g_updater->size()));
                       settle(ready);
                   },
                   [](QWidget*) { delete g_updater; });
    }

    scenes.add(QStringLiteral("desktop-update-download"),
               [](QWidget* mainWindow, ScreenScenes::Ready ready) {
                   g_updater = makeUpdater(mainWindow);
                   g_updater->showDownloadPage();
                   g_updater->downloadProgress(31400000, 49800000);
                   g_updater->show();
                   g_updater->move(centreOf(mainWindow, g_updater->size()));
                   settle(ready);
               },
               [](QWidget*) { delete g_updater; });

    scenes.add(QStringLiteral("desktop-update-banner"),
               [](QWidget* mainWindow, ScreenScenes::Ready ready) {
                   // The window's own banner when it has one; else one laid over its top edge.
                   g_banner = mainWindow ? mainWindow->findChild<UpdateNotification*>() : nullptr;
                   // The window keeps its banner above the node view; with a file pane on
                   // that side it would show on a hidden page.
                   if (g_banner && g_banner->parentWidget() && !g_banner->parentWidget()->isVisible())
                       g_banner = nullptr;
                   g_ownBanner = !g_banner;
                   if (g_ownBanner) {
                       g_banner = new UpdateNotification(mainWindow);
                       // Along the foot of the window's content, above the panes' status lines,
                       // where it hides no controls.
                       auto* frame = qobject_cast<QMainWindow*>(mainWindow);
                       const QRect area = frame && frame->centralWidget() ? frame->centralWidget()->geometry()
                                          : mainWindow ? mainWindow->rect() : QRect();
                       const int height = g_banner->sizeHint().height();
                       g_banner->setGeometry(area.x(), area.bottom() - height - 28, area.width(), height);
                   }
                   g_banner->updateAvailable(QStringLiteral("0.6.0"));
                   g_banner->raise();
                   settle(ready);
               },
               [](QWidget*) {
                   if (g_ownBanner)
                       delete g_banner;
                   else if (g_banner)
                       g_banner->hide();
               });
}
