// The peer host's fault hooks: at an exact point of the file protocol, the whole process
// dies with SIGKILL, stops, or the network goes off, so a test can see what a sudden death, a
// silent computer or a cut leaves behind without guessing the moment with sleeps.

#include "peerhost.h"

#include "com/connectionmanager.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QHash>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

// Calls `hook` with every request that reaches any of this computer's file servers, before
// the server acts on it, on the peer's thread.
void hookRequests(PeerModel *model, const std::function<void(const VfsFenuCommand &)> &hook)
{
    for (IPeer *peer : model->peers()) {
        QPointer<IPeer> guard(peer);
        // The parsers belong to the peer's thread; connect there.
        QMetaObject::invokeMethod(peer, [guard, hook] {
            if (!guard)
                return;
            for (VfsFenuCommandParser *parser : guard->findChildren<VfsFenuCommandParser *>()) {
                QObject::connect(
                    parser, &VfsFenuCommandParser::commandReceived, parser,
                    [hook](const VfsFenuCommand *cmd) {
                        if (cmd->msgClass == FSO_CLASS_REQUEST)
                            hook(*cmd);
                    },
                    Qt::DirectConnection);
            }
        }, peer->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
    }
}

// The request code of a kind the hooks name; 0 for an unknown one.
std::uint8_t requestCode(const QString &kind)
{
    static const QHash<QString, std::uint8_t> codes = {{QStringLiteral("move"), FSO_MOVE},
                                                       {QStringLiteral("open"), FSO_OPEN_FILE},
                                                       {QStringLiteral("delete"), FSO_DELETE_FILE},
                                                       {QStringLiteral("mkdir"), FSO_MAKE_DIRECTORY},
                                                       {QStringLiteral("sync"), FSO_SYNC},
                                                       {QStringLiteral("list"), FSO_LIST_DIRECTORY}};
    return codes.value(kind);
}

// The network goes off as with "net off" (not stored); not from within the link's own
// delivery: right after it.
void cutNetwork(const QPointer<ConnectionManager> &manager)
{
    QMetaObject::invokeMethod(manager, [manager] {
        if (manager)
            manager->setNetworkEnabled(false);
    }, Qt::QueuedConnection);
}

} // namespace

void PeerHost::registerCrashCommands()
{
    // crash-on <move|open|delete|mkdir|sync|list> <path-suffix>: the moment a request of that kind
    // whose path (a move's source) ends with the suffix arrives, the process is killed.
    // Stays armed until it fires.
    addCommand(QStringLiteral("crash-on"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const std::uint8_t code = requestCode(args.at(0));
        if (!code)
            return reply->error(QStringLiteral("unknown request kind"));
        const std::string suffix = args.at(1).toStdString();
        hookRequests(m_model, [code, suffix](const VfsFenuCommand &cmd) {
            const std::string &path = cmd.path;
            if (cmd.code == code && path.size() >= suffix.size()
                && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
                ::kill(::getpid(), SIGKILL);
        });
        reply->ok();
    });
    // cut-at <offset>: the moment a read at or past the offset arrives, the network goes off
    // as with "net off" (not stored), once: a copy is cut at a known point however fast it runs.
    addCommand(QStringLiteral("cut-at"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        bool ok = false;
        const quint64 offset = args.at(0).toULongLong(&ok);
        if (!ok)
            return reply->error(QStringLiteral("expected an offset"));
        auto armed = std::make_shared<std::atomic<bool>>(true);
        QPointer<ConnectionManager> manager(m_manager);
        hookRequests(m_model, [offset, armed, manager](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_READ_FILE && cmd.offset >= offset && armed->exchange(false))
                cutNetwork(manager);
        });
        reply->ok();
    });
    // stop-at <offset>: the moment a read at or past the offset arrives, the process stops
    // itself (SIGSTOP) before it answers, once: as a computer whose cable was pulled it falls
    // silent while the links to it stay up until their silence limit. SIGCONT resumes it.
    addCommand(QStringLiteral("stop-at"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        bool ok = false;
        const quint64 offset = args.at(0).toULongLong(&ok);
        if (!ok)
            return reply->error(QStringLiteral("expected an offset"));
        auto armed = std::make_shared<std::atomic<bool>>(true);
        hookRequests(m_model, [offset, armed](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_READ_FILE && cmd.offset >= offset && armed->exchange(false))
                ::raise(SIGSTOP);
        });
        reply->ok();
    });
    // cut-on <move|open|delete|mkdir|sync|list> <n> [<path-suffix>]: the moment the n-th request
    // of that kind (counted from now; with a suffix, of those whose path ends with it) arrives,
    // the network goes off as with "net off" (not stored), once.
    addCommand(QStringLiteral("cut-on"), 2, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const std::uint8_t code = requestCode(args.at(0));
        bool ok = false;
        const int n = args.at(1).toInt(&ok);
        if (!code || !ok || n < 1)
            return reply->error(QStringLiteral("expected a request kind and a count"));
        const std::string suffix = args.value(2).toStdString();
        auto seen = std::make_shared<std::atomic<int>>(0);
        QPointer<ConnectionManager> manager(m_manager);
        hookRequests(m_model, [code, n, suffix, seen, manager](const VfsFenuCommand &cmd) {
            const std::string &path = cmd.path;
            const bool named = path.size() >= suffix.size()
                               && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
            if (cmd.code == code && named && seen->fetch_add(1) + 1 == n)
                cutNetwork(manager);
        });
        reply->ok();
    });
}
