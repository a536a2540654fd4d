#pragma once

// A FUSE file system a test mounts in a folder of its own and unmounts when it is done:
// bindfs over a folder, or a program of the tests. The program runs in the foreground as a
// child of the test, and what it writes (bindfs -d: each request it handles) is kept for the
// test to read.

#include <QByteArray>
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

#include <sys/vfs.h>

namespace testutil {

class FuseMount
{
public:
    static constexpr unsigned long kFuseType = 0x65735546;

    // Whether this machine can mount FUSE file systems at all.
    static bool available() { return QFileInfo::exists(QStringLiteral("/dev/fuse")); }

    // Whether `path` lies on a FUSE file system.
    static bool isFuse(const QString &path)
    {
        struct statfs fs;
        return ::statfs(QFile::encodeName(path).constData(), &fs) == 0 && (unsigned long)fs.f_type == kFuseType;
    }

    ~FuseMount() { unmount(); }

    // Runs `program` with `arguments` (which name `mountPoint`, and keep it in the foreground)
    // and waits until `mountPoint` is a FUSE mount; false, with the program stopped, when it
    // did not come up.
    bool mount(const QString &program, const QStringList &arguments, const QString &mountPoint, int ms = 20000)
    {
        m_mountPoint = mountPoint;
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(ms))
            return false;
        if (!QTest::qWaitFor([&] { return isFuse(mountPoint) || m_process.state() != QProcess::Running; }, ms)
            || !isFuse(mountPoint)) {
            qWarning("%s did not mount: %s", qPrintable(program), m_process.readAll().constData());
            unmount();
            return false;
        }
        m_mounted = true;
        return true;
    }

    // Unmounts (lazily: an open file does not keep the mount) and waits for the program.
    void unmount()
    {
        // A test may have unmounted it itself.
        if (m_mounted && isFuse(m_mountPoint))
            QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), m_mountPoint});
        m_mounted = false;
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Everything the program wrote so far.
    QByteArray output()
    {
        QCoreApplication::processEvents();
        m_output += m_process.readAll();
        return m_output;
    }

    // Waits until the program wrote `text`.
    bool waitForOutput(const QByteArray &text, int ms = 20000)
    {
        return QTest::qWaitFor([&] { return output().contains(text); }, ms);
    }

private:
    QProcess m_process;
    QString m_mountPoint;
    QByteArray m_output;
    bool m_mounted = false;
};

} // namespace testutil
