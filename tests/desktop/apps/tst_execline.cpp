#include "desktop/apps/execline.h"

#include <QtTest>

// Command lines as desktop entries write them, and the processes they become.
class TstExecLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void expandsPerDesktopEntryRules_data()
    {
        QTest::addColumn<QString>("exec");        // as written in the file
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("expected"); // program and arguments of each launch, "|" between launches

        const QStringList one{QStringLiteral("/tmp/a b.txt")};
        const QStringList two{QStringLiteral("/tmp/a b.txt"), QStringLiteral("/tmp/c.txt")};
        QTest::newRow("value with =") << "editor --mode=view %F" << two
                                      << QStringList{"editor", "--mode=view", "/tmp/a b.txt", "/tmp/c.txt"};
        QTest::newRow("quoted program") << "\"/opt/my tools/ed\" -n %f" << one
                                        << QStringList{"/opt/my tools/ed", "-n", "/tmp/a b.txt"};
        QTest::newRow("escapes in quotes") << "sh -c \"echo \\\"\\$1 \\\\\\\\ \\`x\\`\\\"\" %u" << one
                                           << QStringList{"sh", "-c", "echo \"$1 \\ `x`\"", "/tmp/a b.txt"};
        QTest::newRow("%f per file") << "viewer %f" << two
                                     << QStringList{"viewer", "/tmp/a b.txt", "|", "viewer", "/tmp/c.txt"};
        QTest::newRow("quoted code is text") << "tool \"%f\"" << one << QStringList{"tool", "%f"};
        QTest::newRow("literal percent") << "printf 100%% --file=%f" << one
                                         << QStringList{"printf", "100%", "--file=/tmp/a b.txt"};
        QTest::newRow("deprecated codes vanish") << "app %d %m %U" << one << QStringList{"app", "/tmp/a b.txt"};
        QTest::newRow("icon and name") << "app %i --title=%c" << QStringList()
                                       << QStringList{"app", "--icon", "ed-icon", "--title=Ed"};
        QTest::newRow("no file codes") << "app --new-window" << two << QStringList{"app", "--new-window"};
    }
    void expandsPerDesktopEntryRules()
    {
        QFETCH(QString, exec);
        QFETCH(QStringList, files);
        QFETCH(QStringList, expected);
        std::vector<ExecLine::Launch> launches;
        QVERIFY(ExecLine::expand(ExecLine::unescapeValue(exec), files, QStringLiteral("Ed"),
                                 QStringLiteral("ed-icon"), QString(), &launches));
        QStringList got;
        for (const ExecLine::Launch& l : launches) {
            if (!got.isEmpty())
                got << QStringLiteral("|");
            got << l.program << l.arguments;
        }
        QCOMPARE(got, expected);
    }

    void refusesWhatCannotStart()
    {
        std::vector<ExecLine::Launch> launches;
        QVERIFY(!ExecLine::expand(QStringLiteral("\"unterminated %F"), {QStringLiteral("/a")}, {}, {}, {}, &launches));
        QVERIFY(!ExecLine::expand(QStringLiteral("viewer %f"), {}, {}, {}, {}, &launches));
        QVERIFY(!ExecLine::expand(QStringLiteral("editor %F"), {}, {}, {}, {}, &launches));
        QVERIFY(!ExecLine::expand(QStringLiteral("%d"), {}, {}, {}, {}, &launches));
    }

    void quotingRoundTrips()
    {
        const QStringList texts{QStringLiteral("/opt/my tools/ed"), QStringLiteral("a\"b$c`d\\e"),
                                QStringLiteral("50%"), QStringLiteral("%f"), QStringLiteral("plain")};
        for (const QString& t : texts) {
            std::vector<ExecLine::Launch> launches;
            QVERIFY(ExecLine::expand(ExecLine::quote(t) + QStringLiteral(" %F"), {QStringLiteral("/x")}, {}, {}, {}, &launches));
            QCOMPARE(launches.front().program, t);
            QCOMPARE(launches.front().arguments, QStringList{QStringLiteral("/x")});
        }
        QCOMPARE(ExecLine::bindEntryFile(QStringLiteral("app %k %F"), QStringLiteral("/d/my app.desktop")),
                 QStringLiteral("app \"/d/my app.desktop\" %F"));
    }
};

QTEST_GUILESS_MAIN(TstExecLine)
#include "tst_execline.moc"
