#include "app/startup/screenrunner.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "desktop/desktopscreenscenes.h"
#include "filer/filerpanescreenscenes.h"
#include "filer/filerscreenscenes.h"
#include "ui/preview/previewscreenscenes.h"
#include "ui/uiscreenscenes.h"
#include "ui/nodeview/nodeviewscreenscenes.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cstdio>

ScreenRunner::ScreenRunner(QWidget *window, const QString &directory, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_directory(directory)
    , m_scenes(allScenes())
    , m_timeout(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] {
        std::fprintf(stderr, "screens: scene %s did not report ready, grabbing as it is\n",
                     qUtf8Printable(m_scenes.scenes().at(size_t(m_index)).name));
        capture(m_index);
    });
}

ScreenScenes ScreenRunner::allScenes()
{
    ScreenScenes scenes;
    // One line per layer that offers scenes.
    addUiScreenScenes(scenes);
    addFilerViewScreenScenes(scenes);
    addPreviewScreenScenes(scenes);
    addDesktopScreenScenes(scenes);
    addFilerPaneScreenScenes(scenes);
    addNodeViewScreenScenes(scenes);
    // A pass over a few scenes only (another language, another size): NUSK_SCREENS_ONLY is
    // a regular expression their names match.
    const QString only = QString::fromLocal8Bit(qgetenv("NUSK_SCREENS_ONLY"));
    if (only.isEmpty())
        return scenes;
    const QRegularExpression pattern(only);
    ScreenScenes chosen;
    for (const ScreenScenes::Scene &scene : scenes.scenes())
        if (pattern.match(scene.name).hasMatch())
            chosen.add(scene.name, scene.prepare, scene.cleanup);
    return chosen;
}

void ScreenRunner::start()
{
    QDir().mkpath(m_directory);
    // As a user would have it: the window fills the screen; or, with NUSK_SCREENS_WINDOW set
    // to "default", the size it has at a first start.
    if (m_window && qgetenv("NUSK_SCREENS_WINDOW") != "default")
        m_window->showMaximized();
    waitForLinks(0);
}

void ScreenRunner::waitForLinks(int waitedMs)
{
    // The first scenes show the computers' pages: taken before the links are up, they would
    // show every computer as unreachable. Waits at most 15 s for all stored computers.
    bool allUp = true;
    if (PeerModel *model = PeerModel::instance())
        for (IPeer *peer : model->peers())
            allUp = allUp && peer->linkState() == IPeer::LinkUp;
    if (allUp || waitedMs >= 15000) {
        runNext();
        return;
    }
    QTimer::singleShot(100, this, [this, waitedMs] { waitForLinks(waitedMs + 100); });
}

void ScreenRunner::runNext()
{
    if (m_index >= 0) {
        const ScreenScenes::Scene &previous = m_scenes.scenes().at(size_t(m_index));
        if (previous.cleanup && m_window)
            previous.cleanup(m_window);
    }
    ++m_index;
    if (m_index >= int(m_scenes.scenes().size()) || !m_window) {
        Q_EMIT finished();
        return;
    }
    const int index = m_index;
    const ScreenScenes::Scene &scene = m_scenes.scenes().at(size_t(index));
    m_timeout->start(kSceneLimitMs);
    scene.prepare(m_window, [this, index] {
        if (index != m_index || m_captured >= index)
            return;
        m_timeout->stop();
        QTimer::singleShot(kSceneSettleMs, this, [this, index] { capture(index); });
    });
}

void ScreenRunner::capture(int index)
{
    if (index != m_index || m_captured >= index)
        return;
    m_captured = index;
    m_timeout->stop();
    const QString name = m_scenes.scenes().at(size_t(index)).name;
    QScreen *screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen ? screen->grabWindow(0) : QPixmap();
    const QString file = QDir(m_directory).filePath(name + QStringLiteral(".png"));
    if (shot.isNull() || !shot.save(file, "PNG"))
        std::fprintf(stderr, "screens: could not save %s\n", qUtf8Printable(file));
    else
        std::fprintf(stderr, "screens: %s\n", qUtf8Printable(file));
    QTimer::singleShot(0, this, &ScreenRunner::runNext);
}
