#pragma once

// Test hook behind scripts/screens.sh: named steps that put the real window into a state worth
// a screenshot. Each layer offers its scenes through one function of its own (for example
// addFilerScreenScenes(ScreenScenes&)); the program's start-up collects them only when the
// screenshot run asks for it, so a normal start never builds or runs any of this.
// GUI thread only.

#include <QString>
#include <functional>
#include <vector>

class QWidget;

class ScreenScenes
{
public:
    // prepare() puts the window (or a dialog it opens) into the scene's state and calls
    // ready() once everything is painted; cleanup() undoes it before the next scene.
    using Ready = std::function<void()>;
    using Prepare = std::function<void(QWidget* mainWindow, Ready ready)>;
    using Cleanup = std::function<void(QWidget* mainWindow)>;

    struct Scene
    {
        QString name;      // file name of the screenshot without ".png", e.g. "filer-icons-large"
        Prepare prepare;
        Cleanup cleanup;
    };

    void add(const QString& name, Prepare prepare, Cleanup cleanup = {})
    {
        m_scenes.push_back({name, std::move(prepare), std::move(cleanup)});
    }
    const std::vector<Scene>& scenes() const { return m_scenes; }

private:
    std::vector<Scene> m_scenes;
};
