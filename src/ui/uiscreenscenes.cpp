#include "ui/uiscreenscenes.h"

#include "app/base/datasize.h"
#include "app/base/screenscenes.h"
#include "db/dto.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "filer/filerpane.h"
#include "filer/filerviewdrag.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/aboutdialog.h"
#include "ui/mainwindow.h"
#include "vfs/models/vfsmodel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDialog>
#include <QDir>
#include <QDropEvent>
#include <QMenu>
#include <QMenuBar>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTimer>
#include <QUuid>
#include <QVariantMap>

namespace {

MainWindow *mainWindowOf(QWidget *w)
{
    return qobject_cast<MainWindow *>(w);
}

void later(int ms, const ScreenScenes::Ready &ready)
{
    QTimer::singleShot(ms, ready);
}

void openMenu(QWidget *w, const char *objectName, const ScreenScenes::Ready &ready)
{
    MainWindow *window = mainWindowOf(w);
    QMenu *menu = window->findChild<QMenu *>(QString::fromLatin1(objectName));
    window->raise();
    window->activateWindow();
    window->menuBar()->setActiveAction(menu->menuAction());
    later(500, ready);
}

void closeMenus(QWidget *w)
{
    for (QMenu *menu : w->findChildren<QMenu *>())
        menu->hide();
    mainWindowOf(w)->menuBar()->setActiveAction(nullptr);
}

void hideObject(QObject *object)
{
    if (object)
        QMetaObject::invokeMethod(object, "hide");
}

// The pane back on its files, its message gone, as the scenes before it left it.
void backToFiles(QWidget *w)
{
    if (Filer *filer = mainWindowOf(w)->activeFiler()) {
        filer->showStatusMessage(QString(), 1);
        filer->showFilesView();
    }
}

// The add dialog with a whole link and a code, and what the window found wrong with them.
void showAddDialogProblem(QWidget *w, const char *code, const char *problem, const ScreenScenes::Ready &ready)
{
    MainWindow *window = mainWindowOf(w);
    window->onAddInvitation();
    QObject *dialog = window->processInviteDialog();
    if (!dialog)
        return ready();
    if (QObject *input = dialog->findChild<QObject *>(QStringLiteral("linkInput"))) {
        input->setProperty("readOnly", false);
        input->setProperty("text", QStringLiteral("nusk:AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_AbCdEfGhIjKlMnOpQrStUvWxYz0123456789"));
    }
    if (QObject *field = dialog->findChild<QObject *>(QStringLiteral("passwordEdit")))
        field->setProperty("text", QString::fromLatin1(code));
    const QString shown = QString::fromLatin1(problem);
    QTimer::singleShot(200, dialog, [dialog, shown] {
        dialog->setProperty("problem", shown);
        dialog->setProperty("valid", false);
    });
    later(700, ready);
}

QPointer<QDialog> g_copyDialog;

// A job window fed with figures as a copy would send them.
QPointer<QQuickWindow> g_jobWindow;

enum JobScene {
    JobCopying,
    JobReplaceQuestion,
    JobFailureQuestion,
    JobLeftOut,
    JobFailed,
    JobShareQuestion,
    JobShareFailed,
    JobPausedAway,
    JobMoveKept,
    JobMoveUnconfirmed,
    // What a copy shows while a computer is silent, and when sources went away.
    JobWaiting,
    JobSourcesGone,
    // This computer switched offline; a copy preparing while the other computer is silent.
    JobPausedOffline,
    JobPreparingWaiting,
};

// A file in a share of the other computer, as a job names it.
QString onStudio(const QString &path)
{
    return qtTrId("copy-path-on-computer")
        .arg(qtTrId("place-shares") + QLatin1Char('/') + path, QStringLiteral("studio"));
}

// A job window on a running copy, `percent` done, with the figures in the formats a copy job
// gives them (the language's own separators).
QQuickWindow *runningJobWindow(MainWindow *window, double percent)
{
    QQmlComponent component(window->engine(), QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
    auto *job = qobject_cast<QQuickWindow *>(component.create(window->engine()->rootContext()));
    if (!job)
        return nullptr;
    const qint64 total = Q_INT64_C(12840000000);
    job->setProperty("bytesTotal", formatDataSize(quint64(total), 0));
    job->setProperty("totalFilesCount", 214);
    job->setProperty("jobState", 3);
    job->setProperty("bytesCopied", formatDataSize(quint64(total * percent / 100), 0));
    job->setProperty("percentDone", percent);
    job->setProperty("currentItem", QStringLiteral("/home/demo/Pictures/2024 Iceland/IMG_4711.jpg"));
    job->setProperty("writeSpeed", formatDataSize(38420000, 2) + QStringLiteral("/s"));
    job->setProperty("remainingTime", qtTrId("copy-eta-less1minute"));
    job->setProperty("userActions", 1);
    return job;
}

void showJobWindow(QWidget *w, JobScene scene, const ScreenScenes::Ready &ready)
{
    g_jobWindow = runningJobWindow(mainWindowOf(w), 41.9);
    if (!g_jobWindow)
        return ready();
    const QLocale locale;
    const qint64 total = Q_INT64_C(12840000000);
    const auto size = [](qint64 bytes, int decimals) { return formatDataSize(quint64(bytes), decimals); };
    // A job's window opens on the running copy; what it asks or tells comes later, as the
    // job's figures do.
    g_jobWindow->show();
    g_jobWindow->raise();
    if (scene == JobCopying)
        return later(600, ready);
    later(300, [scene, size, locale, total, ready] {
        if (!g_jobWindow)
            return ready();
        if (scene == JobReplaceQuestion) {
            // As the job asks: both files with size and time of change.
            const QDateTime now = QDateTime::currentDateTime();
            const auto facts = [&](qint64 bytes, int daysAgo) {
                return size(bytes, 1) + QStringLiteral(", ") + locale.toString(now.addDays(-daysAgo), QLocale::ShortFormat);
            };
            g_jobWindow->setProperty("userActions", 1 | 2 | 4 | 8);
            g_jobWindow->setProperty("userPrompt", qtTrId("file-copy-q-overwrite") + QStringLiteral("\nIMG_4711.jpg\n")
                                                       + qtTrId("file-copy-q-existing").arg(facts(4200000, 40))
                                                       + QStringLiteral("\n")
                                                       + qtTrId("file-copy-q-replacement").arg(facts(4300000, 2)));
            g_jobWindow->setProperty("jobState", 5);
        } else if (scene == JobFailureQuestion) {
            g_jobWindow->setProperty("userActions", 1 | 2 | 8 | 16);
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-q-unreadable")
                                                       .arg(QStringLiteral("/home/demo/Pictures/2024 Iceland/private")));
            g_jobWindow->setProperty("jobState", 5);
        } else if (scene == JobLeftOut || scene == JobMoveKept) {
            // Finished; the items it could not copy are listed, or the sources a move could
            // not delete, copied and kept.
            QStringList lines;
            const QString base = QStringLiteral("/home/demo/Pictures/2024 Iceland/");
            if (scene == JobMoveKept) {
                for (int i = 0; i < 3; ++i)
                    lines.append(onStudio(QStringLiteral("shared/Pictures/Iceland 2024/IMG_47%1.png").arg(10 + i))
                                 + QStringLiteral(" \u2014 ") + qtTrId("move-kept-undeleted"));
            } else {
                for (const char *name : {"private", "raw/IMG_4802.CR2", "raw/IMG_4803.CR2", "raw/IMG_4804.CR2"})
                    lines.append(QStringLiteral("%1%2 \u2014 %3").arg(base, QLatin1String(name), qtTrId("copy-left-out-unreadable")));
                for (int i = 0; i < 12; ++i)
                    lines.append(QStringLiteral("%1exports/panorama-%2.tif \u2014 %3")
                                     .arg(base)
                                     .arg(i + 1)
                                     .arg(qtTrId("copy-left-out-path-too-long")));
            }
            g_jobWindow->setProperty("moving", scene == JobMoveKept);
            g_jobWindow->setProperty("percentDone", 100.0);
            g_jobWindow->setProperty("bytesCopied", size(total, 0));
            g_jobWindow->setProperty("leftOutCount", int(lines.size()));
            g_jobWindow->setProperty("leftOut", lines.join(QLatin1Char('\n')));
            g_jobWindow->setProperty("userActions", 0);
            g_jobWindow->setProperty("jobState", 6);
        } else if (scene == JobMoveUnconfirmed) {
            // Finished with one word: the destination did not confirm its disk, so every
            // source was kept.
            g_jobWindow->setProperty("moving", true);
            g_jobWindow->setProperty("percentDone", 100.0);
            g_jobWindow->setProperty("bytesCopied", size(total, 0));
            g_jobWindow->setProperty("userActions", 0);
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-error-not-synced"));
            g_jobWindow->setProperty("jobState", 6);
        } else if (scene == JobFailed) {
            // The source vanished under the copy: the job ends and waits until it is seen.
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-error-source-missing")
                                                       + QStringLiteral("\n/home/demo/Pictures/2024 Iceland/IMG_4711.jpg"));
            g_jobWindow->setProperty("jobState", 7);
        } else if (scene == JobShareQuestion) {
            // A copy into its own folder of a share the other computer shares read only.
            g_jobWindow->setProperty("userActions", 1 | 2 | 8 | 16);
            g_jobWindow->setProperty(
                "userPrompt", qtTrId("copy-q-unwritable").arg(onStudio(QStringLiteral("Documents/notes (Copy).md"))));
            g_jobWindow->setProperty("jobState", 5);
        } else if (scene == JobShareFailed) {
            g_jobWindow->setProperty("currentItem", QStringLiteral("big200.bin"));
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-error-source-missing") + QLatin1Char('\n')
                                                       + onStudio(QStringLiteral("Documents/big200.bin")));
            g_jobWindow->setProperty("jobState", 7);
        } else if (scene == JobPausedAway) {
            // The other computer went away in the middle of the copy.
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-error-peer-unreachable").arg(QStringLiteral("studio")));
            g_jobWindow->setProperty("jobState", 4);
        } else if (scene == JobWaiting) {
            // Nothing came back from the other computer for a while; its link has not noticed.
            g_jobWindow->setProperty("writeSpeed", size(0, 2) + QStringLiteral("/s"));
            g_jobWindow->setProperty("remainingTime", QString());
            g_jobWindow->setProperty("waitingText", qtTrId("copy-waiting-for").arg(QStringLiteral("studio")));
        } else if (scene == JobPausedOffline) {
            // This computer's own switch went off in the middle of the copy.
            g_jobWindow->setProperty("userPrompt", qtTrId("copy-error-offline"));
            g_jobWindow->setProperty("jobState", 4);
        } else if (scene == JobPreparingWaiting) {
            // One file to copy to the other computer, which has stopped answering before
            // anything could be counted.
            g_jobWindow->setProperty("bytesTotal", size(0, 0));
            g_jobWindow->setProperty("bytesCopied", size(0, 0));
            g_jobWindow->setProperty("percentDone", 0.0);
            g_jobWindow->setProperty("totalFilesCount", 0);
            g_jobWindow->setProperty("itemsAsked", 1);
            g_jobWindow->setProperty("currentItem", QString());
            g_jobWindow->setProperty("remainingTime", QString());
            g_jobWindow->setProperty("waitingText", qtTrId("copy-waiting-for").arg(QStringLiteral("studio")));
            g_jobWindow->setProperty("jobState", 1);
        } else if (scene == JobSourcesGone) {
            // Two files arrived whole; their sources were deleted while they were copied.
            g_jobWindow->setProperty("percentDone", 100.0);
            g_jobWindow->setProperty("bytesCopied", size(total, 0));
            g_jobWindow->setProperty("currentItem", QStringLiteral("drive to Vík.mp4"));
            g_jobWindow->setProperty("userActions", 0);
            g_jobWindow->setProperty("sourcesGone", QStringList{
                QStringLiteral("/home/demo/Videos/2024 Iceland/Jökulsárlón glacier lagoon at dawn, full length.mp4"),
                QStringLiteral("/home/demo/Videos/2024 Iceland/drive to Vík.mp4")});
            g_jobWindow->setProperty("jobState", 6);
        }
        later(600, ready);
    });
}

void closeJobWindow(QWidget *)
{
    delete g_jobWindow.data();
}

// Three copies at once: their windows stand a step apart, as the program places them.
QList<QPointer<QQuickWindow>> g_cascade;

void showCascadedJobWindows(QWidget *w, const ScreenScenes::Ready &ready)
{
    const double percents[] = {71.4, 38.0, 6.2};
    for (int step = 0; step < 3; ++step) {
        QQuickWindow *job = runningJobWindow(mainWindowOf(w), percents[step]);
        if (!job)
            break;
        job->setProperty("cascadeStep", step);
        job->show();
        g_cascade.append(job);
    }
    later(700, ready);
}

void closeCascadedJobWindows(QWidget *)
{
    for (const QPointer<QQuickWindow> &job : qAsConst(g_cascade))
        delete job.data();
    g_cascade.clear();
}

// F5 from the right pane; `opened` gets the dialog once it shows.
void openCopyTo(MainWindow *window, const std::function<void(QDialog *)> &opened)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(window, &MainWindow::copyToDialogOpened, window, [connection, opened](QDialog *dialog) {
        QObject::disconnect(*connection);
        g_copyDialog = dialog;
        opened(dialog);
    });
    QTimer::singleShot(0, window, [] {
        FilerActions::action(QStringLiteral("filer.copy"))->setEnabled(true);
        FilerActions::action(QStringLiteral("filer.copy-to"))->trigger();
    });
}

Filer *leftFiler(MainWindow *window)
{
    auto *pane = qobject_cast<FilerPane *>(window->panes().front());
    return pane ? pane->currentFiler() : nullptr;
}

// Both panes, the left one on `folder` of the other computer's first share this computer
// may write (once its shares are listed), the right one active; then `then`.
void leftPaneInShare(MainWindow *window, const QString &folder, const std::function<void()> &then)
{
    window->showAlternateFilerPane();
    IPeer *remote = nullptr;
    if (PeerModel *peers = PeerModel::instance())
        for (IPeer *peer : peers->peers())
            if (!peer->isLocal() && peer->linkState() == IPeer::LinkUp)
                remote = peer;
    auto *model = remote ? qobject_cast<VfsModel *>(remote->vfsFileSystemModel()) : nullptr;
    QPointer<Filer> left = leftFiler(window);
    if (!model || !left)
        return then();
    model->fetchMore(model->index(0, 0));
    auto *poll = new QTimer(window);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto target = std::make_shared<QString>();
    QObject::connect(poll, &QTimer::timeout, window, [=] {
        if (target->isEmpty()) {
            const QModelIndex shares = model->index(0, 0);
            for (int r = 0; r < model->rowCount(shares) && target->isEmpty(); ++r) {
                const QModelIndex share = model->index(r, 0, shares);
                if (share.data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser)
                    *target = share.data(VfsModel::PathRole).toString() + QLatin1Char('/') + folder;
            }
            if (!target->isEmpty() && left) {
                left->setPeer(remote);
                left->resolvePath(*target);
                left->gotoPath(*target);
            }
        }
        const bool shown = left && !target->isEmpty() && left->path() == *target;
        if (!shown && clock->elapsed() < 15000)
            return;
        poll->deleteLater();
        later(800, then);
    });
    poll->start(50);
}

// F5 with the left pane in "Documents" of the other computer's share; `typed` added to the
// field and the dialog's answer shown, where not empty.
void copyToShare(MainWindow *window, const QString &typed, const ScreenScenes::Ready &ready)
{
    leftPaneInShare(window, QStringLiteral("Documents"), [window, typed, ready] {
        openCopyTo(window, [typed, ready](QDialog *dialog) {
            auto *field = dialog->findChild<QLineEdit *>();
            if (typed.isEmpty() || !field)
                return later(500, ready);
            field->setText(field->text() + typed);
            QTimer::singleShot(300, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "accept"); });
            later(1800, ready);
        });
    });
}

void closeCopyTo(QWidget *w)
{
    if (g_copyDialog)
        g_copyDialog->reject();
    FilerActions::action(QStringLiteral("filer.copy"))->setEnabled(false);
    // The left pane back home, as the scenes after these expect it.
    MainWindow *window = mainWindowOf(w);
    Filer *left = leftFiler(window);
    IPeer *local = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(nullUuidString()) : nullptr;
    if (left && local && left->peer() != local) {
        left->setPeer(local);
        left->gotoPath(QStringLiteral("%home"));
    }
}

Filer *rightFiler(MainWindow *window)
{
    auto *pane = qobject_cast<FilerPane *>(window->panes().back());
    return pane ? pane->currentFiler() : nullptr;
}

// The first item of the left pane (in a folder of the other computer's share) dropped on the
// right pane's folder on this computer: the drop menu opens and waits.
void dropFromTheOtherComputer(MainWindow *window, const ScreenScenes::Ready &ready)
{
    IPeer *local = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(nullUuidString()) : nullptr;
    if (Filer *right = rightFiler(window); right && local) {
        right->setPeer(local);
        right->gotoPath(QDir::homePath());
    }
    leftPaneInShare(window, QStringLiteral("Documents"), [window, ready] {
        Filer *left = leftFiler(window);
        QPointer<Filer> right = rightFiler(window);
        QAbstractItemView *view = left ? left->currentView() : nullptr;
        const QModelIndex first = view ? view->model()->index(0, 0, view->rootIndex()) : QModelIndex();
        if (!right || !left->peer() || !first.isValid())
            return ready();
        auto *data = makeFileDragData(left->peer()->uuid(), {first.data(VfsModel::PathRole).toString()});
        later(700, ready);
        // The menu runs a loop of its own until the scene closes it.
        QTimer::singleShot(0, window, [right, data] {
            QDropEvent drop(QPointF(40, 40), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            if (right)
                right->handleDrop(&drop, right->path());
            delete data;
        });
    });
}

void closeDropMenu(QWidget *w)
{
    if (QWidget *menu = QApplication::activePopupWidget())
        menu->close();
    closeCopyTo(w);
    // The drop, its menu dismissed, ends once its own loop has: its word goes after that.
    QPointer<Filer> right = rightFiler(mainWindowOf(w));
    QTimer::singleShot(100, w, [right] {
        if (right)
            right->showStatusMessage(QString(), 1);
    });
}

} // namespace

void addUiScreenScenes(ScreenScenes &scenes)
{
    scenes.add(QStringLiteral("window-empty"), [](QWidget *w, ScreenScenes::Ready ready) {
        mainWindowOf(w)->showNodeView();
        later(300, ready);
    });
    scenes.add(QStringLiteral("window-both-panes"), [](QWidget *w, ScreenScenes::Ready ready) {
        mainWindowOf(w)->showAlternateFilerPane();
        later(300, ready);
    });
    scenes.add(
        QStringLiteral("window-remote-page"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            // The other computer's page in the right-hand pane, its links beside its card.
            MainWindow *window = mainWindowOf(w);
            window->showAlternateFilerPane();
            if (PeerModel *model = PeerModel::instance())
                for (IPeer *peer : model->peers())
                    if (!peer->isLocal())
                        window->onPeerSelected(peer);
            later(800, ready);
        },
        [](QWidget *w) { mainWindowOf(w)->showNodeView(); });
    scenes.add(QStringLiteral("menu-remote"), [](QWidget *w, ScreenScenes::Ready ready) { openMenu(w, "remoteMenu", ready); },
               closeMenus);
    scenes.add(QStringLiteral("menu-edit"), [](QWidget *w, ScreenScenes::Ready ready) { openMenu(w, "editMenu", ready); },
               closeMenus);
    scenes.add(QStringLiteral("menu-view"), [](QWidget *w, ScreenScenes::Ready ready) { openMenu(w, "viewMenu", ready); },
               closeMenus);
    scenes.add(QStringLiteral("menu-help"), [](QWidget *w, ScreenScenes::Ready ready) { openMenu(w, "helpMenu", ready); },
               closeMenus);
    scenes.add(
        QStringLiteral("dialog-create-invitation"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            mainWindowOf(w)->onCreateInvitation();
            later(500, ready);
        },
        [](QWidget *w) { hideObject(mainWindowOf(w)->createInviteDialog()); });
    scenes.add(
        QStringLiteral("dialog-create-invitation-copied"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            window->onCreateInvitation();
            // The link left the dialog: the invitation is stored and the dialog says so.
            if (QObject *dialog = window->createInviteDialog())
                dialog->setProperty("stored", true);
            later(500, ready);
        },
        [](QWidget *w) { hideObject(mainWindowOf(w)->createInviteDialog()); });
    scenes.add(
        QStringLiteral("invitation-not-answered"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            QMetaObject::invokeMethod(mainWindowOf(w), "showInviterAnswer", Q_ARG(QString, QStringLiteral("studio")),
                                      Q_ARG(int, 2));
            later(500, ready);
        },
        [](QWidget *w) {
            for (QMessageBox *box : w->findChildren<QMessageBox *>(QStringLiteral("inviterAnswer")))
                box->close();
        });
    // After "Accept invitation" the pane shows the computer list: there it says whom it
    // contacts, then how that ended.
    scenes.add(
        QStringLiteral("invitation-contacting"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            if (Filer *filer = mainWindowOf(w)->activeFiler()) {
                filer->gotoPath(QStringLiteral("%machinelist"));
                filer->showStatusMessage(qtTrId("inv-contacting").arg(QStringLiteral("studio")), 30000);
            }
            later(500, ready);
        },
        backToFiles);
    scenes.add(
        QStringLiteral("invitation-paired"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            if (Filer *filer = mainWindowOf(w)->activeFiler())
                filer->gotoPath(QStringLiteral("%machinelist"));
            QMetaObject::invokeMethod(mainWindowOf(w), "showInviterAnswer", Q_ARG(QString, QStringLiteral("studio")),
                                      Q_ARG(int, 0));
            later(500, ready);
        },
        backToFiles);
    // A whole link with a code that does not open it: the code field is named.
    scenes.add(QStringLiteral("dialog-add-invitation-wrong-code"),
               [](QWidget *w, ScreenScenes::Ready ready) { showAddDialogProblem(w, "c0ffee43", "code", ready); },
               [](QWidget *w) { hideObject(mainWindowOf(w)->processInviteDialog()); });
    // This computer's own link: refused at once, and why.
    scenes.add(QStringLiteral("dialog-add-invitation-own"),
               [](QWidget *w, ScreenScenes::Ready ready) { showAddDialogProblem(w, "c0ffee42", "own", ready); },
               [](QWidget *w) { hideObject(mainWindowOf(w)->processInviteDialog()); });
    scenes.add(
        QStringLiteral("menu-remote-offline"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            mainWindowOf(w)->setNetworkEnabled(false);
            openMenu(w, "remoteMenu", ready);
        },
        [](QWidget *w) {
            closeMenus(w);
            mainWindowOf(w)->setNetworkEnabled(true);
        });
    scenes.add(
        QStringLiteral("dialog-add-invitation"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            window->onAddInvitation();
            // Two computers on the same network with an open invitation, as the beacon lists them.
            if (QObject *dialog = window->processInviteDialog())
                dialog->setProperty("nearby", QVariantList{
                    QVariantMap{{QStringLiteral("name"), QStringLiteral("anna-laptop")}, {QStringLiteral("deviceType"), 2}},
                    QVariantMap{{QStringLiteral("name"), QStringLiteral("study-desktop")}, {QStringLiteral("deviceType"), 1}}});
            later(500, ready);
        },
        [](QWidget *w) { hideObject(mainWindowOf(w)->processInviteDialog()); });
    scenes.add(
        QStringLiteral("dialog-active-invitations"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            for (int i = 0; i < 2; ++i) {
                const QString uuid = QUuid::createUuid().toString(QUuid::WithBraces).toLower();
                window->onInvitationCreate(uuid, uuid.section(QLatin1Char('-'), 2, 2), QString(), uuid.mid(1, 8));
            }
            later(600, ready);
        },
        [](QWidget *w) { hideObject(mainWindowOf(w)->activeInvitationsDialog()); });
    scenes.add(
        QStringLiteral("dialog-about"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            mainWindowOf(w)->showAboutDialog();
            later(500, ready);
        },
        [](QWidget *w) {
            for (AboutDialog *dialog : w->findChildren<AboutDialog *>())
                dialog->close();
        });
    scenes.add(
        QStringLiteral("dialog-copy-to"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            window->showAlternateFilerPane();
            openCopyTo(window, [ready](QDialog *) { later(500, ready); });
        },
        closeCopyTo);
    // The other pane in a folder of the other computer's share: the dialog names it as the
    // panes do; then a folder typed that is not there, refused in the dialog.
    scenes.add(
        QStringLiteral("dialog-copy-to-share"),
        [](QWidget *w, ScreenScenes::Ready ready) { copyToShare(mainWindowOf(w), QString(), ready); }, closeCopyTo);
    scenes.add(
        QStringLiteral("dialog-copy-to-refused"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            copyToShare(mainWindowOf(w), QStringLiteral("/Tax 2025"), ready);
        },
        closeCopyTo);
    // A drag from the other computer's share onto this computer: the menu says why it offers
    // no move, and what moves between computers.
    scenes.add(
        QStringLiteral("drop-menu-between"),
        [](QWidget *w, ScreenScenes::Ready ready) { dropFromTheOtherComputer(mainWindowOf(w), ready); }, closeDropMenu);
    // A file of the other computer put in its trash: the status line says where it went.
    scenes.add(
        QStringLiteral("filer-remote-trashed"),
        [](QWidget *w, ScreenScenes::Ready ready) {
            MainWindow *window = mainWindowOf(w);
            leftPaneInShare(window, QStringLiteral("Documents"), [window, ready] {
                if (Filer *left = leftFiler(window))
                    left->showStatusMessage(qtTrId("filer-msg-trashed-on").arg(QStringLiteral("old notes.md"), QStringLiteral("studio")),
                                            30000);
                later(300, ready);
            });
        },
        [](QWidget *w) {
            if (Filer *left = leftFiler(mainWindowOf(w)))
                left->showStatusMessage(QString(), 1);
            closeCopyTo(w);
        });
    scenes.add(QStringLiteral("job-copying"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobCopying, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-question"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobReplaceQuestion, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-question-unreadable"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobFailureQuestion, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-left-out"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobLeftOut, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-failed"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobFailed, ready); }, closeJobWindow);
    scenes.add(
        QStringLiteral("job-question-share"),
        [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobShareQuestion, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-failed-share"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobShareFailed, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-move-kept"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobMoveKept, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-move-unconfirmed"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobMoveUnconfirmed, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-paused-away"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobPausedAway, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-waiting"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobWaiting, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-sources-gone"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobSourcesGone, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-offline"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobPausedOffline, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-preparing"),
               [](QWidget *w, ScreenScenes::Ready ready) { showJobWindow(w, JobPreparingWaiting, ready); }, closeJobWindow);
    scenes.add(QStringLiteral("job-windows-cascaded"), showCascadedJobWindows, closeCascadedJobWindows);
    addPaneScreenScenes(scenes);
}
