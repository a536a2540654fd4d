#include "app/base/screenscenes.h"
#include "app/base/translations.h"
#include "db/sqlitedatabase.h"
#include "desktop/desktopscreenscenes.h"

#include <QApplication>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QtTest>

// Every screenshot scene of the layer runs in a plain window, reports ready and leaves no
// window behind. With NUSK_SCENE_DIR set, the windows of each scene are saved there (in the
// language of NUSK_SCENE_LOCALE, default en_US).
class TstDesktopScenes : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void scenesRunAndCleanUp()
    {
        QTemporaryDir tmp;
        qputenv("XDG_DATA_HOME", tmp.filePath(QStringLiteral("share")).toUtf8());
        QDir().mkpath(tmp.filePath(QStringLiteral("share/applications")));
        for (const char* name : {"Image Viewer", "Photo Editor"}) {
            QFile f(tmp.filePath(QStringLiteral("share/applications/%1.desktop").arg(QString::fromLatin1(name).remove(QLatin1Char(' ')))));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[Desktop Entry]\nType=Application\nName=" + QByteArray(name) + "\nExec=/bin/true %F\nMimeType=image/png;\n");
        }
        SqliteDatabase db(tmp.filePath(QStringLiteral("db")));
        Translations translations;
        translations.install(QLocale(qEnvironmentVariable("NUSK_SCENE_LOCALE", QStringLiteral("en_US"))));

        QMainWindow window;
        window.resize(1280, 800);
        window.show();
        ScreenScenes scenes;
        addDesktopScreenScenes(scenes);
        QCOMPARE(int(scenes.scenes().size()), 6);
        const QString out = qEnvironmentVariable("NUSK_SCENE_DIR");
        for (const ScreenScenes::Scene& scene : scenes.scenes()) {
            bool ready = false;
            scene.prepare(&window, [&ready] { ready = true; });
            QTRY_VERIFY2(ready, qPrintable(scene.name));
            int n = 0;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && !out.isEmpty())
                    w->grab().save(QStringLiteral("%1/%2-%3.png").arg(out, scene.name).arg(n++));
            }
            if (scene.cleanup)
                scene.cleanup(&window);
            auto leftOver = [&window] {
                QStringList names;
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (w->isVisible() && w != &window)
                        names << QString::fromLatin1(w->metaObject()->className());
                }
                return names;
            };
            QTRY_COMPARE(leftOver(), QStringList());
        }
    }
};

QTEST_MAIN(TstDesktopScenes)
#include "tst_desktopscenes.moc"
