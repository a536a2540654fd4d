#pragma once

// The screenshot run behind scripts/screens.sh: when NUSK_SCREENS_DIR is set, the program
// waits for the network side to start and the window to restore, then runs every layer's
// screen scenes in turn, grabs the whole screen into "<dir>/<scene>.png" after each, and
// quits. A normal start never makes one. GUI thread only.

#include "app/base/screenscenes.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;

class ScreenRunner : public QObject
{
    Q_OBJECT
public:
    // `window` is the main window; `directory` receives the PNG files.
    ScreenRunner(QWidget *window, const QString &directory, QObject *parent = nullptr);

    // Collects the scenes of every layer.
    static ScreenScenes allScenes();

public Q_SLOTS:
    void start();

Q_SIGNALS:
    void finished();

private:
    void waitForLinks(int waitedMs);
    void runNext();
    void capture(int index);

    QPointer<QWidget> m_window;
    QString m_directory;
    ScreenScenes m_scenes;
    int m_index = -1;
    int m_captured = -1;
    QTimer *m_timeout = nullptr;
};

// How long a scene may take to report that it is ready before it is grabbed anyway.
constexpr int kSceneLimitMs = 15000;
// Quiet time after a scene reports ready, so animations and queued repaints settle.
constexpr int kSceneSettleMs = 400;
