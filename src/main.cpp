// Start-up and shut-down of nusk.

#include "app/base/configsettings.h"
#include "app/startup/commandline.h"
#include "app/startup/fontconfigwarmup.h"
#include "app/startup/screenrunner.h"
#include "com/connectionmanager.h"
#include "ui/mainwindow.h"
#include "ui/preview/preview.h"
#include "app/base/devicekind.h"
#include "app/base/log.h"
#include "app/startup/selfupdate.h"
#include "app/startup/startupguard.h"
#include "app/base/translations.h"
#include "app/startup/unixsignals.h"
#include "db/sqlitedatabase.h"
#include "peers/invitationmodel.h"
#include "peers/peermodel.h"
#include "app/startup/networkside.h"
#include "vfs/server/asidekey.h"
#include "vfs/server/versionlinger.h"
#include "vfs/server/vfswatcher.h"

#include <QApplication>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QLocale>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QSettings>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

QStringList rawArguments(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

// Reports the first paint of the main window after its restore on standard output, then
// quits; with `keepRunning` (tests that end the program their own way) it only reports.
class FirstPaintProbe : public QObject
{
public:
    FirstPaintProbe(MainWindow* window, const QElapsedTimer& clock, bool keepRunning)
        : m_window(window), m_clock(clock), m_keepRunning(keepRunning)
    {
        for (QWidget* w : window->findChildren<QWidget*>())
            w->installEventFilter(this);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (!m_done && event->type() == QEvent::Paint && m_window->isRestored()) {
            m_done = true;
            std::printf("first painted window: %lld ms\n", static_cast<long long>(m_clock.elapsed()));
            std::fflush(stdout);
            if (!m_keepRunning)
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return false;
    }

private:
    MainWindow* m_window;
    QElapsedTimer m_clock;
    bool m_keepRunning;
    bool m_done = false;
};

void saveState()
{
    ConfigSettings cs;
    Logger::save(*cs.settings());
}

} // namespace

int main(int argc, char* argv[])
{
    QElapsedTimer startClock;   // for the start-up figure of bench/startup
    startClock.start();
    // 0. Options, answered before any GUI object exists: --help and --version work without a
    // display, and a missing display is one clear line instead of the platform plug-in's abort.
    QCoreApplication::setApplicationName(QStringLiteral("nusk"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.5.18"));
    {
        const QStringList arguments = rawArguments(argc, argv);
        const CommandLine commandLine = parseCommandLine(arguments);
        if (commandLine.outcome != CommandLine::Run) {
            std::fputs(qUtf8Printable(commandLine.output),
                       commandLine.outcome == CommandLine::ExitOk ? stdout : stderr);
            return commandLine.outcome == CommandLine::ExitOk ? 0 : 2;
        }
        QString reason;
        if (!displayAvailable(arguments, &reason)) {
            std::fprintf(stderr, "nusk: %s\n", qUtf8Printable(reason));
            return 1;
        }
    }

    // The fonts' configuration loads while everything up to the window is set up.
    FontconfigWarmUp fontconfigWarmUp;

    // 1. Logging: errors on until config.ini says otherwise.
    enableLogCategory(LogErr1);
    deviceKind();   // probed once, before anything asks for it

    // 2. Renderer, decided before any GUI object exists. Where the desktop has no OpenGL ES
    // (desktop Linux builds of Qt), the request is ignored and the platform's OpenGL is used.
    const QStringList early = rawArguments(argc, argv);
    if (appArgument(early, QStringLiteral("--renderer")) == QLatin1String("software"))
        qputenv("QMLSCENE_DEVICE", "softwarecontext");
    else
        QCoreApplication::setAttribute(Qt::AA_UseOpenGLES);

    // 3. Signals, application object and identity.
    UnixSignalWatcher::installHandlers();
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nusk"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.5.18"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarnquist"));
    UnixSignalWatcher signalWatcher;
    // Without a working OpenGL (remote sessions, bare X servers, broken drivers) the QML views
    // would abort: they draw in software instead.
    if (QQuickWindow::sceneGraphBackend().isEmpty() && qgetenv("QMLSCENE_DEVICE").isEmpty()) {
        QOpenGLContext probe;
        if (!probe.create())
            QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    }

    // 4. Configuration directory and config.ini with the logging flags. Writing them back
    // makes sure the file exists from the first start on. The folder and its files are made
    // private (files an older version left readable are mended first).
    StartupGuard startupGuard(configDirectory());
    if (!startupGuard.prepareDirectory()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return StartupGuard::ExitConfigUnusable;
    }
    {
        ConfigSettings cs;
        Logger::load(*cs.settings());
    }
    // Where it writes anything (a first start), the write syncs the disk twice.
    QThreadPool::globalInstance()->start([] {
        ConfigSettings cs;
        Logger::save(*cs.settings());
    });

    // 5. Self-update hand-over.
    const QString programName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    SelfUpdate selfUpdate(QCoreApplication::applicationDirPath(), programName);
    const qint64 handingOverPid = SelfUpdate::takeHandingOverPid();
    if (selfUpdate.isRunningFromUpdate()) {
        if (!selfUpdate.install())
            logPrintf(LogErr1, "update not installed: %s", qUtf8Printable(selfUpdate.errorString()));
        // Either way the installed program carries on: the new one, or the old one restored.
        // It takes over from the program that started this copy, not from this copy.
        const QString program = selfUpdate.installedProgram();
        if (!SelfUpdate::startHandOver(program, QCoreApplication::arguments().mid(1), handingOverPid)) {
            logPrintf(LogErr1, "failed to start %s", qUtf8Printable(program));
            return 1;
        }
        return 0;
    }
    selfUpdate.removeLeftovers();

    // One program per configuration directory: a second one would fight the first over
    // every link. It asks the first to come to the front and ends. The program an update
    // hands over to waits for the old one to let go.
    if (!startupGuard.acquire(handingOverPid)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return StartupGuard::ExitAlreadyRunning;
    }
    // What a delete that died midway left aside is known again by this key.
    asidekey::keepIn(configDirectory());

    // 6. Catalogues: the system locale's, else en-US, and Qt's own.
    Translations translations;
    translations.install(QLocale::system());

    // 7. The network thread and the objects made before the window.
    QThread ioThread;
    ioThread.setObjectName(QStringLiteral("ioThread"));

    VfsWatcher watcher;
    // Files a peer's delete unlinked, held a moment for a late save; let go of after the file
    // servers, which go with the network side.
    versionguard::LingeringFiles lingeringFiles;
    PeerModel peerModel;
    SqliteDatabase database(configDirectory());
    // Without its database, or with an identity other than the one it had, the program
    // would be a stranger to every paired computer: it says why and stops.
    auto configUnusable = [&startupGuard] {
        logPrintf(LogErr1, "%s", qUtf8Printable(startupGuard.errorString()));
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return int(StartupGuard::ExitConfigUnusable);
    };
    if (!startupGuard.checkDatabase(&database))
        return configUnusable();
    // A first start whose identity could not be stored ends as if its database were unusable.
    QObject::connect(&startupGuard, &StartupGuard::identityFailed, &app,
                     [&configUnusable] { QCoreApplication::exit(configUnusable()); });
    InvitationModel invitationModel(&database);

    bool networkEnabled = defaultNetworkEnabled(&database);
    {
        ConfigSettings cs;
        networkEnabled = cs.settings()->value(QStringLiteral("network/enabled"), networkEnabled).toBool();
    }
    NetworkSide networkSide(&database, &peerModel, &ioThread, networkEnabled);
    // The network side starts while the window is being built; the window restores what
    // needs the peers once the connection manager's started() reaches it.
    ioThread.start();

    // Thumbnails of the file views, from their first listing on.
    initPreviewPipeline(&database);

    // 8. The main window.
    fontconfigWarmUp.wait();
    MainWindow window(networkSide.manager(), &database);
    window.show();
    // A second start on this configuration asked this program to come to the front.
    QObject::connect(&startupGuard, &StartupGuard::activationRequested, &window, &MainWindow::bringToFront);

    // Start-up figure for bench/startup: the first paint of the restored window, then quit.
    std::unique_ptr<QObject> startupProbe;
    if (!qEnvironmentVariableIsEmpty("NUSK_STARTUP_PROBE"))
        startupProbe.reset(new FirstPaintProbe(&window, startClock, qgetenv("NUSK_STARTUP_PROBE") == "report"));

    // Screenshot run (scripts/screens.sh): every layer's scenes, then quit.
    std::unique_ptr<ScreenRunner> screens;
    const QString screensDir = QString::fromLocal8Bit(qgetenv("NUSK_SCREENS_DIR"));
    if (!screensDir.isEmpty()) {
        screens.reset(new ScreenRunner(&window, screensDir));
        QObject::connect(screens.get(), &ScreenRunner::finished, &app, &QCoreApplication::quit);
        auto begin = [&screens] { QTimer::singleShot(1500, screens.get(), &ScreenRunner::start); };
        if (window.isRestored())
            begin();
        else
            QObject::connect(&window, &MainWindow::restored, screens.get(), begin);
    }

    const int rc = app.exec();
    startupGuard.waitForIdentity();   // its work uses the database, which goes before the guard
    // Once every aboutToQuit handler ran (the window, the node view made later on, save while
    // their computers still exist): the connection manager goes first, on its own thread,
    // taking every peer, link and job with it; then ioThread is joined.
    networkSide.shutDown();

    int result = rc;
    if (rc == SelfUpdate::ExitCodeUpdate) {
        const QString program = selfUpdate.updateProgram();
        if (!SelfUpdate::startHandOver(program, QCoreApplication::arguments().mid(1),
                                       QCoreApplication::applicationPid())) {
            logPrintf(LogErr1, "failed to start update %s", qUtf8Printable(program));
            result = 1;
        } else {
            result = 0;
        }
    }

    // Shut-down in reverse order of making: the main window, the models and the watcher
    // are destroyed here once they exist.
    saveState();
    return result;
}
