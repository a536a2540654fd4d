// A big folder listed from the local peer over the real channel (FSO client, loopback link,
// FSO server) into the file model until the listing has completely merged, next to a plain
// directory scan with stat of the same folder in the same run.
//
//   bench_vfslisting [entries]      default 100000
//
// The last line holds both times and their ratio.

#include "com/connectionmanager.h"
#include "crypto/crypto.h"
#include "db/dto.h"
#include "db/sqlitedatabase.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "peers/peersetup.h"
#include "vfs/models/vfsmodel.h"
#include "app/startup/vfspeerendpoint.h"
#include "vfs/models/vfspeermodels.h"
#include "vfs/server/vfswatcher.h"
#include "../benchutil_wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// readdir plus one stat per entry: what any listing has to do at the least.
long scanWithStat(const QString &dir, quint64 &bytes)
{
    DIR *d = ::opendir(QFile::encodeName(dir).constData());
    if (!d)
        return -1;
    long count = 0;
    bytes = 0;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
            continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            bytes += quint64(st.st_size);
            ++count;
        }
    }
    ::closedir(d);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    long count = 100000;
    if (argc > 1) {
        count = std::atol(argv[1]);
        if (count <= 0) {
            std::fprintf(stderr, "usage: %s [entries]\n", argv[0]);
            return 2;
        }
    }
    if (!crypto::initialize()) {
        std::fprintf(stderr, "crypto library failed to start\n");
        return 1;
    }

    QTemporaryDir config;
    QTemporaryDir work;
    if (!config.isValid() || !work.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const QString parentDir = QDir(work.path()).canonicalPath();
    const QString bigDir = parentDir + QStringLiteral("/big");
    if (!QDir().mkpath(bigDir) || !makeEntries(bigDir, count)) {
        std::fprintf(stderr, "cannot create %ld entries in %s\n", count, qPrintable(bigDir));
        return 1;
    }

    SqliteDatabase database(config.path());
    if (!database.isOpen()) {
        std::fprintf(stderr, "database did not open\n");
        return 1;
    }
    // The drive list the server hands out comes from the watcher, made first as at start-up.
    VfsWatcher watcher;
    if (!benchutil::waitUntil([&] { return !watcher.copyDriveCache().empty(); }, 10000)) {
        std::fprintf(stderr, "no drives found\n");
        return 1;
    }
    PeerModel peerModel;
    QObject::connect(&peerModel, &PeerModel::peerAdded, &peerModel, &bindPeerModels);
    QThread ioThread;
    ioThread.setObjectName(QStringLiteral("ioThread"));
    auto *manager = new ConnectionManager(&database);
    manager->setListenPort(0);
    installPeers(manager, &peerModel, makeVfsPeerEndpoint);
    manager->moveToThread(&ioThread);
    QObject::connect(&ioThread, &QThread::started, manager, &ConnectionManager::start);
    ioThread.start();

    int status = 0;
    IPeer *peer = nullptr;
    VfsModel *model = nullptr;
    if (!benchutil::waitUntil([&] {
            peer = peerModel.getPeerForUuid(nullUuidString());
            return peer && peer->linkState() == IPeer::LinkUp;
        }, 30000)) {
        std::fprintf(stderr, "local peer did not come up\n");
        status = 1;
    } else {
        model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
        if (!model || !benchutil::waitUntil([&] { return model->peer() != nullptr; }, 5000)) {
            std::fprintf(stderr, "file model not bound\n");
            status = 1;
        }
    }

    double modelMs = 0;
    double transferMs = 0;
    int resolved = -1;
    if (status == 0) {
        // The levels above the folder are listed first, outside the measurement.
        QObject::connect(model, &VfsModel::pathResolved, &app, [&](int s, const QString &path) {
            if (path == parentDir)
                resolved = s;
        });
        model->resolvePath(parentDir, false);
        const bool parentListed = benchutil::waitUntil([&] {
            const QModelIndex parent = model->indexForPath(parentDir);
            return resolved == 0 && parent.isValid()
                   && static_cast<VfsEntry *>(parent.internalPointer())->fetched
                   && model->indexForPath(bigDir).isValid();
        }, 60000);
        const QModelIndex big = model->indexForPath(bigDir);
        if (!parentListed || !big.isValid()) {
            std::fprintf(stderr, "could not reach %s\n", qPrintable(bigDir));
            status = 1;
        } else {
            auto *entry = static_cast<VfsEntry *>(big.internalPointer());
            QElapsedTimer timer;
            timer.start();
            // When the last page reached the client: the rest is the model's merge.
            std::atomic<qint64> arrivedNs{0};
            const QMetaObject::Connection arrival = QObject::connect(
                peer->vfsClient(), &VfsClient::listDirectoryUpdate, &app,
                [&timer, &arrivedNs](VfsListDirectoryJob *) { arrivedNs = timer.nsecsElapsed(); },
                Qt::DirectConnection);
            model->fetchMore(big);
            if (!benchutil::waitUntil([&] { return entry->fetched && !entry->fetching; }, 600000)) {
                std::fprintf(stderr, "listing did not complete\n");
                status = 1;
            }
            modelMs = double(timer.nsecsElapsed()) / 1e6;
            QObject::disconnect(arrival);
            transferMs = double(arrivedNs.load()) / 1e6;
            if (status == 0 && model->rowCount(big) != count) {
                std::fprintf(stderr, "listed %d of %ld entries\n", model->rowCount(big), count);
                status = 1;
            }
        }
    }

    QElapsedTimer scanTimer;
    scanTimer.start();
    quint64 bytes = 0;
    const long scanned = scanWithStat(bigDir, bytes);
    const double scanMs = double(scanTimer.nsecsElapsed()) / 1e6;

    QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
    ioThread.quit();
    ioThread.wait();

    if (status != 0 || scanned != count)
        return status ? status : 1;
    std::printf("listing complete at the client after %.1f ms, merged into the model after %.1f ms\n",
                transferMs, modelMs);
    std::printf("vfs listing of %ld entries: model %.1f ms, scan with stat %.1f ms, ratio %.1f\n",
                count, modelMs, scanMs, scanMs > 0 ? modelMs / scanMs : 0.0);
    return 0;
}
