#include "testutil_window.h"

#include "app/base/configsettings.h"
#include "app/base/translations.h"
#include "com/connectionmanager.h"
#include "desktop/apps/applauncher.h"
#include "filer/filer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

QList<QQuickWindow *> jobWindows()
{
    QList<QQuickWindow *> list;
    for (QWindow *w : QGuiApplication::topLevelWindows())
        if (auto *q = qobject_cast<QQuickWindow *>(w); q && q->objectName() == QLatin1String("jobPane"))
            list << q;
    return list;
}

bool clickItem(QQuickWindow *window, const char *name)
{
    QQuickItem *item = window ? window->findChild<QQuickItem *>(QString::fromLatin1(name)) : nullptr;
    if (!item || !item->isVisible())
        return false;
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    return true;
}

Program::Program(bool managerNetwork)
    : m_database(configDirectory())
    , m_invitations(&m_database)
{
    m_io.setObjectName(QStringLiteral("ioThread"));
    m_side.reset(new NetworkSide(&m_database, &m_peers, &m_io, managerNetwork));
    m_side->manager()->setListenPort(0);
}

Program::~Program()
{
    close();
}

bool Program::start(int limitMs)
{
    // As main() does: the network side starts while the window is being made.
    m_io.start();
    m_window.reset(new MainWindow(m_side->manager(), &m_database));
    m_window->setQuitOnClose(false);
    m_window->show();
    QSignalSpy restored(m_window.get(), &MainWindow::restored);
    return restored.wait(limitMs) || m_window->isRestored();
}

void Program::close()
{
    if (m_window) {
        m_window->close();
        m_window.reset();
    }
    if (m_side) {
        m_side->shutDown();
        m_side.reset();
        // The launcher queries this program's database; the next program in this process
        // gets one of its own.
        delete AppLauncher::instance();
    }
}

struct WindowTestApp::Data
{
    QTemporaryDir dir;
    QByteArray configArg;
    std::vector<char *> argv;
    int argc = 0;
    QStringList testArgs;
    std::unique_ptr<QApplication> app;
    std::unique_ptr<Translations> translations;
};

WindowTestApp::WindowTestApp(int &argc, char **argv)
    : d(new Data)
{
    d->configArg = "--config-dir=" + d->dir.path().toLocal8Bit() + "/config";
    for (int i = 0; i < argc; ++i) {
        d->argv.push_back(argv[i]);
        d->testArgs << QString::fromLocal8Bit(argv[i]);
    }
    d->argv.push_back(d->configArg.data());
    d->argv.push_back(nullptr);
    d->argc = argc + 1;
    QCoreApplication::setApplicationName(QStringLiteral("nusk"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.5.18"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarnquist"));
    d->app.reset(new QApplication(d->argc, d->argv.data()));
    d->translations.reset(new Translations);
    d->translations->install(QLocale(QLocale::English, QLocale::UnitedStates));
}

WindowTestApp::~WindowTestApp() = default;

QString WindowTestApp::configDir() const
{
    return d->dir.path() + QStringLiteral("/config");
}

int WindowTestApp::exec(QObject *test)
{
    return QTest::qExec(test, d->testArgs);
}

bool showPath(Filer *filer, const QString &path, const std::function<bool()> &shown, int limitMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (filer->path() != path) {
            filer->resolvePath(path);
            filer->gotoPath(path);
        }
        if (QTest::qWaitFor([&] { return filer->path() == path && (!shown || shown()); }, 2000))
            return true;
        if (waited.elapsed() > limitMs) {
            qWarning("the pane shows %s, not %s", qPrintable(filer->path()), qPrintable(path));
            return false;
        }
    }
}
