// A big folder of the local computer in the file browser and in the list view (offscreen):
//
//  1. open: from the browser's request to the first rows shown, and to the complete listing
//     shown in order, beside `ls -f | wc -l` and a `find -printf` stat scan of the same folder in the same run;
//  2. list view: first paint of a fresh list view over the listed folder (sorting included),
//     then scrolling from top to bottom one page per frame, in frames per second.
//
//   bench_filer [entries] [open]      default 100000; "open" leaves out the list view
//
// The last line holds every figure. "entries made" and "listing complete" on stderr mark
// the measured part, for a profiler to attach to.

#include "db/sqlitedatabase.h"
#include "filer/filer.h"
#include "filer/filertreeview.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"
#include "../../tests/filer/testutil_filer.h"
#include "../benchutil_wait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

using namespace filertest;

namespace {

bool makeEntries(const QString &dir, long count)
{
    const QByteArray base = QFile::encodeName(dir);
    for (long i = 0; i < count; ++i) {
        const QByteArray path = base + "/file-" + QByteArray::number(qlonglong(i)) + ".dat";
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

// Counts paint events of a widget.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

double shellMs(const QString &command, QString *output)
{
    QElapsedTimer timer;
    timer.start();
    QProcess p;
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    p.waitForFinished(600000);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    *output = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    long count = 100000;
    if (argc > 1 && (count = std::atol(argv[1])) <= 0) {
        std::fprintf(stderr, "usage: %s [entries] [open]\n", argv[0]);
        return 2;
    }
    const bool openOnly = argc > 2 && std::strcmp(argv[2], "open") == 0;
    initFilerViewResources();
    QTemporaryDir work;
    const QString parentDir = QDir(work.path()).canonicalPath();
    const QString bigDir = parentDir + QStringLiteral("/big");
    if (!QDir().mkpath(bigDir) || !makeEntries(bigDir, count)) {
        std::fprintf(stderr, "cannot create %ld entries\n", count);
        return 1;
    }
    std::fprintf(stderr, "entries made\n");
    LocalNetwork net;
    if (!net.start()) {
        std::fprintf(stderr, "local peer did not come up\n");
        return 1;
    }
    VfsModel *model = net.localModel();
    // The levels above the folder are listed first, outside the measurement.
    if (!net.reach(model, parentDir) || !model->indexForPath(bigDir).isValid()) {
        std::fprintf(stderr, "could not reach %s\n", qPrintable(bigDir));
        return 1;
    }

    // 1. Open in the browser.
    Filer filer(nullptr, net.database(), nullptr, nullptr);
    filer.resize(1000, 700);
    filer.setPeer(net.localPeer());
    filer.setViewMode(Filer::ViewList);
    filer.show();
    filer.gotoPath(parentDir);
    benchutil::waitUntil([&] { return filer.path() == parentDir; }, 60000);
    PaintCounter painted;
    filer.currentView()->viewport()->installEventFilter(&painted);
    auto *entry = static_cast<VfsEntry *>(model->indexForPath(bigDir).internalPointer());
    QElapsedTimer timer;
    timer.start();
    // When the last page reached the client: what follows is the browser's own work.
    std::atomic<qint64> arrivedNs{0};
    const QMetaObject::Connection arrival = QObject::connect(
        net.localPeer()->vfsClient(), &VfsClient::listDirectoryUpdate, &app,
        [&timer, &arrivedNs](VfsListDirectoryJob *) { arrivedNs = timer.nsecsElapsed(); }, Qt::DirectConnection);
    filer.gotoPath(bigDir);
    // A state counts once the view painted after it was reached.
    const auto paintedOnceTrue = [&](const std::function<bool()> &state) {
        int paintsWhenTrue = -1;
        return benchutil::waitUntil([&] {
            if (paintsWhenTrue < 0 && state())
                paintsWhenTrue = painted.paints;
            return paintsWhenTrue >= 0 && painted.paints > paintsWhenTrue;
        }, 600000);
    };
    const bool shown = paintedOnceTrue([&] {
        return filer.path() == bigDir && filer.sortModel()->rowCount(filer.currentView()->rootIndex()) > 0;
    });
    const double firstRowsMs = double(timer.nsecsElapsed()) / 1e6;
    // Complete: every row listed and in its sorted place (the browser sorts a folder that is
    // being listed once its listing is complete).
    const bool complete = paintedOnceTrue([&] {
        return entry->fetched && !entry->fetching && filer.sortModel()->dynamicSortFilter()
               && filer.sortModel()->rowCount(filer.currentView()->rootIndex()) == count;
    });
    const double completeMs = double(timer.nsecsElapsed()) / 1e6;
    std::fprintf(stderr, "listing complete\n");
    QObject::disconnect(arrival);
    const double arrivedMs = double(arrivedNs.load()) / 1e6;
    if (!shown || !complete || model->rowCount(model->indexForPath(bigDir)) != count) {
        std::fprintf(stderr, "listing did not complete\n");
        return 1;
    }
    QString lsOut, findOut;
    const double lsMs = shellMs(QStringLiteral("ls -f '%1' | wc -l").arg(bigDir), &lsOut);
    const double findMs = shellMs(QStringLiteral("find '%1' -mindepth 1 -printf '%s %T@ %m %f\\n' | wc -l").arg(bigDir), &findOut);
    filer.hide();
    const QString openLine =
        QString::asprintf("entries %ld: browser first rows %.0f ms, complete %.0f ms (listing at the client %.0f ms); "
                          "ls -f | wc -l %.0f ms (%s), find -printf %.0f ms (%s); ratio complete/find %.1f",
                          count, firstRowsMs, completeMs, arrivedMs, lsMs, qPrintable(lsOut), findMs, qPrintable(findOut),
                          qMax(firstRowsMs, completeMs) / qMax(findMs, 0.001));
    if (openOnly) {
        std::printf("%s\n", qPrintable(openLine));
        return 0;
    }

    // 2. The list view over the listed folder.
    VfsSortFilterProxyModel sort;
    sort.setSourceModel(model);
    FilerTreeView view;
    view.resize(1000, 700);
    PaintCounter viewPaints;
    view.viewport()->installEventFilter(&viewPaints);
    timer.restart();
    view.setModel(&sort);
    sort.setRootIndex(model->indexForPath(bigDir));
    sort.sort(0);
    view.setRootIndex(sort.mapFromSource(model->indexForPath(bigDir)));
    for (int c = 1; c < VfsModel::ColumnCount; ++c)
        view.setColumnHidden(c, c != 1 && c != 4 && c != 7);
    view.show();
    benchutil::waitUntil([&] { return viewPaints.paints > 0; }, 60000);
    const double firstPaintMs = double(timer.nsecsElapsed()) / 1e6;

    QScrollBar *bar = view.verticalScrollBar();
    int frames = 0;
    timer.restart();
    double slowestMs = 0;
    while (bar->value() < bar->maximum()) {
        QElapsedTimer frame;
        frame.start();
        bar->setValue(bar->value() + bar->pageStep());
        view.viewport()->repaint();
        QCoreApplication::processEvents();
        slowestMs = qMax(slowestMs, double(frame.nsecsElapsed()) / 1e6);
        ++frames;
    }
    const double scrollMs = double(timer.nsecsElapsed()) / 1e6;
    const double fps = frames / (scrollMs / 1000.0);

    std::printf("%s; list view first paint %.0f ms, scroll %d frames %.1f fps (slowest frame %.1f ms)\n",
                qPrintable(openLine), firstPaintMs, frames, fps, slowestMs);
    return 0;
}
