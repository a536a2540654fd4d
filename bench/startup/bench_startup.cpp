// Start-up of the real program to its first painted window: 20 stored computers, both panes
// restored on this computer's home folder (offscreen). Beside it, the same measure for a bare
// Qt window with two folder views on the same home folder, started by this program.
//
//   bench_startup [runs]      default 7; the median of the runs is reported
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

#include <algorithm>
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
double run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("NUSK_STARTUP_PROBE", "1");
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

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0)
        return bareWindow(argc, argv);
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const QString bin = QCoreApplication::applicationDirPath();
    std::vector<double> nusk, bare;
    for (int i = 0; i < runs; ++i) {
        QTemporaryDir dir;
        prepare(dir.path());
        const double ms = run(bin + "/nusk", {"--config-dir=" + dir.path(), "--com-listen-port=0"});
        const double base = run(QCoreApplication::applicationFilePath(), {"--bare"});
        std::printf("run %d: nusk %.0f ms, bare Qt window %.0f ms\n", i + 1, ms, base);
        if (ms >= 0)
            nusk.push_back(ms);
        if (base >= 0)
            bare.push_back(base);
    }
    const double n = median(nusk), b = median(bare);
    std::printf("start-up to first paint: %.0f ms (bare Qt window %.0f ms, ratio %.2f)\n", n, b, b > 0 ? n / b : 0.0);
    return nusk.empty() ? 1 : 0;
}
