#pragma once

// The program as main() assembles it, in the test process: database, models, watcher, the
// network side on its own "ioThread" (listening on a port the system picks) and the main
// window. The configuration directory is the one given by "--config-dir" on the test's own
// command line (see runWindowTests).

#include "app/startup/networkside.h"
#include "db/sqlitedatabase.h"
#include "peers/invitationmodel.h"
#include "peers/peermodel.h"
#include "ui/mainwindow.h"
#include "vfs/server/vfswatcher.h"

#include <QList>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

class Filer;
class QQuickWindow;

// The copy jobs' windows that are open.
QList<QQuickWindow *> jobWindows();
// Clicks the middle of the visible item `name` of a QML window; false when there is none.
bool clickItem(QQuickWindow *window, const char *name);
// Sends `filer` to `path` until it shows it and `shown` holds as well: the program may hear of
// another computer's share only after it was made (on a loaded machine, seconds later), so the
// pane is sent again, with time enough between for a slow answer to land. False after `limitMs`,
// saying what the pane showed.
bool showPath(Filer *filer, const QString &path, const std::function<bool()> &shown, int limitMs);

class Program
{
public:
    // `managerNetwork`: the switch the connection manager starts with, before the window
    // restores the stored one.
    explicit Program(bool managerNetwork = true);
    ~Program();

    // Makes and shows the window, starts the network side and waits for the restore.
    bool start(int limitMs = 20000);
    // Closes the window as the user would (its close button) and stops the network side.
    void close();

    MainWindow *window() const { return m_window.get(); }
    SqliteDatabase *database() { return &m_database; }
    ConnectionManager *manager() const { return m_side->manager(); }
    PeerModel *peerModel() { return &m_peers; }

private:
    SqliteDatabase m_database;
    VfsWatcher m_watcher;
    PeerModel m_peers;
    InvitationModel m_invitations;
    QThread m_io;
    std::unique_ptr<NetworkSide> m_side;
    std::unique_ptr<MainWindow> m_window;
};

// The application of the window tests: "--config-dir=<a fresh temporary folder>" joins its
// arguments (where configDirectory() finds it), the English catalogue is installed, and the
// test runs with the original arguments.
class WindowTestApp
{
public:
    WindowTestApp(int &argc, char **argv);
    ~WindowTestApp();
    int exec(QObject *test);
    QString configDir() const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};

#define NUSK_WINDOW_TEST_MAIN(TestClass)     \
    int main(int argc, char **argv)          \
    {                                        \
        WindowTestApp app(argc, argv);       \
        TestClass test;                      \
        return app.exec(&test);              \
    }
