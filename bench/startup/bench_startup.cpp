// Start-up of the real program to its first painted window: 20 stored computers, both panes
// restored on this computer's home folder (offscreen). Beside it, the same measure for a bare
// Qt window with two folder views on the same home folder, started by this program.
//
//   bench_startup [runs] [--first] [--compare=<program>]
//       runs        default 7; the median and range of the runs are reported, with the load
//       --first     each start is a configuration's very first one (its identity key made,
//                   its settings written); without it, one unmeasured start before each round
//                   makes the configuration what a user of those 20 computers has
//       --compare   another build of the program, measured in the same rounds (rotated)
//   Each build keeps its compiled QML in a cache folder of its own, filled before the rounds.
//   bench_startup --prepare <dir>   only writes the configuration, for a profiler's own run:
//                                   nusk --config-dir=<dir> --com-listen-port=0
//
// The last line is the figure: "start-up to first paint: <ms> ms (bare Qt window <ms> ms, ratio <x>)".

#include "db/dto.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "crypto/crypto.h"

#include <QApplication>
#include <QDir>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kStoredPeers = 20;

// A configuration with 20 paired computers (each with a key and a loopback address nobody
// answers on) and the right-hand side showing the second pane.
void prepare(const QString &dir)
{
    SqliteDatabase db(dir);
    for (int i = 0; i < kStoredPeers; ++i) {
        const QString uuid = newUuidString();
        db.putPeer({uuid, QStringLiteral("nusk"), 1700000000});
        db.putPeerAttribute({uuid, QStringLiteral("name"), QStringLiteral("computer %1").arg(i + 1)});
        const crypto::SigningKeyPair keys = crypto::generateSigningKeyPair();
        CryptoKeyDto key;
        key.uuid = newUuidString();
        key.peerUuid = uuid;
        key.type = QString::fromLatin1(ownSigningKeyType());
        key.publicKey = keys.publicKey;
        key.timestamp = 1700000000;
        db.putKey(key);
        TransportDto t;
        t.uuid = newUuidString();
        t.peerUuid = uuid;
        t.type = QStringLiteral("tcp");
        t.host = QStringLiteral("127.0.0.1");
        t.port = quint16(9 + i);   // closed ports: the dial fails at once
        t.stream = true;
        t.timestamp = 1700000000;
        db.putTransport(t);
    }
    QSettings ini(dir + "/config.ini", QSettings::IniFormat);
    ini.setValue("rhs", "filerpane");
    ini.setValue("network/enabled", true);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs `program` with the arguments until it prints its first-paint line; ms or -1.
// `cacheHome`: the program's own cache folder (its compiled QML among it), when not empty.
double run(const QString &program, const QStringList &arguments, const QString &cacheHome = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("NUSK_STARTUP_PROBE", "1");
    if (!cacheHome.isEmpty())
        env.insert("XDG_CACHE_HOME", cacheHome);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("first painted window: "))
            return line.mid(22).split(' ').first().toDouble();
    }
    return -1;
}

// The bare window: what any Qt file manager needs at the least.
int bareWindow(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    QApplication app(argc, argv);
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    QFileSystemModel model;
    model.setRootPath(QDir::homePath());
    for (int i = 0; i < 2; ++i) {
        auto *view = new QTreeView(&window);
        view->setModel(&model);
        view->setRootIndex(model.index(QDir::homePath()));
        layout->addWidget(view);
    }
    struct Probe : QObject
    {
        QElapsedTimer *clock;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint) {
                std::printf("first painted window: %lld ms\n", static_cast<long long>(clock->elapsed()));
                std::fflush(stdout);
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
                qApp->removeEventFilter(this);
            }
            return false;
        }
    } probe;
    probe.clock = &clock;
    window.installEventFilter(&probe);
    window.resize(1344, 728);
    window.show();
    return app.exec();
}

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("?");
}

struct Series
{
    QString name;
    QString program;   // empty: the bare window
    std::vector<double> ms;
    // Every build of the program keeps its compiled QML in the same user cache, stamped with
    // its own executable: builds run in turn would each find the other's there and compile
    // again. Each gets a cache of its own, filled by one unmeasured start, as a user's is.
    std::shared_ptr<QTemporaryDir> cache = std::make_shared<QTemporaryDir>();
};

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0)
        return bareWindow(argc, argv);
    QCoreApplication app(argc, argv);
    if (argc > 2 && std::strcmp(argv[1], "--prepare") == 0) {
        QDir().mkpath(QString::fromLocal8Bit(argv[2]));
        prepare(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    int runs = 7;
    bool first = false;
    std::vector<Series> series = {{QStringLiteral("nusk"), QCoreApplication::applicationDirPath() + "/nusk", {}}};
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--first"))
            first = true;
        else if (arg.startsWith(QLatin1String("--compare=")))
            series.push_back({arg.mid(10), arg.mid(10), {}});
        else
            runs = std::max(1, arg.toInt());
    }
    const QString nusk = series.front().program;
    series.push_back({QStringLiteral("bare Qt window"), QString(), {}});

    for (const Series &one : series) {
        if (one.program.isEmpty())
            continue;
        QTemporaryDir config;
        prepare(config.path());
        run(one.program, {"--config-dir=" + config.path(), "--com-listen-port=0"}, one.cache->path());
    }

    std::printf("load before: %s\n", loadAverage().constData());
    for (int round = 0; round < runs; ++round) {
        QTemporaryDir shared;
        if (!first) {
            prepare(shared.path());
            run(nusk, {"--config-dir=" + shared.path(), "--com-listen-port=0"}, series.front().cache->path());
        }
        std::printf("run %d:", round + 1);
        for (std::size_t k = 0; k < series.size(); ++k) {
            Series &one = series[(k + round) % series.size()];
            double ms;
            if (one.program.isEmpty()) {
                ms = run(QCoreApplication::applicationFilePath(), {"--bare"});
            } else if (first) {
                QTemporaryDir own;
                prepare(own.path());
                ms = run(one.program, {"--config-dir=" + own.path(), "--com-listen-port=0"}, one.cache->path());
            } else {
                ms = run(one.program, {"--config-dir=" + shared.path(), "--com-listen-port=0"}, one.cache->path());
            }
            std::printf(" %s %.0f ms;", qUtf8Printable(one.name), ms);
            if (ms >= 0)
                one.ms.push_back(ms);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("load after: %s\n", loadAverage().constData());
    for (const Series &one : series) {
        if (one.ms.empty())
            continue;
        const auto range = std::minmax_element(one.ms.begin(), one.ms.end());
        std::printf("%s: median %.0f ms, range %.0f-%.0f ms\n", qUtf8Printable(one.name), median(one.ms), *range.first,
                    *range.second);
    }
    const double n = median(series.front().ms), b = median(series.back().ms);
    std::printf("start-up to first paint: %.0f ms (bare Qt window %.0f ms, ratio %.2f)\n", n, b, b > 0 ? n / b : 0.0);
    return series.front().ms.empty() ? 1 : 0;
}
