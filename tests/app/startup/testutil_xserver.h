#pragma once

// A private X server for tests that run the real program with real windows: optionally the
// window manager the screen scenes use (openbox), a window manager's close request, keys
// sent to whichever window has the focus, as a person's keyboard sends them, and clicks.

#include <QByteArray>
#include <QPoint>
#include <QProcess>
#include <QString>

#include <functional>

class XServer
{
public:
    XServer();
    // Keys and questions for a display another process started (it is not stopped here).
    explicit XServer(const QString &display) : m_display(display) {}
    ~XServer();
    // Empty when no X server could be started.
    QString display() const { return m_display; }

    // Starts openbox on the display; true once it manages the screen.
    bool startWindowManager();

    // What a window manager does when the user closes a window: WM_DELETE_WINDOW to every
    // shown top-level window titled `title`. The number of windows asked.
    int closeWindows(const QByteArray &title) const;

    // The title of the window that has the keyboard focus ("" for none).
    QByteArray focusedTitle() const;
    // Presses and releases the key of `keysym` (X keysym; Latin-1 characters are their own)
    // with `modifiers` (X modifier mask) in the focused window. False when the key is not on
    // the keyboard or no window has the focus.
    bool key(quint32 keysym, quint16 modifiers = 0) const;
    // Types Latin-1 text key by key.
    bool type(const QByteArray &text) const;
    // Clicks the left button at `at` (screen coordinates) as a person's mouse does; two
    // calls within the double-click time make a double-click.
    bool click(const QPoint &at) const;

private:
    QProcess m_server;
    QProcess m_windowManager;
    QString m_display;
};

// X keysyms and modifier masks the tests use.
namespace xkeys {
constexpr quint32 Tab = 0xff09;
constexpr quint32 Return = 0xff0d;
constexpr quint32 Escape = 0xff1b;
constexpr quint32 Down = 0xff54;
constexpr quint16 Shift = 1;
constexpr quint16 Control = 4;
constexpr quint16 Alt = 8;
} // namespace xkeys

// For the tests that need a real window system: main() returns runOnXvfb(argc, argv, test).
// The test binary starts a private X server with the window manager and runs itself again
// there with the same arguments; in that run `test` is the test. Skipped without Xvfb.
int runOnXvfb(int argc, char **argv, const std::function<int(int &argc, char **argv)> &test);
