// A view with 2,000 nodes (one computer, 20 drives, folders below them) and their relations:
// time from a fresh widget to the first rendered frame, and frames per second while the view
// is panned, with the software renderer. Optional argument: number of nodes.

#include "db/sqlitedatabase.h"
#include "ui/nodeview/nodeview.h"
#include "ui/theme.h"
#include "ui/uiresources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(30, atoi(argv[1])) : 2000;
    initUiResources();

    QTemporaryDir dir;
    SqliteDatabase db(dir.path());
    const QString view = newUuidString();
    db.putVsector({view, QStringLiteral("Bench"), 1024, 1024, 8192, 8192});
    const QString pc = nullUuidString();
    db.putVnode({newUuidString(), pc, view, "pc", "style0", "%", "peer", "", 0, 1100, 1100});
    // As a user lays them out: each drive with its folders in a block beside it, the blocks
    // in rows; folders one or two levels deep.
    const int drives = 20;
    const int perDrive = (count - 1 - drives + drives - 1) / drives;
    int made = 1;
    for (int d = 0; d < drives; ++d) {
        const double bx = 1100 + (d % 5) * 1500.0, by = 1100 + (d / 5) * 1300.0;
        db.putVnode({newUuidString(), pc, view, QString("d%1").arg(d), "drive0", QString("/d%1").arg(d), "drive", "",
                     0, bx, by + 560});
        ++made;
        for (int i = 0; i < perDrive && made < count; ++i, ++made) {
            const QString path = i % 5 ? QString("/d%1/f%2").arg(d).arg(i) : QString("/d%1/f%2/sub").arg(d).arg(i + 1);
            db.putVnode({newUuidString(), pc, view, QString("folder %1").arg(i), "style1", path, "directory", "", 0,
                         bx + 260 + 180 * (i % 6), by + 70 * (i / 6)});
        }
    }

    QQmlEngine engine;
    QString error;
    QObject *themeObject = theme::createObject(
        &engine, theme::builtinFile(theme::objectFile(theme::directory(), QStringLiteral("Light"))), &error);
    engine.rootContext()->setContextProperty(QStringLiteral("Theme"), themeObject);
    engine.rootContext()->setContextProperty(QStringLiteral("filerShowAlternateFilerAction"), nullptr);

    QElapsedTimer timer;
    timer.start();
    NodeView nodeView(&engine, &db);
    nodeView.resize(1280, 800);
    nodeView.show();
    nodeView.initialize();
    nodeView.grabFramebuffer();
    const double loadMs = timer.nsecsElapsed() / 1e6;
    VSector *shown = nodeView.currentSector();
    if (!shown || shown->nodes.size() != size_t(count)) {
        std::fprintf(stderr, "bench_nodeview: %zu nodes loaded, %d expected\n", shown ? shown->nodes.size() : 0, count);
        return 1;
    }

    const int frames = 200;
    QQuickItem *page = shown->page;
    const double x0 = page->property("contentX").toDouble();
    timer.restart();
    for (int f = 0; f < frames; ++f) {
        page->setProperty("contentX", x0 + 12 * f);
        page->setProperty("contentY", 1024 + 6 * f);
        nodeView.grabFramebuffer();
    }
    const double fps = frames / (timer.nsecsElapsed() / 1e9);
    std::printf("nodes %d: load to first frame %.0f ms, panning %.1f frames/s (software, 1280x800)\n", count, loadMs,
                fps);
    return 0;
}
