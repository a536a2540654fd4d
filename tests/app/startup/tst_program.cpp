// The real program: configuration directory, clean exit on signals and the update hand-over.

#include "testutil_program.h"
#include "testutil_xserver.h"

#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// QProcess::waitForFinished() says false for a program that already ended, which a quick
// program does while the test still looks at its output.
bool ended(QProcess& p, int ms)
{
    return p.state() == QProcess::NotRunning || p.waitForFinished(ms);
}

bool copyProgram(const QString& to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    return QFile::copy(programPath(), to)
        && QFile::setPermissions(to, QFile::permissions(to) | QFileDevice::ExeOwner);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// Live (not zombie) processes whose command line holds `arg`. The program started by an
// update hand-over is no child of ours; its unique --config-dir finds it.
QList<qint64> processesWithArgument(const QString& arg)
{
    QList<qint64> pids;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (!ok)
            continue;
        const QList<QByteArray> args = readFile("/proc/" + e + "/cmdline").split('\0');
        if (!args.contains(arg.toLocal8Bit()))
            continue;
        const QByteArray stat = readFile("/proc/" + e + "/stat");
        const int close = stat.lastIndexOf(')');
        if (close > 0 && stat.mid(close + 2, 1) == "Z")
            continue;
        pids << pid;
    }
    return pids;
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(programPath()).isExecutable(), qPrintable(programPath()));
    }

    void startAndSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    // A normal start from an install directory: the configuration directory and config.ini
    // appear (logging flags read and kept), leftovers of an update go, update.zip stays;
    // the signal ends the program with code 0 at once.
    void startAndSignal()
    {
        QFETCH(int, signalNumber);
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString inst = tmp.path() + "/inst";
        const QString cfg = tmp.path() + "/config/nested";
        QVERIFY(copyProgram(inst + "/nusk"));
        QVERIFY(writeFile(inst + "/update/nusk", "half an update"));
        QVERIFY(writeFile(inst + "/rollback/nusk", "old"));
        QVERIFY(writeFile(inst + "/update.zip", "zip"));
        QVERIFY(writeFile(cfg + "/config.ini", "[Logger]\nNFO1=true\nERR1=false\n"));

        QProcess p;
        p.setProcessEnvironment(headless());
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(inst + "/nusk", {"--config-dir=" + cfg});
        QVERIFY(p.waitForStarted());

        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(inst + "/update") && !QFileInfo::exists(inst + "/rollback"), 20000);
        QCOMPARE(readFile(inst + "/update.zip"), QByteArray("zip"));
        QCOMPARE(p.state(), QProcess::Running);

        ::kill(pid_t(p.processId()), signalNumber);
        QVERIFY(ended(p, 10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        QSettings s(cfg + "/config.ini", QSettings::IniFormat);
        s.beginGroup("Logger");
        QCOMPARE(s.childKeys().size(), 21);
        QCOMPARE(s.value("NFO1").toBool(), true);
        QCOMPARE(s.value("ERR1").toBool(), false);
        QCOMPARE(s.value("DBG1").toBool(), false);
        s.endGroup();
        // The window's layout is kept even though it was never closed.
        QVERIFY(s.contains("geometry") && s.contains("rhs"));
    }

    void freshConfigDirectory()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/a/b/c";
        QProcess p;
        p.setProcessEnvironment(headless());
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(programPath(), {"--config-dir=" + cfg, "--renderer=software"});
        QVERIFY(p.waitForStarted());
        // The file is made (private) before the settings are written into it.
        QTRY_VERIFY_WITH_TIMEOUT(QSettings(cfg + "/config.ini", QSettings::IniFormat).contains("Logger/ERR1"), 20000);
        QSettings s(cfg + "/config.ini", QSettings::IniFormat);
        QCOMPARE(s.value("Logger/ERR1").toBool(), true); // errors on by default
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(ended(p, 10000));
        QCOMPARE(p.exitCode(), 0);
    }

    // A start and an end in which nothing goes wrong leave the terminal quiet: no debug or
    // info lines, only warnings (the headless platform's own) may be there.
    void quietWhenNothingIsWrong()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        const QString runtime = tmp.path() + "/runtime";
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment env = headless();
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("QT_MESSAGE_PATTERN", "%{type}: %{message}");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(programPath(), {"--config-dir=" + cfg, "--renderer=software"});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QSettings(cfg + "/config.ini", QSettings::IniFormat).contains("Logger/ERR1"), 20000);
        // The window stands once the network side has started and the panes are restored.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(cfg + "/nusk.db-wal"), 20000);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(ended(p, 10000));
        QCOMPARE(p.exitCode(), 0);
        // The window was there: its layout is kept.
        QVERIFY(QSettings(cfg + "/config.ini", QSettings::IniFormat).contains("geometry"));
        const QList<QByteArray> lines = p.readAllStandardError().split('\n');
        for (const QByteArray& line : lines)
            QVERIFY2(!line.startsWith("debug:") && !line.startsWith("info:"), line.constData());
    }

    // The configuration holds the secret key: after a first start and after an upgrade
    // from files an older version left readable, the folder is 0700 and every file in it
    // (database, journals, settings, anything below) 0600.
    void privateConfiguration_data()
    {
        QTest::addColumn<int>("umask");
        QTest::newRow("umask 022") << 022;
        QTest::newRow("umask 000") << 0;
    }

    void privateConfiguration()
    {
        QFETCH(int, umask);
        const mode_t oldMask = ::umask(mode_t(umask));   // the program inherits it
        auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        auto runOnce = [&] {
            QProcess p;
            p.setProcessEnvironment(headless());
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.start(programPath(), {"--config-dir=" + cfg});
            QVERIFY(p.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(cfg + "/nusk.db-wal"), 20000);
            ::kill(pid_t(p.processId()), SIGTERM);
            QVERIFY(ended(p, 5000));
        };
        auto modeOf = [&](const QString &name) {
            struct stat st;
            return ::lstat(QFile::encodeName(cfg + "/" + name).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
        };

        runOnce();
        QCOMPARE(modeOf(""), 0700);
        QCOMPARE(modeOf("nusk.db"), 0600);
        QCOMPARE(modeOf("config.ini"), 0600);
        QCOMPARE(modeOf("nusk.lock"), -1);   // gone with the program

        // What an older version left behind.
        QVERIFY(writeFile(cfg + "/tor/data/private_key", "secret"));
        for (const char *name : {"", "tor", "tor/data"})
            QCOMPARE(::chmod(QFile::encodeName(cfg + "/" + name).constData(), 0755), 0);
        for (const char *name : {"nusk.db", "config.ini", "tor/data/private_key"})
            QCOMPARE(::chmod(QFile::encodeName(cfg + "/" + name).constData(), 0644), 0);
        runOnce();
        for (const char *name : {"", "tor", "tor/data"})
            QCOMPARE(modeOf(name), 0700);
        for (const char *name : {"nusk.db", "nusk.db-wal", "nusk.db-shm", "config.ini", "tor/data/private_key"}) {
            if (modeOf(name) != -1)
                QVERIFY2(modeOf(name) == 0600, name);
        }
    }

    // A second program on the same configuration directory says which process holds it
    // and ends; once that process is killed, the next start takes the directory over.
    void oneProgramPerDirectory()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        QProcess first;
        first.setProcessEnvironment(headless());
        first.start(programPath(), {"--config-dir=" + cfg});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(cfg + "/nusk.db-wal"), 20000);

        // The second start did not happen, and says so in its exit code; the first one
        // answered that its window came to the front.
        QProcess second;
        second.setProcessEnvironment(headless());
        second.start(programPath(), {"--config-dir=" + cfg});
        QVERIFY(ended(second, 10000));
        QCOMPARE(second.exitCode(), 3);
        const QByteArray err = second.readAllStandardError();
        QVERIFY2(err.contains("process " + QByteArray::number(first.processId())), "the holder is named");
        QVERIFY2(err.contains("brought to the front"), err.constData());
        QCOMPARE(first.state(), QProcess::Running);

        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(ended(first, 5000));
        QProcess third;
        third.setProcessEnvironment(headless());
        third.start(programPath(), {"--config-dir=" + cfg});
        QVERIFY(third.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(third.state(), QProcess::Running);
        ::kill(pid_t(third.processId()), SIGTERM);
        QVERIFY(ended(third, 5000));
        QCOMPARE(third.exitCode(), 0);
    }

    // The identity is made on a first start only. A deleted, damaged or emptied database,
    // or one changed bit in the stored key, stops the program with a message and exit code
    // 2; a damaged file is copied aside; no second key is ever stored.
    void identityNeverSilentlyReplaced_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("deleted") << "deleted";
        QTest::newRow("garbage") << "garbage";
        QTest::newRow("emptied") << "emptied";
        QTest::newRow("flipped bit") << "flipped";
    }

    void identityNeverSilentlyReplaced()
    {
        QFETCH(QString, damage);
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        const QString db = cfg + "/nusk.db";
        auto run = [&](QProcess &p) {
            p.setProcessEnvironment(headless());
            p.start(programPath(), {"--config-dir=" + cfg});
            return p.waitForStarted();
        };
        {
            QProcess p;
            QVERIFY(run(p));
            QTRY_VERIFY_WITH_TIMEOUT(QSettings(cfg + "/config.ini", QSettings::IniFormat).contains("identity/publicKey"), 20000);
            ::kill(pid_t(p.processId()), SIGTERM);
            QVERIFY(ended(p, 5000));
        }
        if (damage == "deleted") {
            QVERIFY(QFile::remove(db));
            QFile::remove(db + "-wal");
            QFile::remove(db + "-shm");
        } else if (damage == "garbage") {
            QVERIFY(writeFile(db, QByteArray(8192, 'x')));
        } else if (damage == "emptied") {
            QVERIFY(writeFile(db, QByteArray()));
            QFile::remove(db + "-wal");
            QFile::remove(db + "-shm");
        } else {
            QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "raw");
            raw.setDatabaseName(db);
            QVERIFY(raw.open());
            QSqlQuery q(raw);
            QVERIFY(q.exec("SELECT public_key FROM keys"));
            QVERIFY(q.next());
            QByteArray key = q.value(0).toByteArray();
            key[0] = char(key[0] ^ 0x01);
            QSqlQuery u(raw);
            u.prepare("UPDATE keys SET public_key = :k");
            u.bindValue(":k", key);
            QVERIFY(u.exec());
            raw.close();
            raw = QSqlDatabase();
            QSqlDatabase::removeDatabase("raw");
        }
        QProcess p;
        QVERIFY(run(p));
        QVERIFY(ended(p, 10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(!p.readAllStandardError().isEmpty());
        if (damage != "deleted")
            QVERIFY(!QDir(cfg).entryList({"nusk.db.damaged-*"}).isEmpty());
        if (damage == "flipped") {
            QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "count");
            raw.setDatabaseName(db);
            QVERIFY(raw.open());
            QSqlQuery q(raw);
            QVERIFY(q.exec("SELECT count(*) FROM keys"));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), 1);
            raw.close();
            raw = QSqlDatabase();
            QSqlDatabase::removeDatabase("count");
        }
    }

    // A folder the user cannot write is named as such, with the code of an unusable
    // configuration, not taken for a program that already runs.
    void unwritableConfigDirectory()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        QVERIFY(QDir().mkpath(cfg));
        QVERIFY(QFile::setPermissions(cfg, QFile::ReadOwner | QFile::ExeOwner));
        QStringList command{programPath()};
        // Root writes anywhere; without that right it is held to the folder's mode.
        if (::geteuid() == 0) {
            const QString setpriv = QStandardPaths::findExecutable("setpriv");
            if (setpriv.isEmpty())
                QSKIP("setpriv is needed to start the program without root's rights on folders");
            command = QStringList{setpriv, "--bounding-set=-dac_override,-dac_read_search", "--"} + command;
        }
        QProcess p;
        p.setProcessEnvironment(headless());
        p.start(command.first(), command.mid(1) + QStringList{"--config-dir=" + cfg});
        QVERIFY(ended(p, 20000));
        QCOMPARE(p.exitCode(), 2);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("cannot be written") && !err.contains("already running"), err.constData());
    }

    // The program an update hands over to waits while the one it takes over from still
    // holds the configuration, then takes it; a start that is no hand-over does not wait.
    void handOverWaitsForTheOldProgram()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        QVERIFY(QDir().mkpath(cfg));
        QLockFile old(cfg + "/nusk.lock");   // this test plays the program that is ending
        QVERIFY(old.tryLock(0));

        QProcess plain;
        plain.setProcessEnvironment(headless());
        plain.start(programPath(), {"--config-dir=" + cfg});
        QVERIFY(ended(plain, 10000));
        QCOMPARE(plain.exitCode(), 3);

        QProcessEnvironment env = headless();
        env.insert("NUSK_HANDING_OVER_PID", QString::number(QCoreApplication::applicationPid()));
        QProcess next;
        next.setProcessEnvironment(env);
        next.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        next.start(programPath(), {"--config-dir=" + cfg});
        QVERIFY(next.waitForStarted());
        QVERIFY2(!next.waitForFinished(2000), "the new program waits for the old one");
        old.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(cfg + "/nusk.db-wal"), 20000);
        qint64 holder = 0;
        QString host, app;
        QTRY_VERIFY_WITH_TIMEOUT(QLockFile(cfg + "/nusk.lock").getLockInfo(&holder, &host, &app)
                                     && holder == next.processId(), 20000);
        ::kill(pid_t(next.processId()), SIGTERM);
        QVERIFY(ended(next, 5000));
        QCOMPARE(next.exitCode(), 0);
    }

    // Asked as a new user would, without any display: --help lists the options, --version
    // prints the version, a malformed option is named; a plain start says in one line that
    // there is no display and fails, instead of aborting in the platform plug-in.
    void optionsWithoutDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        auto run = [&](const QStringList &args, QByteArray *out, QByteArray *err) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(programPath(), args);
            if (!p.waitForFinished(20000))
                return -1;
            *out = p.readAllStandardOutput();
            *err = p.readAllStandardError();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        };
        QTemporaryDir tmp;
        const QString cfg = "--config-dir=" + tmp.path();
        QByteArray out, err;
        QCOMPARE(run({"--help"}, &out, &err), 0);
        QVERIFY(out.contains("--config-dir") && out.contains("--com-listen-port") && out.contains("--version"));
        QCOMPARE(run({"--version"}, &out, &err), 0);
        QCOMPARE(out.trimmed(), QByteArray("nusk 0.5.18"));
        QCOMPARE(run({"--com-listen-port=abc", cfg}, &out, &err), 2);
        QVERIFY(err.contains("--com-listen-port"));
        const int rc = run({cfg}, &out, &err);
        QVERIFY(rc > 0);
        QCOMPARE(err.trimmed().count('\n'), 0);
        QVERIFY(err.contains("display"));
        QVERIFY(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    // The copy in "update" installs itself, keeps the replaced files until the installed
    // program starts, and that program then clears "update" and "rollback".
    void updateHandOver()
    {
        QTemporaryDir tmp;
        const QString inst = tmp.path() + "/inst";
        const QString cfg = tmp.path() + "/cfg";
        QVERIFY(copyProgram(inst + "/nusk"));
        QVERIFY(copyProgram(inst + "/update/nusk"));
        QVERIFY(writeFile(inst + "/data.txt", "old data"));
        QVERIFY(writeFile(inst + "/update/data.txt", "new data"));
        QVERIFY(writeFile(inst + "/update/themes/Light.qml", "new theme"));
        QVERIFY(writeFile(inst + "/update.zip", "zip"));

        const QString cfgArg = "--config-dir=" + cfg;
        QProcess p;
        p.setProcessEnvironment(headless());
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(inst + "/update/nusk", {cfgArg});
        QVERIFY(ended(p, 20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        QCOMPARE(readFile(inst + "/data.txt"), QByteArray("new data"));
        QCOMPARE(readFile(inst + "/themes/Light.qml"), QByteArray("new theme"));
        QCOMPARE(readFile(inst + "/update.zip"), QByteArray("zip"));

        // The installed program was started with the same arguments.
        QList<qint64> pids;
        QTRY_VERIFY_WITH_TIMEOUT(!(pids = processesWithArgument(cfgArg)).isEmpty(), 20000);
        QCOMPARE(pids.size(), 1);
        QCOMPARE(QFileInfo("/proc/" + QString::number(pids[0]) + "/exe").symLinkTarget(),
                 QFileInfo(inst + "/nusk").canonicalFilePath());
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(inst + "/update") && !QFileInfo::exists(inst + "/rollback"), 20000);
        QCOMPARE(readFile(inst + "/update.zip"), QByteArray("zip"));

        QCOMPARE(::kill(pid_t(pids[0]), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processesWithArgument(cfgArg).isEmpty(), 20000);
    }

    void tabsComeBackAfterEveryCleanEnd_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("SIGTERM") << "SIGTERM";
        QTest::newRow("quit") << "quit";
        QTest::newRow("window manager closes the window") << "close";
    }

    // Two tabs of the left pane, each with its folder and view mode, come back after the
    // program ended however it ends cleanly: each run restores them and saves them again.
    void tabsComeBackAfterEveryCleanEnd()
    {
        QFETCH(QString, end);
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        const QString preview = tmp.path() + "/preview", homeA = tmp.path() + "/homeA";
        QVERIFY(QDir().mkpath(preview) && QDir().mkpath(homeA));
        {
            QSettings s(cfg + "/config.ini", QSettings::IniFormat);
            const QString paths[] = {preview, homeA};
            for (int i = 0; i < 2; ++i) {
                const QString uuid = QStringLiteral("{5e1f0000-0000-4000-8000-00000000000%1}").arg(i);
                s.beginGroup(QStringLiteral("Filer_%1").arg(qHash(uuid, 0)));
                s.setValue("uuid", uuid);
                s.setValue("peeruuid", "{00000000-0000-0000-0000-000000000000}");
                s.setValue("path", paths[i]);
                s.setValue("viewmode", i + 1);
                s.setValue("paneindex", 0);
                s.setValue("tab", true);
                s.setValue("tabindex", i);
                s.endGroup();
            }
            s.setValue("FilerPane_0/tabindex", 1);
        }
        std::unique_ptr<XServer> x;
        QProcessEnvironment env = headless();
        if (end == "close") {
            x.reset(new XServer);
            if (x->display().isEmpty())
                QSKIP("no Xvfb");
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", x->display());
        }
        env.insert("NUSK_STARTUP_PROBE", end == "quit" ? "1" : "report");

        for (int run = 0; run < 2; ++run) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.start(programPath(), {"--config-dir=" + cfg, "--renderer=software"});
            QVERIFY(p.waitForStarted());
            QByteArray out;
            QTRY_VERIFY2_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains("first painted window")
                                      || p.state() != QProcess::Running, out.constData(), testutil::timeoutMs(30000));
            if (end != "quit")
                QVERIFY2(p.state() == QProcess::Running, out.constData());
            if (end == "SIGTERM")
                ::kill(pid_t(p.processId()), SIGTERM);
            else if (end == "close")
                QTRY_COMPARE_WITH_TIMEOUT(x->closeWindows("nusk"), 1, testutil::timeoutMs(30000));
            QVERIFY(ended(p, 20000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);

            QSettings s(cfg + "/config.ini", QSettings::IniFormat);
            QMap<QString, int> modes;
            for (const QString& group : s.childGroups()) {
                if (!group.startsWith("Filer_"))
                    continue;
                s.beginGroup(group);
                if (s.value("paneindex").toInt() == 0) {
                    QCOMPARE(s.value("peeruuid").toString(), QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
                    modes.insert(s.value("path").toString(), s.value("viewmode").toInt());
                }
                s.endGroup();
            }
            QVERIFY2(modes == (QMap<QString, int>{{preview, 1}, {homeA, 2}}), qPrintable(readFile(cfg + "/config.ini")));
            QCOMPARE(s.value("FilerPane_0/tabindex").toInt(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
