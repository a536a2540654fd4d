#include "peerhost.h"

#include "app/base/configsettings.h"
#include "com/connectionmanager.h"
#include "com/nattraversal.h"
#include "com/turnclient.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "peers/peernusk.h"
#include "peers/peersetup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>
#include <QUuid>

#include <cstdio>

namespace {

// How long an invitation waits for the relay's first answer before it goes without it.
constexpr qint64 kAnnouncementWaitMs = 10000;

class StdoutReply : public PeerHost::Reply
{
public:
    explicit StdoutReply(std::function<void()> done) : m_done(std::move(done)) {}

    void line(const QString &text) override
    {
        if (!m_finished)
            print(text);
    }
    void ok() override { finish(QStringLiteral("ok")); }
    void error(const QString &text) override { finish(QStringLiteral("error ") + text); }

private:
    // The answer is read line by line: a text of several lines (a clash question with both
    // files' facts) stays on the one line it was meant for.
    static void print(const QString &text)
    {
        QString oneLine = text;
        oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QByteArray bytes = oneLine.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void finish(const QString &last)
    {
        if (m_finished)
            return;
        m_finished = true;
        print(last);
        m_done();
    }

    std::function<void()> m_done;
    bool m_finished = false;
};

} // namespace

PeerHost::PeerHost(IDatabase *database, ConnectionManager *manager, PeerModel *model, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_manager(manager)
    , m_model(model)
{
    registerCommands();
    registerFileCommands();
    registerCrashCommands();
    // Commands that need peers wait for the network side to be built.
    connect(manager, &ConnectionManager::started, this, [this] {
        m_started = true;
        next();
    }, Qt::QueuedConnection);
}

void PeerHost::addCommand(const QString &name, int minArgs, int maxArgs, Handler handler)
{
    m_commands.insert(name, {minArgs, maxArgs, std::move(handler)});
}

void PeerHost::enqueue(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    // An abort must reach a running job now, not once the command that follows it (and
    // waits for the job's end) is done; the queued line then reports how the job ended.
    if (m_busy && trimmed.split(QRegularExpression(QStringLiteral("\\s+"))) == QStringList{QStringLiteral("answer"), QStringLiteral("abort")})
        abortFollowedJob();
    m_queue.append(trimmed);
    next();
}

void PeerHost::onInputClosed()
{
    m_inputClosed = true;
    next();
}

void PeerHost::next()
{
    if (m_busy || !m_started)
        return;
    if (m_queue.isEmpty()) {
        if (m_inputClosed)
            QCoreApplication::quit();
        return;
    }
    const QString line = m_queue.takeFirst();
    QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    const QString name = words.takeFirst();
    m_busy = true;
    auto reply = std::make_shared<StdoutReply>([this] {
        m_busy = false;
        QMetaObject::invokeMethod(this, &PeerHost::next, Qt::QueuedConnection);
    });
    const auto it = m_commands.constFind(name);
    if (it == m_commands.constEnd()) {
        reply->error(QStringLiteral("unknown command"));
        return;
    }
    if (words.size() < it->minArgs || words.size() > it->maxArgs) {
        reply->error(QStringLiteral("wrong number of arguments"));
        return;
    }
    it->handler(words, reply);
}

void PeerHost::registerCommands()
{
    addCommand(QStringLiteral("id"), 0, 0, [this](const QStringList &, const std::shared_ptr<Reply> &reply) {
        const crypto::SigningKeyPair own = loadOrCreateOwnKeyPair(m_database);
        if (!own.isValid())
            return reply->error(QStringLiteral("no own key"));
        reply->line(nullUuidString() + QLatin1Char(' ') + QString::fromLatin1(own.publicKey.toHex()));
        reply->ok();
    });

    addCommand(QStringLiteral("invite"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const QString code = args.at(0);
        if (!QRegularExpression(QStringLiteral("^[0-9a-fA-F]{8}$")).match(code).hasMatch())
            return reply->error(QStringLiteral("the code must be 8 hexadecimal digits"));
        // The link carries the addresses known when it is made: a relay still being asked
        // for would be missing from it, and with it the one way in from behind a symmetric NAT.
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        auto *timer = new QTimer(this);
        auto make = [this, code, reply, clock, timer] {
            if (!timer->isActive() || (m_manager->isAnnouncementPending() && clock->elapsed() < kAnnouncementWaitMs))
                return;
            timer->stop();
            timer->deleteLater();
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            InvitationDto invitation;
            invitation.uuid = newUuidString();
            invitation.name = invitation.uuid.mid(1).section(QLatin1Char('-'), 2, 2);
            invitation.password = code;
            invitation.timestamp = now;
            invitation.expires = now + kInvitationLifetimeSecs;
            const com::Greeting own = ownGreeting(m_database);
            const QUrl link = encodeInvitationLink(m_database, own.attributes.value(peerAttrDeviceType()).toInt(),
                                                   invitation.uuid, own.attributes.value(peerAttrName()), code, now,
                                                   m_transports ? m_transports() : m_manager->localTransports());
            if (link.isEmpty())
                return reply->error(QStringLiteral("cannot build the link"));
            if (!m_database->putInvitation(invitation))
                return reply->error(QStringLiteral("cannot store the invitation"));
            reply->line(link.toString());
            reply->line(invitation.uuid);
            reply->ok();
        };
        connect(timer, &QTimer::timeout, this, make);
        timer->start(50);
        make();
    });

    // Forgets an invitation as if its user had deleted it.
    addCommand(QStringLiteral("uninvite"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        if (!m_database->deleteInvitation(args.at(0)))
            return reply->error(QStringLiteral("no such invitation"));
        reply->ok();
    });

    addCommand(QStringLiteral("accept"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        if (!acceptInvitation(m_database, args.at(0), args.at(1)))
            return reply->error(QStringLiteral("invitation not accepted"));
        reply->ok();
    });

    // peers: "<uuid> TAB <name> TAB <link state> TAB <transport> TAB <round trip ms>", the
    // transport one of tcp, udp, turn, turn-tls (the relay reached over TLS), onion, or "-"
    // without a link; the round trip "-" until measured.
    addCommand(QStringLiteral("peers"), 0, 0, [this](const QStringList &, const std::shared_ptr<Reply> &reply) {
        for (IPeer *peer : m_model->peers()) {
            QString transport = QStringLiteral("-");
            int rtt = -1;
            if (auto *nusk = qobject_cast<PeerNusk *>(peer)) {
                const com::NatTraversal *nat = m_manager->nat();
                QMetaObject::invokeMethod(
                    nusk,
                    [nusk, nat, &transport, &rtt] {
                        const QString type = nusk->linkTransport();
                        if (type.isEmpty())
                            return;
                        const bool tls = type == QLatin1String("turn") && nat && nat->turn()->isTls();
                        transport = tls ? QStringLiteral("turn-tls") : type;
                        rtt = nusk->linkRttMs();
                    },
                    Qt::BlockingQueuedConnection);
            }
            reply->line(QStringList{peer->uuid(), peer->name(), QString::number(peer->linkState()), transport,
                                    rtt < 0 ? QStringLiteral("-") : QString::number(rtt)}
                            .join(QLatin1Char('\t')));
        }
        reply->ok();
    });

    addCommand(QStringLiteral("wait-up"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        bool ok = false;
        const double seconds = args.at(1).toDouble(&ok);
        if (!ok || seconds < 0 || seconds > 3600)
            return reply->error(QStringLiteral("bad number of seconds"));
        const QString uuid = args.at(0);
        auto *timer = new QTimer(this);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        const qint64 limitMs = qint64(seconds * 1000);
        auto check = [this, uuid, reply, timer, clock, limitMs] {
            IPeer *peer = m_model->getPeerForUuid(uuid);
            if (peer && peer->linkState() == IPeer::LinkUp) {
                timer->deleteLater();
                timer->stop();
                return reply->ok();
            }
            if (clock->elapsed() >= limitMs) {
                timer->deleteLater();
                timer->stop();
                return reply->error(peer ? QStringLiteral("timeout, link state %1").arg(peer->linkState())
                                         : QStringLiteral("timeout, no such peer"));
            }
        };
        connect(timer, &QTimer::timeout, this, check);
        timer->start(20);
        check();
    });

    addCommand(QStringLiteral("net"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const QString value = args.at(0);
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return reply->error(QStringLiteral("expected on or off"));
        const bool enabled = value == QLatin1String("on");
        {
            ConfigSettings settings;
            settings->setValue(QStringLiteral("network/enabled"), enabled);
        }
        QMetaObject::invokeMethod(m_manager, [manager = m_manager, enabled] { manager->setNetworkEnabled(enabled); },
                                  Qt::BlockingQueuedConnection);
        reply->ok();
    });

    addCommand(QStringLiteral("quit"), 0, 0, [](const QStringList &, const std::shared_ptr<Reply> &reply) {
        reply->ok();
        QCoreApplication::quit();
    });
}
