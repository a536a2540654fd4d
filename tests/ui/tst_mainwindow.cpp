// The real main window on a temporary configuration: what it shows after the network side
// started, the commands that need no other computer, and what comes back after a restart.

#include "testutil_window.h"

#include "app/base/actionregistry.h"
#include "app/base/configsettings.h"
#include "com/connectionmanager.h"
#include "ui/aboutdialog.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QMenuBar>
#include <QPixmapCache>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QtTest>

namespace {

QAction *shared(const char *id)
{
    return qobject_cast<QAction *>(ActionRegistry::actionObject(QString::fromLatin1(id)));
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

            // A fresh database holds only this computer: the network stays off, pairing is off.
            QVERIFY(!w->networkEnabled());
            QVERIFY(!w->createInvitationAction()->isEnabled());
            QVERIFY(!w->activeInvitationsAction()->isEnabled());

            // Right after construction: selection commands off, the rest on, view modes checkable.
            for (const char *id : {"filer.cut", "filer.copy", "filer.paste", "filer.trash", "filer.delete", "filer.rename"})
                QVERIFY2(!shared(id)->isEnabled(), id);
            for (const char *id : {"filer.new-folder", "filer.copy-to", "filer.move-to", "filer.preview"})
                QVERIFY2(shared(id)->isEnabled(), id);
            for (const char *id : {"filer.view-list", "filer.view-column", "filer.view-icons", "filer.show-hidden",
                                   "filer.share-drive"})
                QVERIFY2(shared(id)->isCheckable(), id);

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

            w->splitter()->setSizes({300, 700});
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
            Program p;
            QVERIFY(p.start());
            MainWindow *w = p.window();
            QCOMPARE(w->rightStack()->currentWidget(), w->panes().back());
            QVERIFY(w->networkEnabled());
            QCOMPARE(w->splitter()->sizes(), sizes);
            QCOMPARE(w->saveGeometry(), geometry);
            shared("view.show-nodeview")->trigger();
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
        w->showAlternateFilerPane();   // the right pane is active and has the focus
        QTRY_VERIFY(w->panes().back()->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTRY_VERIFY(w->panes().front()->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTRY_VERIFY(w->panes().back()->hasFocus());

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

    // Help > About: a fresh dialog each time, gone after Escape as after its close button.
    void aboutDialogGoesWhenClosed()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->showAboutDialog();
        QPointer<AboutDialog> about = w->findChild<AboutDialog *>();
        QVERIFY(about);
        QCOMPARE(about->findChild<QLabel *>("appVersion")->text(), QStringLiteral("0.5.18"));
        QCOMPARE(about->findChild<QLabel *>("torVersion")->text(), QStringLiteral("0.0.0"));
        QCOMPARE(about->findChild<QLabel *>("graphicsApi")->text(), QStringLiteral("Software (1)"));
        QTest::keyClick(about, Qt::Key_Escape);
        QTRY_VERIFY(!about);

        w->showAboutDialog();
        about = w->findChild<AboutDialog *>();
        QVERIFY(about);
        about->findChild<QPushButton *>("closeButton")->click();
        QTRY_VERIFY(!about);
        QCOMPARE(AboutDialog::rendererText(10), QStringLiteral("unknown"));
    }
};

NUSK_WINDOW_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
