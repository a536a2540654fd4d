// The command table, the message catalogues and the sizes shown with their plural forms.

#include "app/base/actionregistry.h"
#include "app/base/datasize.h"
#include "app/base/translations.h"

#include <QDirIterator>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QtTest>

class TestActions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        ActionRegistry::registerDefaults(nullptr);
    }

    void table_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("messageId");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QStringList>("keys");
        auto row = [](const char* id, const char* msg, QStringList keys, const char* suffix = "") {
            QTest::newRow(id) << QString::fromLatin1(id) << QString::fromLatin1(msg)
                              << QString::fromLatin1(suffix) << keys;
        };
        row("filer.new-folder", "action-new-folder", {"Ctrl+Shift+N"}, "...");
        row("filer.copy-to", "action-copy-to", {"F5"}, "...");
        row("filer.move-to", "action-move-to", {"F6"}, "...");
        row("filer.rename", "action-rename", {"F2"});
        row("filer.trash", "action-trash", {"Del", "F8"});
        row("filer.delete", "action-delete", {"Shift+Del"}, "...");
        // Both Enter keys: the large one is Return to the program, and Alt+Return must not
        // fall through to the view, which opens the item.
        row("filer.show-props", "action-show-props", {"Alt+Enter", "Alt+Return"});
        row("filer.show-inexplorer", "action-show-inexplorer", {"Ctrl+Alt+O"});
        row("filer.preview", "action-preview", {"Space"});
        row("filer.view-list", "action-list-view", {"Ctrl+1"});
        row("filer.view-column", "action-column-view", {"Ctrl+2"});
        row("filer.view-icons", "action-icon-view", {"Ctrl+3"});
        row("filer.show-hidden", "action-show-hidden-items", {"Ctrl+H"});
        row("nodeview.toggle-right", "action-toggle-rightpane", {"Ctrl+Down"});
        row("filer.open-right", "action-in-rightpane", {"Ctrl+Right"});
        row("filer.open-left", "action-in-leftpane", {"Ctrl+Left"});
        row("filer.open-left-tab", "action-in-leftpanetab", {"Shift+Left"});
        row("filer.open-right-tab", "action-in-rightpanetab", {"Shift+Right"});
        row("filer.new-window", "action-new-window", {"Ctrl+N"});
    }

    void table()
    {
        QFETCH(QString, id);
        QFETCH(QString, messageId);
        QFETCH(QString, suffix);
        QFETCH(QStringList, keys);
        const ActionEntry e = ActionRegistry::action(id);
        QCOMPARE(e.id, id);
        QCOMPARE(e.messageId, messageId);
        QCOMPARE(e.textSuffix, suffix);
        QStringList got;
        for (const QKeySequence& k : e.shortcuts)
            got << k.toString(QKeySequence::PortableText);
        QCOMPARE(got, keys);
    }

    void standardKeysAndTable()
    {
        // Cut, copy and paste follow the platform's bindings; the first is the usual one.
        QCOMPARE(ActionRegistry::action("filer.cut").shortcuts.value(0), QKeySequence(QKeySequence::Cut));
        QCOMPARE(ActionRegistry::action("filer.copy").shortcuts.value(0), QKeySequence(QKeySequence::Copy));
        QCOMPARE(ActionRegistry::action("filer.paste").shortcuts.value(0), QKeySequence(QKeySequence::Paste));
        QCOMPARE(ActionRegistry::action("filer.cut").messageId, QStringLiteral("action-cut"));

        QVERIFY(ActionRegistry::action("filer.nonexistent").isNull());
        QVERIFY(ActionRegistry::action(QString()).isNull());

        // Filled once: a second call neither duplicates nor reorders.
        const auto before = ActionRegistry::entries();
        ActionRegistry::registerDefaults(nullptr);
        const auto after = ActionRegistry::entries();
        QCOMPARE(after.size(), before.size());
        QSet<QString> ids;
        for (size_t i = 0; i < after.size(); ++i) {
            QCOMPARE(after[i].id, before[i].id);
            QVERIFY2(!ids.contains(after[i].id), qPrintable(after[i].id));
            ids.insert(after[i].id);
        }
        // A key bound to two commands would fire neither (the platform's cut keys include
        // Shift+Del, which belongs to "filer.delete").
        QHash<QKeySequence, QString> owner;
        for (const ActionEntry& e : after) {
            for (const QKeySequence& k : e.shortcuts) {
                QVERIFY2(!owner.contains(k), qPrintable(k.toString() + " on " + owner.value(k) + " and " + e.id));
                owner.insert(k, e.id);
            }
        }
        QCOMPARE(owner.value(QKeySequence("Shift+Del")), QStringLiteral("filer.delete"));

        // The entry is a copy: changing it leaves the table alone.
        ActionEntry e = ActionRegistry::action("filer.rename");
        e.shortcuts.clear();
        QCOMPARE(ActionRegistry::action("filer.rename").shortcuts.size(), 1);
    }

    void catalogues()
    {
        Translations tr;
        QVERIFY(tr.install(QLocale(QLocale::German, QLocale::Germany)));
        QVERIFY(tr.catalogueFile().contains(QStringLiteral("nusk_de")));
        QCOMPARE(ActionRegistry::action("filer.cut").text(), QStringLiteral("Ausschneiden"));
        QCOMPARE(ActionRegistry::action("filer.new-folder").text(), QStringLiteral("Neuer Ordner..."));
        QCOMPARE(qtTrId("action-show-nodeview"), QStringLiteral("Zeige Nodes"));
        QCOMPARE(qtTrId("place-network"), QStringLiteral("Netzwerk"));

        // No catalogue for Japanese: English.
        QVERIFY(tr.install(QLocale(QLocale::Japanese, QLocale::Japan)));
        QVERIFY(tr.catalogueFile().contains(QStringLiteral("nusk_en")));
        QCOMPARE(ActionRegistry::action("filer.cut").text(), QStringLiteral("Cut"));
        QCOMPARE(ActionRegistry::action("filer.delete").text(), QStringLiteral("Delete..."));
        QCOMPARE(qtTrId("action-show-alt-filer"), QStringLiteral("Show files on right hand side"));
        QCOMPARE(qtTrId("place-network"), QStringLiteral("Network"));

        tr.remove();
        QCOMPARE(qtTrId("action-cut"), QStringLiteral("action-cut"));
    }

    // A count of bytes takes the language's singular and plural; larger sizes are decimal
    // units in the locale's own form.
    void sizesInBothLanguages()
    {
        Translations tr;
        QVERIFY(tr.install(QLocale(QLocale::English, QLocale::UnitedStates)));
        QCOMPARE(formatDataSize(0, 0), QStringLiteral("0 bytes"));
        QCOMPARE(formatDataSize(1, 0), QStringLiteral("1 byte"));
        QCOMPARE(formatDataSize(2, 2), QStringLiteral("2 bytes"));
        QCOMPARE(formatDataSize(999, 1), QStringLiteral("999 bytes"));
        QCOMPARE(formatDataSize(1000, 0), QLocale().formattedDataSize(1000, 0, QLocale::DataSizeSIFormat));
        QVERIFY(tr.install(QLocale(QLocale::German, QLocale::Germany)));
        QCOMPARE(formatDataSize(1, 0), QStringLiteral("1 Byte"));
        QCOMPARE(formatDataSize(0, 2), QStringLiteral("0 Bytes"));
        QCOMPARE(formatDataSize(640, 0), QStringLiteral("640 Bytes"));
        // Tools run without a catalogue.
        tr.remove();
        QCOMPARE(formatDataSize(1, 0), QStringLiteral("1 byte"));
        QCOMPARE(formatDataSize(5, 0), QStringLiteral("5 bytes"));
    }

    void everyMessageIdHasBothTexts()
    {
        QStringList ids;
        for (const ActionEntry& e : ActionRegistry::entries())
            ids << e.messageId;
        ids << "action-new-tab" << "action-show-alt-filer" << "action-show-nodeview" << "action-share-drive";

        Translations tr;
        QHash<QString, QString> english;
        QVERIFY(tr.install(QLocale(QLocale::English, QLocale::UnitedStates)));
        for (const QString& id : ids) {
            const QString text = qtTrId(id.toLatin1().constData());
            QVERIFY2(text != id, qPrintable("no English text for " + id));
            english.insert(id, text);
        }
        QVERIFY(tr.install(QLocale(QLocale::German, QLocale::Austria)));
        for (const QString& id : ids) {
            const QString text = qtTrId(id.toLatin1().constData());
            QVERIFY2(text != id && text != english.value(id), qPrintable("no German text for " + id));
        }
    }

    // Every id the program's code and QML look up, literally, must have both texts: a missing
    // one shows the raw id in the menu.
    void everyMessageIdOfTheSourcesHasBothTexts()
    {
        const QRegularExpression call(QStringLiteral(R"re((?:qtTrId|qsTrId|QT_TRID_NOOP)\s*\(([^()]*))re"));
        const QRegularExpression quoted(QStringLiteral(R"re("([a-z0-9][a-z0-9-]*)")re"));
        QSet<QString> ids;
        QDirIterator it(QStringLiteral(NUSK_SOURCE_DIR "/src"), {"*.cpp", "*.h", "*.qml", "*.js"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(file.readAll());
            for (auto m = call.globalMatch(text); m.hasNext();) {
                const QString args = m.next().captured(1);
                for (auto q = quoted.globalMatch(args); q.hasNext();)
                    ids.insert(q.next().captured(1));
            }
        }
        QVERIFY2(ids.size() > 150, qPrintable(QString::number(ids.size())));
        QVERIFY(ids.contains("menu-open-with"));

        Translations tr;
        for (const QLocale& locale : {QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German)}) {
            QVERIFY(tr.install(locale));
            QStringList missing;
            for (const QString& id : qAsConst(ids))
                if (qtTrId(id.toLatin1().constData()) == id)
                    missing << id;
            missing.sort();
            QVERIFY2(missing.isEmpty(), qPrintable(locale.name() + " lacks " + missing.join(' ')));
        }
    }
};

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
