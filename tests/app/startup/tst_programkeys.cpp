// The real program under the window manager the screen scenes use, driven by keys sent to
// whichever window has the focus: a dialog opened from the menu by keyboard takes the keys
// at once, each time it opens, without a click into it first.

#include "testutil_ports.h"
#include "testutil_program.h"
#include "testutil_xserver.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

bool listening(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(1000);
}

// The codes the program keeps for invitations announced on the local network.
QStringList storedCodes(const QString &configDir)
{
    const QString name = QUuid::createUuid().toString();
    QStringList codes;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(configDir + "/nusk.db");
        db.setConnectOptions("QSQLITE_OPEN_READONLY");
        if (db.open()) {
            QSqlQuery q(db);
            q.exec("SELECT value FROM peer_attributes WHERE name = 'invpw'");
            while (q.next())
                codes << q.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return codes;
}

// "Remote", then its second entry, "Add by invitation...", by keyboard. The entry is off
// until the network side has started; false while the dialog did not open.
bool openAcceptDialog(const XServer &x)
{
    if (x.focusedTitle() == "Accept invitation")
        return true;
    // A person's keys come apart; the menu opens in between.
    for (const quint32 key : {quint32('r'), xkeys::Down, xkeys::Return}) {
        x.key(key, key == 'r' ? xkeys::Alt : 0);
        QTest::qWait(100);
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000) {
        if (x.focusedTitle() == "Accept invitation")
            return true;
        QTest::qWait(50);
    }
    x.key(xkeys::Escape);
    return false;
}

// Enter in the dialog until it keeps `code`. The dialog judges the code a moment after its
// last key, as a person's pause gives it; an Enter before that is no accept yet, and changes
// nothing.
bool acceptByEnter(const XServer &x, const QString &configDir, const QByteArray &code)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < testutil::timeoutMs(20000)) {
        if (storedCodes(configDir).contains(QString::fromLatin1(code)))
            return true;
        if (x.focusedTitle() == "Accept invitation")
            x.key(xkeys::Return);
        QTest::qWait(300);
    }
    return storedCodes(configDir).contains(QString::fromLatin1(code));
}

} // namespace

class TestProgramKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Opened twice: each opening is a new dialog. Tab goes from the link to the code, the
    // code is typed, Enter accepts it, and the program keeps it.
    void acceptDialogTakesTheKeyboard()
    {
        XServer x;
        if (x.display().isEmpty())
            QSKIP("no Xvfb");
        QVERIFY(x.startWindowManager());
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/cfg";
        QVERIFY(QDir().mkpath(cfg) && QDir().mkpath(tmp.path() + "/home"));
        {
            QFile ini(cfg + "/config.ini");
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[General]\nnetwork\\enabled=true\nupdate\\checkinterval=0\n");
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", x.display());
        env.insert("HOME", tmp.path() + "/home");
        env.insert("LANG", "en_US.UTF-8");
        env.insert("LANGUAGE", "en");
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const quint16 port = testutil::portKeptForLater();
        program.start(programPath(), {"--config-dir=" + cfg, "--renderer=software",
                                      "--com-listen-port=" + QString::number(port)});
        QVERIFY(program.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(x.focusedTitle(), QByteArray("nusk"), 30000);
        // The network side takes the dialog's entry out of "offline" once it listens.
        QTRY_VERIFY_WITH_TIMEOUT(listening(port), 30000);

        for (const QByteArray &code : {QByteArray("0badc0de"), QByteArray("c0ffee42")}) {
            QTRY_VERIFY2_WITH_TIMEOUT(openAcceptDialog(x), x.focusedTitle().constData(), 30000);
            QVERIFY(x.key(xkeys::Tab));
            QVERIFY(x.type(code));
            QVERIFY2(acceptByEnter(x, cfg, code), qPrintable(storedCodes(cfg).join(' ')));
            // Closed, and the window has the keys again.
            QTRY_COMPARE_WITH_TIMEOUT(x.focusedTitle(), QByteArray("nusk"), 10000);
        }

        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProgramKeys)
#include "tst_programkeys.moc"
