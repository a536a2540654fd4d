// nusk-peerhost: the program's network side without a window, for tests.
//
//   nusk-peerhost --config-dir=DIR --com-listen-port=N [--retry-ms=N] [--retry-max-ms=N]
//                 [--ping-ms=N] [--silence-ms=N] [--handshake-ms=N] [--loopback-transports=1]
//                 [--job-retry-ms=N] [--job-flush-ms=N] [--progress-ms=N] [--fso-timeout-ms=N]
//
// --job-retry-ms: pause of a copy job before it retries after a failure (default 15000).
// --job-flush-ms: how long what a copy finished waits before it asks the destination to put it
//   on its disk (default 150); a long one leaves the flush of its end alone.
// --progress-ms: copy jobs also report their figures this often while they run.
// --fso-timeout-ms: how long the file requests of a job wait for a reply (15000, transfers
//   60000): a link cut under a job is noticed by this timeout.
//
// Reads one command a line on standard input (see peerhost.cpp for the table); each answer
// ends with a line "ok" or "error <text>". End of input quits.

#include "peerhost.h"

#include "app/base/configsettings.h"
#include "com/connectionmanager.h"
#include "com/hub.h"
#include "db/sqlitedatabase.h"
#include "peers/dialpolicy.h"
#include "peers/peermodel.h"
#include "app/startup/networkside.h"
#include "app/startup/startupguard.h"
#include "app/startup/unixsignals.h"
#include "vfs/server/asidekey.h"
#include "vfs/server/versionlinger.h"
#include "vfs/server/vfswatcher.h"
#include "peers/peertimings.h"

#include <QCoreApplication>
#include <QSettings>
#include <QThread>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char *argv[])
{
    // SIGTERM and SIGINT end the event loop: jobs, links and the lock go as at "quit".
    UnixSignalWatcher::installHandlers();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nusk"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarnquist"));
    UnixSignalWatcher signalWatcher;
    StartupGuard startupGuard(configDirectory());
    if (!startupGuard.prepareDirectory()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return StartupGuard::ExitConfigUnusable;
    }

    PeerTimings timings;
    timings.retryInitialMs = appArgumentInt(QStringLiteral("--retry-ms"), timings.retryInitialMs);
    timings.retryMaxMs = appArgumentInt(QStringLiteral("--retry-max-ms"), timings.retryMaxMs);
    setPeerTimings(timings);
    com::LinkTimings linkTimings;
    linkTimings.pingIntervalMs = appArgumentInt(QStringLiteral("--ping-ms"), linkTimings.pingIntervalMs);
    linkTimings.silenceMs = appArgumentInt(QStringLiteral("--silence-ms"), linkTimings.silenceMs);
    linkTimings.handshakeMs = appArgumentInt(QStringLiteral("--handshake-ms"), linkTimings.handshakeMs);
    const bool loopbackTransports = appArgumentInt(QStringLiteral("--loopback-transports"), 0) != 0;
    // Copies that announce loopback to each other must also dial it.
    DialPolicy::setLoopbackPeersAllowed(loopbackTransports);

    bool networkEnabled = true;
    {
        ConfigSettings settings;
        networkEnabled = settings->value(QStringLiteral("network/enabled"), true).toBool();
    }

    if (!startupGuard.acquire()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return StartupGuard::ExitAlreadyRunning;
    }
    asidekey::keepIn(configDirectory());
    SqliteDatabase database(configDirectory());
    if (!startupGuard.checkDatabase(&database)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(startupGuard.errorString()));
        return StartupGuard::ExitConfigUnusable;
    }

    QThread ioThread;
    ioThread.setObjectName(QStringLiteral("ioThread"));
    // The drive list LIST_DRIVES serves and the directories peers watch come from here.
    VfsWatcher watcher;
    // As the program does: files a peer's delete unlinked linger a moment for a late save.
    versionguard::LingeringFiles lingeringFiles;
    PeerModel peerModel;
    NetworkSide networkSide(&database, &peerModel, &ioThread, networkEnabled);
    ConnectionManager *manager = networkSide.manager();
    manager->setLinkTimings(linkTimings);

    // Where the machine has no other interface, or tests want to stay on one host, the own
    // loopback address is announced as well.
    auto transports = [manager, loopbackTransports] {
        std::vector<TransportDto> list = manager->localTransports();
        if (loopbackTransports && manager->listenPort() != 0) {
            TransportDto t;
            t.uuid = newUuidString();
            t.type = QStringLiteral("tcp");
            t.host = QStringLiteral("127.0.0.1");
            t.port = manager->listenPort();
            t.stream = true;
            list.insert(list.begin(), t);
        }
        return list;
    };
    manager->addStartStep([manager, transports] { manager->hub()->setTransportsProvider(transports); });

    // Never deleted: the input thread may still post to it while the process ends.
    auto *hostObject = new PeerHost(&database, manager, &peerModel);
    PeerHost &host = *hostObject;
    host.setTransports(transports);
    host.setJobRetryDelay(appArgumentInt(QStringLiteral("--job-retry-ms"), -1));
    host.setJobFlushInterval(appArgumentInt(QStringLiteral("--job-flush-ms"), -1));
    host.setFsoTimeout(appArgumentInt(QStringLiteral("--fso-timeout-ms"), -1));
    host.setProgressInterval(qMax(0, appArgumentInt(QStringLiteral("--progress-ms"), 0)));


    // Standard input is read on a thread of its own; lines are queued to the host.
    std::thread reader([&host] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString text = QString::fromStdString(line);
            QMetaObject::invokeMethod(&host, [&host, text] { host.enqueue(text); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(&host, &PeerHost::onInputClosed, Qt::QueuedConnection);
    });
    reader.detach();   // blocked in a read at exit; the process ends it

    ioThread.start();
    const int rc = app.exec();

    networkSide.shutDown();
    std::fflush(stdout);
    return rc;
}
