// The peer host's crash hook: ends the whole process with SIGKILL at an exact point of the
// file protocol, so a test can see what a sudden death leaves behind without guessing the
// moment with sleeps.

#include "peerhost.h"

#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QHash>
#include <QPointer>
#include <QThread>

#include <csignal>
#include <unistd.h>

void PeerHost::registerCrashCommands()
{
    // crash-on <move|open|delete|mkdir> <path-suffix>: the moment a request of that kind
    // whose path (a move's source) ends with the suffix reaches any of this computer's file
    // servers, before the server acts on it, the process is killed. Stays armed until it fires.
    addCommand(QStringLiteral("crash-on"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        static const QHash<QString, std::uint8_t> codes = {{QStringLiteral("move"), FSO_MOVE},
                                                           {QStringLiteral("open"), FSO_OPEN_FILE},
                                                           {QStringLiteral("delete"), FSO_DELETE_FILE},
                                                           {QStringLiteral("mkdir"), FSO_MAKE_DIRECTORY}};
        if (!codes.contains(args.at(0)))
            return reply->error(QStringLiteral("unknown request kind"));
        const std::uint8_t code = codes.value(args.at(0));
        const std::string suffix = args.at(1).toStdString();
        for (IPeer *peer : m_model->peers()) {
            QPointer<IPeer> guard(peer);
            // The parsers belong to the peer's thread; connect there.
            QMetaObject::invokeMethod(peer, [guard, code, suffix] {
                if (!guard)
                    return;
                for (VfsFenuCommandParser *parser : guard->findChildren<VfsFenuCommandParser *>()) {
                    QObject::connect(
                        parser, &VfsFenuCommandParser::commandReceived, parser,
                        [code, suffix](const VfsFenuCommand *cmd) {
                            const std::string &path = cmd->path;
                            if (cmd->msgClass == FSO_CLASS_REQUEST && cmd->code == code && path.size() >= suffix.size()
                                && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
                                ::kill(::getpid(), SIGKILL);
                        },
                        Qt::DirectConnection);
                }
            }, peer->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
        }
        reply->ok();
    });
}
