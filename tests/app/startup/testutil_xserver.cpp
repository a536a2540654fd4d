#include "testutil_xserver.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

// One connection for one question; closed on every path.
struct Connection
{
    explicit Connection(const QString &display) : c(xcb_connect(display.toLatin1().constData(), nullptr)) {}
    ~Connection() { xcb_disconnect(c); }
    bool ok() const { return !xcb_connection_has_error(c); }
    xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root; }
    xcb_atom_t atom(const char *name) const
    {
        xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(r);
        return a;
    }
    QByteArray property(xcb_window_t window, xcb_atom_t name) const
    {
        xcb_get_property_reply_t *r = xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, XCB_ATOM_ANY, 0, 256), nullptr);
        const QByteArray value = r ? QByteArray(static_cast<const char *>(xcb_get_property_value(r)),
                                                xcb_get_property_value_length(r))
                                   : QByteArray();
        free(r);
        return value;
    }
    xcb_connection_t *c;
};

} // namespace

XServer::XServer()
{
    // Xvfb takes a free display itself and writes its number to the descriptor once it takes
    // connections: tests that start servers at the same moment never end up on one server,
    // which a number picked here by looking for lock files allowed.
    m_server.setReadChannel(QProcess::StandardOutput);
    m_server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!m_server.waitForStarted())
        return;
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.endsWith('\n') && m_server.state() == QProcess::Running
           && clock.elapsed() < testutil::timeoutMs(30000)) {
        m_server.waitForReadyRead(100);
        number += m_server.readAllStandardOutput();
    }
    bool ok = false;
    number.trimmed().toUInt(&ok);
    if (!ok)
        return;
    // Named, it may not take connections yet: servers starting at the same moment may still
    // be trying that number (without a lock file, as with -displayfd), and refuse a client
    // there until they move on.
    const QString display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    while (m_server.state() == QProcess::Running && clock.elapsed() < testutil::timeoutMs(30000)) {
        if (Connection(display).ok()) {
            m_display = display;
            return;
        }
        QTest::qWait(20);
    }
}

XServer::~XServer()
{
    m_windowManager.terminate();
    m_windowManager.waitForFinished(5000);
    m_server.terminate();
    m_server.waitForFinished(5000);
}

bool XServer::startWindowManager()
{
    if (m_display.isEmpty())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    m_windowManager.setProcessEnvironment(env);
    m_windowManager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A window manager names its check window on the root once it runs. One that could not
    // reach the display (another server still trying the same number) is started again.
    QElapsedTimer clock;
    clock.start();
    for (int started = 0; clock.elapsed() < testutil::timeoutMs(30000);) {
        if (m_windowManager.state() == QProcess::NotRunning) {
            if (++started > 5)
                return false;
            m_windowManager.start("openbox", QStringList());
            if (!m_windowManager.waitForStarted())
                return false;
        }
        Connection x(m_display);
        if (x.ok() && !x.property(x.root(), x.atom("_NET_SUPPORTING_WM_CHECK")).isEmpty())
            return true;
        QTest::qWait(50);
    }
    return false;
}

int XServer::closeWindows(const QByteArray &title) const
{
    Connection x(m_display);
    if (!x.ok())
        return 0;
    const xcb_atom_t protocols = x.atom("WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = x.atom("WM_DELETE_WINDOW");
    auto childrenOf = [&x](xcb_window_t parent) {
        std::vector<xcb_window_t> list;
        xcb_query_tree_reply_t *tree = xcb_query_tree_reply(x.c, xcb_query_tree(x.c, parent), nullptr);
        const xcb_window_t *children = tree ? xcb_query_tree_children(tree) : nullptr;
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree); ++i)
            list.push_back(children[i]);
        free(tree);
        return list;
    };
    // Without a window manager the windows are the root's children; with one, each sits in a
    // frame the manager made, one level further down.
    std::vector<xcb_window_t> windows;
    for (const xcb_window_t top : childrenOf(x.root())) {
        windows.push_back(top);
        for (const xcb_window_t framed : childrenOf(top))
            windows.push_back(framed);
    }
    int asked = 0;
    for (const xcb_window_t w : windows) {
        xcb_get_window_attributes_reply_t *attrs = xcb_get_window_attributes_reply(x.c, xcb_get_window_attributes(x.c, w), nullptr);
        const bool shown = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attrs);
        if (!shown || x.property(w, XCB_ATOM_WM_NAME) != title)
            continue;
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = w;
        event.type = protocols;
        event.data.data32[0] = deleteWindow;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(x.c, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
        ++asked;
    }
    xcb_flush(x.c);
    return asked;
}

QByteArray XServer::focusedTitle() const
{
    Connection x(m_display);
    if (!x.ok())
        return QByteArray();
    xcb_get_input_focus_reply_t *focus = xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr);
    const xcb_window_t window = focus ? focus->focus : XCB_NONE;
    free(focus);
    if (window == XCB_NONE || window == XCB_INPUT_FOCUS_POINTER_ROOT)
        return QByteArray();
    return x.property(window, XCB_ATOM_WM_NAME);
}

bool XServer::key(quint32 keysym, quint16 modifiers) const
{
    Connection x(m_display);
    if (!x.ok())
        return false;
    const xcb_setup_t *setup = xcb_get_setup(x.c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *mapping =
        xcb_get_keyboard_mapping_reply(x.c, xcb_get_keyboard_mapping(x.c, setup->min_keycode, uint8_t(count)), nullptr);
    if (!mapping)
        return false;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping);
    const int perCode = mapping->keysyms_per_keycode;
    int code = 0;
    bool shifted = false;
    for (int k = 0; k < count && !code; ++k) {
        for (int level = 0; level < qMin(perCode, 2); ++level) {
            if (syms[k * perCode + level] == keysym) {
                code = setup->min_keycode + k;
                shifted = level == 1;
                break;
            }
        }
    }
    free(mapping);
    xcb_get_input_focus_reply_t *focus = xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr);
    const xcb_window_t window = focus ? focus->focus : XCB_NONE;
    free(focus);
    if (!code || window == XCB_NONE || window == XCB_INPUT_FOCUS_POINTER_ROOT)
        return false;
    for (const uint8_t type : {uint8_t(XCB_KEY_PRESS), uint8_t(XCB_KEY_RELEASE)}) {
        xcb_key_press_event_t event = {};
        event.response_type = type;
        event.detail = xcb_keycode_t(code);
        event.time = XCB_CURRENT_TIME;
        event.root = x.root();
        event.event = window;
        event.state = uint16_t(modifiers | (shifted ? xkeys::Shift : 0));
        event.same_screen = 1;
        xcb_send_event(x.c, 1, window, type == XCB_KEY_PRESS ? XCB_EVENT_MASK_KEY_PRESS : XCB_EVENT_MASK_KEY_RELEASE,
                       reinterpret_cast<const char *>(&event));
    }
    // Handled by the server before the next key, which may come on another connection.
    free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
    return true;
}

bool XServer::type(const QByteArray &text) const
{
    for (const char ch : text) {
        if (!key(quint8(ch)))
            return false;
    }
    return true;
}

bool XServer::click(const QPoint &at) const
{
    Connection x(m_display);
    if (!x.ok())
        return false;
    // Through the server's test extension: the pointer moves there and the button goes down
    // and up as a mouse's does, and the server gives the click to whatever window is there.
    xcb_test_fake_input(x.c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x.root(), int16_t(at.x()), int16_t(at.y()), 0);
    xcb_test_fake_input(x.c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(x.c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    // Handled by the server before the test goes on.
    free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
    return true;
}

namespace {

const char *const kOnXvfb = "NUSK_TEST_ON_XVFB";

// Starts the X server and the window manager, and runs the test binary again on them.
class RunOnXvfb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onXvfb()
    {
        XServer x;
        if (x.display().isEmpty())
            QSKIP("no Xvfb");
        QVERIFY(x.startWindowManager());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kOnXvfb), QStringLiteral("1"));
        env.insert(QStringLiteral("DISPLAY"), x.display());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess run;
        run.setProcessEnvironment(env);
        run.setProcessChannelMode(QProcess::ForwardedChannels);
        run.start(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1));
        QVERIFY(run.waitForStarted());
        QVERIFY(run.waitForFinished(-1));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), 0);
    }
};

} // namespace

int runOnXvfb(int argc, char **argv, const std::function<int(int &argc, char **argv)> &test)
{
    if (qEnvironmentVariableIsSet(kOnXvfb))
        return test(argc, argv);
    QCoreApplication app(argc, argv);
    RunOnXvfb run;
    return QTest::qExec(&run, QStringList{QCoreApplication::applicationFilePath()});
}

#include "testutil_xserver.moc"
