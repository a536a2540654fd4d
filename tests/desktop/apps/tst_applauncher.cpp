#include "db/sqlitedatabase.h"
#include "desktop/apps/applauncher.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

// The catalogue read from a temporary XDG tree of real desktop entries and a mimeapps.list,
// and the programs it starts (shell scripts that write their arguments to a file).
class TstAppLauncher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::unique_ptr<SqliteDatabase> m_db;
    QString m_bin;
    QString m_out;

    QString path(const QString& rel) const { return m_tmp.filePath(rel); }

    void write(const QString& rel, const QByteArray& text, bool executable = false)
    {
        const QString p = path(rel);
        QDir().mkpath(QFileInfo(p).absolutePath());
        QFile f(p);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        if (executable)
            f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    }

    // A program that records its arguments in <out>/<name>.<pid>, one per line.
    void program(const QString& rel, const QByteArray& delay = "0")
    {
        write(rel, "#!/bin/sh\nsleep " + delay + "\nprintf '%s\\n' \"$@\" > \"" + m_out.toUtf8() + "/$(basename \"$0\").$$\"\n", true);
    }

    QStringList runs(const QString& name) const
    {
        QStringList out;
        for (const QString& f : QDir(m_out).entryList({name + QStringLiteral(".*")}, QDir::Files, QDir::Name)) {
            QFile file(QDir(m_out).filePath(f));
            file.open(QIODevice::ReadOnly);
            out << QString::fromUtf8(file.readAll()).trimmed().replace(QLatin1Char('\n'), QLatin1Char('|'));
        }
        out.sort();
        return out;
    }

    int appId(const QString& name) const
    {
        QSqlQuery q;
        q.prepare(QStringLiteral("SELECT id FROM apps WHERE name = :n"));
        q.bindValue(QStringLiteral(":n"), name);
        return q.exec() && q.next() ? q.value(0).toInt() : 0;
    }

    QStringList typesOf(const QString& name) const
    {
        QSqlQuery q;
        q.prepare(QStringLiteral("SELECT f.type FROM apps a, filetypes f, app_filetypes af WHERE a.id = af.app_id"
                                 " AND f.id = af.type_id AND a.name = :n ORDER BY f.type"));
        q.bindValue(QStringLiteral(":n"), name);
        q.exec();
        QStringList out;
        while (q.next())
            out << q.value(0).toString();
        return out;
    }

    QStringList rowNames(AppLauncher& l) const
    {
        QStringList out;
        for (int r = 0; r < l.rowCount(); ++r)
            out << l.data(l.index(r, 0), AppLauncher::NameRole).toString();
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_bin = path(QStringLiteral("bin"));
        m_out = path(QStringLiteral("out"));
        QDir().mkpath(m_bin);
        QDir().mkpath(m_out);
        qputenv("XDG_DATA_HOME", path(QStringLiteral("home/share")).toUtf8());
        qputenv("XDG_DATA_DIRS", path(QStringLiteral("sys/share")).toUtf8());
        qputenv("XDG_CONFIG_HOME", path(QStringLiteral("home/config")).toUtf8());
        qputenv("XDG_CONFIG_DIRS", path(QStringLiteral("sys/config")).toUtf8());
        qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
        qputenv("LC_ALL", "de_DE.UTF-8");
        qputenv("PATH", m_bin.toUtf8() + ":/usr/bin:/bin");
        // The MIME database is found through the data folders too.
        QDir().mkpath(path(QStringLiteral("sys/share")));
        QVERIFY(QFile::link(QStringLiteral("/usr/share/mime"), path(QStringLiteral("sys/share/mime"))));

        program(QStringLiteral("my tools/editor"), "1");
        program(QStringLiteral("bin/viewer"));
        program(QStringLiteral("bin/xdg-open"));
        program(QStringLiteral("bin/vim"));

        const QByteArray sysApps = "sys/share/applications/";
        const QByteArray homeApps = "home/share/applications/";
        write(sysApps + "editor.desktop",
              "[Desktop Entry]\nType=Application\nName=Editor\nName[de]=Bearbeiter\nIcon=accessories-text-editor\n"
              "Exec=\"" + path(QStringLiteral("my tools/editor")).toUtf8() + "\" --mode=view %F\n"
              "MimeType=text/plain;\n[Desktop Action new]\nName=Other\nExec=other\n");
        write(sysApps + "viewer.desktop",
              "# a viewer\n[Desktop Entry]\nType=Application\nName=Viewer\nExec=viewer -n %f\nMimeType=text/plain;image/png;\n");
        write(sysApps + "hidden.desktop", "[Desktop Entry]\nType=Application\nName=Hidden\nExec=viewer\nHidden=true\nMimeType=text/plain;\n");
        write(sysApps + "nodisplay.desktop", "[Desktop Entry]\nType=Application\nName=Helper\nExec=viewer --helper %f\nNoDisplay=true\nMimeType=text/plain;\n");
        write(sysApps + "tryexec.desktop", "[Desktop Entry]\nType=Application\nName=Absent\nTryExec=/nonexistent/tool\nExec=tool %f\nMimeType=text/plain;\n");
        write(sysApps + "kde.desktop", "[Desktop Entry]\nType=Application\nName=KdeOnly\nOnlyShowIn=KDE;\nExec=viewer --kde %f\nMimeType=text/plain;\n");
        write(sysApps + "term.desktop", "[Desktop Entry]\nType=Application\nName=Term\nTerminal=true\nExec=viewer --term %f\nMimeType=text/plain;\n");
        write(sysApps + "masked.desktop", "[Desktop Entry]\nType=Application\nName=Masked\nExec=viewer --masked %f\nMimeType=text/plain;\n");
        write(homeApps + "masked.desktop", "[Desktop Entry]\nType=Application\nName=Masked\nHidden=true\n");
        write(sysApps + "sub/nested.desktop", "[Desktop Entry]\nType=Application\nName=Nested\nExec=viewer --nested %u\n");
        write("home/config/mimeapps.list",
              "[Default Applications]\ntext/x-csrc=nodisplay.desktop\n"
              "[Removed Associations]\nimage/png=viewer.desktop;\n");
        write("sys/share/applications/mimeapps.list", "[Added Associations]\ntext/x-csrc=sub-nested.desktop;\nimage/png=viewer.desktop;\n");

        m_db.reset(new SqliteDatabase(path(QStringLiteral("db"))));
        QVERIFY(m_db->isOpen());
    }

    void catalogueFollowsDesktopEntryRules()
    {
        AppLauncher launcher;
        // Nothing is read while the window comes up; the first selection fills the catalogue.
        QCOMPARE(appId(QStringLiteral("Viewer")), 0);
        launcher.selectRelatedApps(nullUuidString(), {path(QStringLiteral("docs/none.txt"))});
        QCOMPARE(typesOf(QStringLiteral("Bearbeiter")), QStringList{QStringLiteral("text/plain")});
        QCOMPARE(typesOf(QStringLiteral("Viewer")), QStringList{QStringLiteral("text/plain")});   // image/png removed
        QCOMPARE(typesOf(QStringLiteral("Helper")), QStringList{QStringLiteral("text/x-csrc")});  // named by mimeapps.list only
        QCOMPARE(typesOf(QStringLiteral("Nested")), QStringList{QStringLiteral("text/x-csrc")});
        for (const char* absent : {"Hidden", "Absent", "KdeOnly", "Term", "Masked", "Other"})
            QVERIFY2(appId(QString::fromLatin1(absent)) == 0, absent);

        // Scanning again adds nothing: entries are matched by their command.
        QSqlQuery count(QStringLiteral("SELECT COUNT(*) FROM apps"));
        count.next();
        const int before = count.value(0).toInt();
        count.finish(); // an open read would keep this connection on an old snapshot
        launcher.scanApplications();
        launcher.addApp(QStringLiteral("VIEWER"), QStringLiteral("text/x-log"), QStringLiteral("VIEWER -N %f"), QString());
        QSqlQuery again(QStringLiteral("SELECT COUNT(*) FROM apps"));
        again.next();
        QCOMPARE(again.value(0).toInt(), before);
        again.finish();
        QVERIFY(typesOf(QStringLiteral("Viewer")).contains(QStringLiteral("text/x-log")));
    }

    void launchesDetachedAndOrdersByLastUse()
    {
        const QString a = path(QStringLiteral("docs/a b.txt"));
        const QString c = path(QStringLiteral("docs/c.txt"));
        write(QStringLiteral("docs/a b.txt"), "a");
        write(QStringLiteral("docs/c.txt"), "c");
        {
            AppLauncher launcher;
            launcher.selectRelatedApps(nullUuidString(), {a, c});
            QVERIFY(rowNames(launcher).contains(QStringLiteral("Bearbeiter")));
            QVERIFY(rowNames(launcher).contains(QStringLiteral("Viewer")));
            QCOMPARE(launcher.roleNames().value(AppLauncher::AppIconRole), QByteArray("appicon"));

            launcher.launch(appId(QStringLiteral("Viewer")));
            QCOMPARE(rowNames(launcher).first(), QStringLiteral("Viewer"));
            launcher.launch(appId(QStringLiteral("Bearbeiter")));
            QCOMPARE(rowNames(launcher).first(), QStringLiteral("Bearbeiter"));
        } // the editor still sleeps: it must survive its launcher

        QTRY_COMPARE(runs(QStringLiteral("viewer")), (QStringList{"-n|" + a, "-n|" + c}));
        QTRY_COMPARE_WITH_TIMEOUT(runs(QStringLiteral("editor")), QStringList{"--mode=view|" + a + "|" + c}, 10000);
    }

    void remoteSelectionIsDeferred()
    {
        AppLauncher launcher;
        const QString peer = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
        const std::vector<QString> remote{QStringLiteral("/srv/share/notes.txt")};
        launcher.selectRelatedApps(peer, remote);
        QSqlQuery before(QStringLiteral("SELECT SUM(last_used_timestamp) FROM app_filetypes"));
        before.next();

        QSignalSpy deferred(&launcher, &AppLauncher::deferAppLaunch);
        launcher.launch(appId(QStringLiteral("Viewer")));
        QCOMPARE(deferred.count(), 1);
        QCOMPARE(deferred.at(0).at(1).toString(), peer);
        QCOMPARE(deferred.at(0).at(2).value<std::vector<QString>>(), remote);
        QSqlQuery after(QStringLiteral("SELECT SUM(last_used_timestamp) FROM app_filetypes"));
        after.next();
        QCOMPARE(after.value(0), before.value(0));

        // An empty selection clears the rows but keeps what launch acts on.
        launcher.selectRelatedApps(nullUuidString(), {});
        QCOMPARE(launcher.rowCount(), 0);
        QCOMPARE(launcher.selectedPeer(), peer);
    }

    void defaultOpensWithTheDesktopUntilAnAppWasChosen()
    {
        write(QStringLiteral("docs/pic.png"), "not really");
        const QString pic = path(QStringLiteral("docs/pic.png"));
        AppLauncher launcher;
        launcher.selectRelatedApps(nullUuidString(), {pic});
        launcher.launchDefault(pic);
        QTRY_COMPARE(runs(QStringLiteral("xdg-open")), QStringList{pic});
    }

    // The desktop's associations are looked up again after a selection, one suffix per
    // pass of the event loop, so a change made while the program runs shows up.
    void associationsAddedWhileRunning()
    {
        AppLauncher launcher;
        const QString csv = path(QStringLiteral("docs/table.csv"));
        launcher.selectRelatedApps(nullUuidString(), {csv});
        QVERIFY(!rowNames(launcher).contains(QStringLiteral("Nested")));
        write(QStringLiteral("home/config/mimeapps.list"),
              "[Default Applications]\ntext/x-csrc=nodisplay.desktop\n"
              "[Added Associations]\ntext/csv=sub-nested.desktop;\n"
              "[Removed Associations]\nimage/png=viewer.desktop;\n");
        launcher.selectRelatedApps(nullUuidString(), {csv, path(QStringLiteral("docs/other.csv"))});
        QTRY_VERIFY(rowNames(launcher).contains(QStringLiteral("Nested")));
    }

    void pruneMatchesTheProgramExactly()
    {
        AppLauncher launcher;
        const QString vi = path(QStringLiteral("bin/vi"));   // missing
        launcher.addApp(QStringLiteral("Vi"), QStringLiteral("text/plain"), vi + QStringLiteral(" %F"), QString());
        launcher.addApp(QStringLiteral("Vi2"), QStringLiteral("text/plain"), vi + QStringLiteral(" -R %F"), QString());
        launcher.addApp(QStringLiteral("Vim"), QStringLiteral("text/plain"), path(QStringLiteral("bin/vim")) + QStringLiteral(" %F"), QString());
        launcher.selectRelatedApps(nullUuidString(), {path(QStringLiteral("docs/c.txt"))});
        QVERIFY(rowNames(launcher).contains(QStringLiteral("Vi")));
        launcher.pruneMissingApps();
        QCOMPARE(appId(QStringLiteral("Vi")), 0);
        QCOMPARE(appId(QStringLiteral("Vi2")), 0);
        QVERIFY(appId(QStringLiteral("Vim")) != 0);
        QVERIFY(!rowNames(launcher).contains(QStringLiteral("Vi")));
        QVERIFY(rowNames(launcher).contains(QStringLiteral("Vim")));
    }

    void portablePlatformFoundThroughRunningProcesses()
    {
        write(QStringLiteral("Portable/EditorPortable/App/AppInfo/appinfo.ini"),
              "[Details]\nName=PortaEdit\n[Control]\nStart=EditorPortable\n[Associations]\nFileTypes=txt,log\n");
        program(QStringLiteral("Portable/EditorPortable/EditorPortable"));
        write(QStringLiteral("Portable/Tools/App/AppInfo/appinfo.ini"), "[Details]\nName=Tools\n[Control]\nStart=x\n[Associations]\nFileTypes=txt\n");
        const QString platform = path(QStringLiteral("Portable/PortableApps.com/PortableAppsPlatform"));
        QDir().mkpath(QFileInfo(platform).absolutePath());
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), platform));
        QProcess running;
        running.start(platform, {QStringLiteral("30")});
        QVERIFY(running.waitForStarted());

        AppLauncher launcher;
        launcher.scanApplications();
        running.kill();
        running.waitForFinished();
        QVERIFY(typesOf(QStringLiteral("PortaEdit")).contains(QStringLiteral("text/plain")));
        QVERIFY(typesOf(QStringLiteral("PortaEdit")).contains(QStringLiteral("text/x-log")));
        QCOMPARE(appId(QStringLiteral("Tools")), 0);
        QSqlQuery q(QStringLiteral("SELECT path FROM apps WHERE name = 'PortaEdit'"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), path(QStringLiteral("Portable/EditorPortable/EditorPortable")) + QStringLiteral(" %F"));
    }
};

QTEST_MAIN(TstAppLauncher)
#include "tst_applauncher.moc"
