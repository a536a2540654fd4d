// The real main window on a temporary configuration: what it shows after the network side
// started, the commands that need no other computer, and what comes back after a restart.

#include "testutil_window.h"

#include "app/base/actionregistry.h"
#include "filer/fileractions.h"
#include "app/base/configsettings.h"
#include "com/connectionmanager.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"
#include <QAbstractItemView>
#include "ui/aboutdialog.h"
#include "ui/destinationdialog.h"
#include "ui/nodeview/nodeview.h"
#include "ui/preview/preview.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QQuickItem>
#include <QQuickWidget>
#include <QToolButton>
#include <QTranslator>
#include <QQuickItem>
#include <QQuickWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmapCache>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <sys/stat.h>

namespace {

QAction *shared(const char *id)
{
    return FilerActions::action(QString::fromLatin1(id));
}

// Whether the keyboard focus is in this pane (on the pane or its browser).
bool focusIn(QWidget *pane)
{
    QWidget *focus = QApplication::focusWidget();
    return focus && (focus == pane || pane->isAncestorOf(focus));
}

ino_t inodeOf(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QMenu *menu(MainWindow *w, const char *name)
{
    return w->findChild<QMenu *>(QString::fromLatin1(name));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First start, the commands of the menus, close; the second start brings back the layout,
    // the right-hand page and the network switch; a stored "off" reaches the connection
    // manager even though it started with the network on.
    void restoreAfterRestart()
    {
        QList<int> sizes;
        QByteArray geometry;
        {
            Program p;
            QVERIFY(p.start());
            MainWindow *w = p.window();
            QCOMPARE(w->panes().size(), size_t(2));
            QCOMPARE(w->rightStack()->currentWidget(), w->nodeViewPage());
            QCOMPARE(w->rightStack()->indexOf(w->panes().back()), 0);

            // Menus in their order, each with its entries.
            const QList<QAction *> bar = w->menuBar()->actions();
            QCOMPARE(bar.size(), 4);
            QCOMPARE(bar[0]->text(), QStringLiteral("&Remote"));
            QCOMPARE(bar[2]->text(), QStringLiteral("&Files view"));
            QCOMPARE(menu(w, "editMenu")->actions().size(), 8);
            // Every entry of every menu has its icon.
            for (QAction *entry : bar)
                for (QAction *action : entry->menu()->actions())
                    QVERIFY2(action->isSeparator() || !action->icon().isNull(), qPrintable(action->text()));

            // A fresh database holds only this computer: the network stays off, pairing is off.
            QVERIFY(!w->networkEnabled());
            QVERIFY(!w->createInvitationAction()->isEnabled());
            QVERIFY(!w->activeInvitationsAction()->isEnabled());

            // Nothing selected: selection commands off; the window's own commands on; view
            // modes checkable.
            for (const char *id : {"filer.cut", "filer.copy", "filer.paste", "filer.trash", "filer.delete", "filer.rename"})
                QVERIFY2(!shared(id)->isEnabled(), id);
            for (const char *id : {"filer.copy-to", "filer.move-to"})
                QVERIFY2(shared(id)->isEnabled(), id);
            for (const char *id : {"filer.view-list", "filer.view-column", "filer.view-icons", "filer.show-hidden",
                                   "filer.share-drive"})
                QVERIFY2(shared(id)->isCheckable(), id);

            // Every command of the Files view menu and "Network" runs without another
            // computer (those that open the desktop's tools or the network stay out).
            for (QAction *action : menu(w, "viewMenu")->actions()) {
                if (action->isSeparator() || !action->isEnabled())
                    continue;
                action->trigger();
                QVERIFY(w->activeFiler());
            }
            shared("filer.view-icons")->trigger();
            QCOMPARE(w->activeFiler()->viewMode(), Filer::ViewIcons);
            shared("filer.view-list")->trigger();
            QCOMPARE(w->activeFiler()->viewMode(), Filer::ViewList);
            w->findChild<QAction *>("placeNetworkAction")->trigger();
            QTRY_COMPARE(w->activeFiler()->currentPage(), Filer::MachineListPage);
            w->showNodeView();

            // Toggle right pane twice, then leave the second pane shown.
            shared("nodeview.toggle-right")->trigger();
            QCOMPARE(w->rightStack()->currentWidget(), w->panes().back());
            shared("nodeview.toggle-right")->trigger();
            QCOMPARE(w->rightStack()->currentWidget(), w->nodeViewPage());
            shared("view.show-alt-filer")->trigger();
            QCOMPARE(w->rightStack()->currentWidget(), w->panes().back());

            // Network on: pairing entries follow, and the connection manager hears of it.
            w->setNetworkEnabled(true);
            QVERIFY(w->createInvitationAction()->isEnabled());
            QVERIFY(w->addInvitationAction()->isEnabled());
            QTRY_VERIFY(p.manager()->isNetworkEnabled());
            // The same value again writes and emits nothing.
            QSignalSpy changed(w, &MainWindow::networkEnabledChanged);
            w->setNetworkEnabled(true);
            QCOMPARE(changed.count(), 0);

            // The left pane's view mode, as icons.
            w->showNodeView();
            QVERIFY(w->activeFiler());
            w->activeFiler()->setViewMode(Filer::ViewIcons);
            shared("view.show-alt-filer")->trigger();

            w->resize(1200, 700);
            w->splitter()->setSizes({500, 700});
            sizes = w->splitter()->sizes();
            geometry = w->saveGeometry();
            p.close();

            // Saved on close, written through at once.
            QSettings ini(configDirectory() + "/config.ini", QSettings::IniFormat);
            QCOMPARE(ini.value("rhs").toString(), QStringLiteral("filerpane"));
            QCOMPARE(ini.value("network/enabled").toBool(), true);
            QVERIFY(ini.contains("splitterState"));
        }
        {
            const ino_t settingsFile = inodeOf(configDirectory() + "/config.ini");
            Program p;
            QVERIFY(p.start());
            MainWindow *w = p.window();
            QCOMPARE(w->rightStack()->currentWidget(), w->panes().back());
            QVERIFY(w->networkEnabled());
            QCOMPARE(w->splitter()->sizes(), sizes);
            QCOMPARE(w->saveGeometry(), geometry);
            // A start that changes nothing writes no settings; what it does not show it does
            // not build: the node view, the preview.
            QCOMPARE(inodeOf(configDirectory() + "/config.ini"), settingsFile);
            QVERIFY(!w->findChild<NodeView *>());
            QVERIFY(!Preview::instance());
            // Shown, the node view comes filled, at its page's width.
            shared("nodeview.show")->trigger();
            QVERIFY(w->nodeView()->isInitialized() && w->nodeView()->isVisible());
            QCOMPARE(w->nodeView()->width(), w->nodeViewPage()->width());
            QCOMPARE(w->activeFiler()->viewMode(), Filer::ViewIcons);
            QVERIFY(w->activeFiler()->peer());
            w->setNetworkEnabled(false);
            p.close();
        }
        {
            Program p(true);
            QVERIFY(p.start());
            QCOMPARE(p.window()->rightStack()->currentWidget(), p.window()->nodeViewPage());
            QVERIFY(!p.window()->networkEnabled());
            QTRY_VERIFY(!p.manager()->isNetworkEnabled());
        }
    }

    // Tab moves between the panes, and only there: a dialog's fields keep their own Tab.
    // Copy-to needs both panes: with the node view shown it copies nothing.
    void keysBelongWhereTheyAct()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->showAlternateFilerPane();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        // The left pane on its folder, the right one on its computer's page: Tab reaches both.
        w->panes().back()->findChild<Filer *>()->showPeerView();
        w->showAlternateFilerPane();   // the right pane is active and has the focus
        QTRY_VERIFY(focusIn(w->panes().back()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTRY_VERIFY(focusIn(w->panes().front()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTRY_VERIFY(focusIn(w->panes().back()));

        QDialog dialog(w);
        auto *layout = new QVBoxLayout(&dialog);
        auto *first = new QLineEdit(&dialog);
        auto *second = new QLineEdit(&dialog);
        layout->addWidget(first);
        layout->addWidget(second);
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        first->setFocus();
        QTRY_VERIFY(first->hasFocus());
        QTest::keyClick(first, Qt::Key_Tab);
        QTRY_VERIFY(second->hasFocus());
        dialog.close();

        w->showNodeView();
        shared("filer.copy")->setEnabled(true);
        QSignalSpy copied(shared("filer.copy"), &QAction::triggered);
        shared("filer.copy-to")->trigger();
        QCOMPARE(copied.count(), 0);
        shared("filer.copy")->setEnabled(false);
    }

    // F5 with both panes: the selection of the active pane goes to the other pane's folder as
    // it is now, asked afresh each time; cancelled, nothing moves; a later plain paste goes
    // to the folder shown, never to an earlier destination.
    void copyToTheOtherPane()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        IPeer *local = p.peerModel()->getPeerForUuid(nullUuidString());
        QTRY_VERIFY_WITH_TIMEOUT(local && local->linkState() == IPeer::LinkUp, 10000);
        QTemporaryDir dir;
        for (const char *sub : {"src", "first", "second"})
            QVERIFY(QDir().mkpath(dir.filePath(sub)));
        QFile file(dir.filePath("src/note.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("hello") == 5);
        file.close();

        w->showAlternateFilerPane();   // the right pane is active
        Filer *left = w->panes().front()->findChild<Filer *>();
        w->onPeerPathSelected2(nullUuidString(), dir.filePath("src"));
        QTRY_COMPARE(w->activeFiler()->path(), dir.filePath("src"));
        Filer *source = w->activeFiler();
        Filer *target = left;
        QVERIFY(target && target != source);
        target->gotoPath(dir.filePath("first"));
        QTRY_COMPARE(target->path(), dir.filePath("first"));
        QTRY_VERIFY(source->sortModel() && source->sortModel()->rowCount(source->currentView()->rootIndex()) == 1);
        source->setCurrentIndexToPath(dir.filePath("src/note.txt"));
        QTRY_VERIFY(shared("filer.copy")->isEnabled());

        QStringList offered;
        bool accept = false;
        connect(w, &MainWindow::copyToDialogOpened, this, [&](QDialog *dialog) {
            offered << static_cast<DestinationDialog *>(dialog)->field()->text();
            QTimer::singleShot(0, dialog, accept ? &QDialog::accept : &QDialog::reject);
        });
        shared("filer.copy-to")->trigger();   // cancelled
        QCOMPARE(offered, QStringList{dir.filePath("first")});
        QTest::qWait(300);   // long enough for a copy of five bytes that should not start
        QVERIFY(!QFile::exists(dir.filePath("first/note.txt")));

        accept = true;
        shared("filer.copy-to")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("first/note.txt")), 10000);
        QCOMPARE(w->activeFiler(), source);

        target->gotoPath(dir.filePath("second"));
        QTRY_COMPARE(target->path(), dir.filePath("second"));
        shared("filer.copy-to")->trigger();
        QCOMPARE(offered.last(), dir.filePath("second"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("second/note.txt")), 10000);
        disconnect(w, &MainWindow::copyToDialogOpened, this, nullptr);
    }

    // Process-wide settings the window makes: a bounded pixmap cache, the theme's colours in
    // every colour group (disabled text still told apart), the light-blue selection, and the
    // one peer model even when a QML file makes another.
    void processWideSettings()
    {
        Program p;
        QVERIFY(p.start());
        QCOMPARE(QPixmapCache::cacheLimit(), 64 * 1024);

        const QPalette pal = QApplication::palette();
        for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(pal.color(g, QPalette::Window), QColor("#f5f7fa"));
        QCOMPARE(pal.color(QPalette::Active, QPalette::Highlight), QColor("#cce8ff"));
        QVERIFY(pal.color(QPalette::Disabled, QPalette::WindowText) != pal.color(QPalette::Active, QPalette::WindowText));

        QQmlComponent component(p.window()->engine());
        component.setData("import com.qentrix.fenu 1.0\nPeerModel {}", QUrl());
        std::unique_ptr<QObject> other(component.create());
        QVERIFY2(other, qPrintable(component.errorString()));
        QCOMPARE(PeerModel::instance(), p.peerModel());
    }

    // A place opens once, where it was asked for: an own share named on a computer's page
    // in the browser of that page; the node menu's "Open in new window" in a new window, not
    // in the pane. That window, like the main window, carries the program's icon.
    void placesOpenWhereAsked()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        QVERIFY(!w->windowIcon().pixmap(32, 32).isNull());
        Filer *before = w->activeFiler();
        QVERIFY(before);
        QTemporaryDir dir;

        before->showPeerView();   // the page is loaded when first shown
        QObject *peerPage = nullptr;
        for (QQuickWidget *page : before->findChildren<QQuickWidget *>())
            if (page->source().toString().endsWith(QLatin1String("PeerView.qml")))
                peerPage = page->rootObject();
        QVERIFY(peerPage);
        QSignalSpy entered(before, &Filer::directoryChanged);
        QMetaObject::invokeMethod(peerPage, "localPathClicked", Q_ARG(QString, dir.path()));
        QTRY_COMPARE(before->path(), dir.path());
        QTest::qWait(100);
        QCOMPARE(entered.count(), 1);
        before->gotoPath(QDir::homePath());
        QTRY_COMPARE(before->path(), QDir::homePath());
        const QString beforePath = before->path();

        NodeView *nodeView = w->nodeView();
        QVERIFY(nodeView);
        Q_EMIT nodeView->createNewWindow();
        Q_EMIT nodeView->nodeDoubleClicked(nullUuidString(), dir.path());
        QPointer<Filer> opened = w->activeFiler();
        QVERIFY(opened && opened != before && opened->isWindow());
        QTRY_COMPARE(opened->path(), dir.path());
        QCOMPARE(before->path(), beforePath);
        QVERIFY(!opened->windowIcon().pixmap(32, 32).isNull());
        opened->close();
        QTRY_VERIFY(!opened);
    }

    // What a second start asks for: a minimised window comes back active, a maximised
    // one stays maximised.
    void bringToFrontKeepsTheWindowsSize()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->showMinimized();
        QTRY_VERIFY(w->isMinimized());
        w->bringToFront();
        QTRY_VERIFY(!w->isMinimized() && w->isVisible());
        QTRY_VERIFY(w->isActiveWindow());

        w->showMaximized();
        QTRY_VERIFY(w->isMaximized());
        w->showMinimized();
        QTRY_VERIFY(w->isMinimized());
        w->bringToFront();
        QTRY_VERIFY(!w->isMinimized());
        QVERIFY(w->isMaximized());
        QTRY_VERIFY(w->isActiveWindow());
    }

    // Help > About: a fresh dialog each time, gone after Escape as after its close button.
    // Offline, the greyed invitation entries say why and how to go online.
    void offlineEntriesSayWhy()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(false);
        QAction *create = w->createInvitationAction();
        QVERIFY(!create->isEnabled());
        QCOMPARE(create->text(), QStringLiteral("Create invitation... (offline)"));
        QVERIFY(create->toolTip().contains("“online”"));
        QVERIFY(w->addInvitationAction()->toolTip().contains("“online”"));
        w->setNetworkEnabled(true);
        QVERIFY(create->isEnabled());
        QCOMPARE(create->text(), QStringLiteral("Create invitation..."));
    }

    // In German every text of the window comes from the catalogue: the Remote menu, the
    // panes' online switch, the name of the system drive.
    void germanWindow()
    {
        QTranslator german;
        QVERIFY(german.load(QStringLiteral(":/i18n/nusk_de.qm")));
        QCoreApplication::installTranslator(&german);
        {
            Program p;
            QVERIFY(p.start());
            MainWindow *w = p.window();
            QCOMPARE(menu(w, "remoteMenu")->title(), QStringLiteral("&Fernzugriff"));
            auto *bar = qobject_cast<QQuickWidget *>(w->activeFiler()->breadcrumb());
            QVERIFY(bar && bar->rootObject());
            QObject *online = bar->rootObject()->findChild<QObject *>(QStringLiteral("onlineSwitch"));
            QVERIFY(online);
            QCOMPARE(online->property("text").toString(), QStringLiteral("Online"));
            VfsDrive root;
            root.path = QStringLiteral("/");
            QCOMPARE(VfsDriveModel::displayName(root), QStringLiteral("Hauptfestplatte"));
        }
        QCoreApplication::removeTranslator(&german);
    }

    void aboutDialogGoesWhenClosed()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->showAboutDialog();
        QPointer<AboutDialog> about = w->findChild<AboutDialog *>();
        QVERIFY(about);
        QCOMPARE(about->findChild<QLabel *>("appVersion")->text(), QStringLiteral("0.5.18"));
        QCOMPARE(about->findChild<QLabel *>("torVersion")->text(), QStringLiteral("not running"));
        QCOMPARE(about->findChild<QLabel *>("graphicsApi")->text(), QStringLiteral("Software (1)"));
        // Its licences button shows the licence texts beside the program in the active pane,
        // with nothing in front of them: the dialog gives way and the window comes forward.
        about->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(about));
        about->findChild<QAbstractButton *>("showLicensesButton")->click();
        QTRY_VERIFY(!about);
        QTRY_COMPARE_WITH_TIMEOUT(w->activeFiler()->path(), QCoreApplication::applicationDirPath() + "/licenses", 10000);
        QTRY_COMPARE(QApplication::activeWindow(), w->activeFiler()->window());
        QVERIFY(w->activeFiler()->isVisible());

        w->showAboutDialog();
        about = w->findChild<AboutDialog *>();
        QVERIFY(about);
        QTest::keyClick(about, Qt::Key_Escape);
        QTRY_VERIFY(!about);

        w->showAboutDialog();
        about = w->findChild<AboutDialog *>();
        QVERIFY(about);
        about->findChild<QPushButton *>("closeButton")->click();
        QTRY_VERIFY(!about);
        QCOMPARE(AboutDialog::rendererText(10), QStringLiteral("unknown"));
        // Each shipped licence is its own component's.
        QFile sqlite(QCoreApplication::applicationDirPath() + "/licenses/sqlite.txt");
        QVERIFY(sqlite.open(QIODevice::ReadOnly));
        QVERIFY(sqlite.readAll().contains("May you do good and not evil."));

        // Documentation that cannot be opened (no browser here) says where it is.
        w->findChild<QAction *>("onlineDocsAction")->trigger();
        QPointer<QMessageBox> docs = w->findChild<QMessageBox *>("docsFailed");
        QVERIFY(docs && docs->isVisible());
        QVERIFY(docs->text().contains("https://"));
        docs->close();
    }

    // A configured control port that lets anybody in cannot prove it is tor: it is refused,
    // and the About dialog says so under "Tor version", with how to set tor up, in full.
    void aboutDialogSaysWhyTheControlPortIsRefused()
    {
        QTcpServer port;
        QVERIFY(port.listen(QHostAddress::LocalHost, 0));
        connect(&port, &QTcpServer::newConnection, &port, [&port] {
            while (QTcpSocket *s = port.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, s, [s] {
                    while (s->canReadLine())
                        if (s->readLine().startsWith("PROTOCOLINFO"))
                            s->write("250-PROTOCOLINFO 1\r\n250-AUTH METHODS=NULL\r\n250-VERSION Tor=\"0.4.7.16\"\r\n"
                                     "250 OK\r\n");
                });
        });
        {
            ConfigSettings config;
            config->setValue(QStringLiteral("com/tor"), true);
            config->setValue(QStringLiteral("com/torcontrolport"), port.serverPort());
        }
        {
            Program p;
            QVERIFY(p.start());
            QTRY_VERIFY_WITH_TIMEOUT(p.manager()->isTorControlPortRefused(), 10000);
            // In full, in each language: the German text is the longer one.
            const auto shownRefusal = [&]() -> QString {
                p.window()->showAboutDialog();
                QPointer<AboutDialog> about = p.window()->findChild<AboutDialog *>();
                if (!about || !QTest::qWaitForWindowExposed(about))
                    return QStringLiteral("no dialog");
                const auto *refusal = about->findChild<QLabel *>("torRefusal");
                const bool whole = refusal && refusal->isVisible() && refusal->wordWrap()
                    && refusal->textFormat() == Qt::PlainText
                    && refusal->height() >= refusal->heightForWidth(refusal->width())
                    && about->rect().contains(refusal->geometry());
                const QString text = !refusal ? QStringLiteral("no refusal")
                    : whole ? about->findChild<QLabel *>("torVersion")->text() + " | " + refusal->text()
                            : QStringLiteral("clipped");
                about->close();
                QTest::qWaitFor([&] { return about.isNull(); });
                return text;
            };
            const QString english = shownRefusal();
            QVERIFY2(english.startsWith("not running | Refused the control port: it cannot prove it is Tor.")
                         && english.contains("(CookieAuthentication 1)"),
                     qPrintable(english));
            QTranslator german;
            QVERIFY(german.load(QStringLiteral(":/i18n/nusk_de.qm")));
            QCoreApplication::installTranslator(&german);
            const QString inGerman = shownRefusal();
            QCoreApplication::removeTranslator(&german);
            QVERIFY2(inGerman.startsWith("läuft nicht | Steuerport abgelehnt") && inGerman.contains("(CookieAuthentication 1)"),
                     qPrintable(inGerman));
        }
        ConfigSettings config;
        config->remove(QStringLiteral("com/tor"));
        config->remove(QStringLiteral("com/torcontrolport"));
    }
};

NUSK_WINDOW_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
