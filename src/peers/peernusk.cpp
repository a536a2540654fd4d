#include "peers/peernusk.h"

#include "app/base/log.h"
#include "com/hub.h"
#include "com/link.h"
#include "com/termstream.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "peers/invitation.h"
#include "peers/peeraclmodel.h"
#include "peers/peertimings.h"
#include "peers/peertransports.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace {

constexpr int kMaxDialTargets = 16;
constexpr int kMaxAttributeChars = 256;
// Addresses change when a relay or a router restarts: a few announcements a minute are
// plenty, and a peer sending more must not keep the database busy.
constexpr int kMaxAnnouncementsPerWindow = 8;
constexpr qint64 kAnnouncementWindowMs = 60 * 1000;

// Every link of one dialling round carries the round's stamp in its greeting, so that the
// listener orders a dialler's links exactly as the dialler does: a later round supersedes
// whatever is left of an earlier one (a link half-dead since the computer slept), and within
// one round the smaller channel binding wins. Both sides know both values of every link.
const char kDialRoundProperty[] = "nuskDialRound";
// The address a dialled link was sent to ("type|host|port"), so that nobody dials it twice at once.
const char kDialTargetProperty[] = "nuskDialTarget";

QString dialTargetKey(const DialTarget &target)
{
    return target.type + QLatin1Char('|') + target.host + QLatin1Char('|') + QString::number(target.port);
}
QString greetingAttrDialRound()
{
    return QStringLiteral("dialround");
}

// Milliseconds since the epoch, but strictly rising within this process even if the clock
// is set back.
qint64 nextDialRound()
{
    static std::atomic<qint64> last{0};
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 previous = last.load();
    qint64 next;
    do {
        next = qMax(now, previous + 1);
    } while (!last.compare_exchange_weak(previous, next));
    return next;
}

// The dial policy's windows must not stretch or shrink when the wall clock is set.
qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

qint64 dialRoundOf(const com::Link *link)
{
    if (link->isOutgoing())
        return link->property(kDialRoundProperty).toLongLong();
    bool ok = false;
    const qint64 round = link->remoteGreeting().attributes.value(greetingAttrDialRound()).toLongLong(&ok);
    return ok && round > 0 ? round : 0;
}

void addHandshakePart(com::Greeting &greeting, const QByteArray &channelBinding, const QString &invitationUuid,
                      const QByteArray &proofKey)
{
    greeting.fsoVersions = PeerNusk::fsoProtocolVersions();
    if (invitationUuid.isEmpty() || proofKey.isEmpty())
        return;
    const QByteArray proof = invitationProof(proofKey, invitationUuid, channelBinding);
    if (proof.isEmpty())
        return;
    greeting.attributes.insert(peerAttrInvitation(), invitationUuid);
    greeting.attributes.insert(greetingAttrInvitationProof(), QString::fromLatin1(proof.toHex()));
}

} // namespace

PeerNusk::PeerNusk(const PeerDto &dto, IDatabase *database, com::Hub *hub, QObject *parent)
    : IPeer(dto, parent)
    , m_database(database)
    , m_hub(hub)
{
    init();
    reload();
    connectDatabase();
    reloadAcls();
}

PeerNusk::PeerNusk(const PeerDto &dto, const Contact &contact, IDatabase *database, com::Hub *hub,
                   QObject *parent)
    : IPeer(dto, parent)
    , m_database(database)
    , m_hub(hub)
    , m_contact(contact)
    , m_provisional(true)
{
    // What the user's invitation gave is dialled at once.
    m_dialPolicy.trust(contact.transports);
    init();
}

PeerNusk::~PeerNusk()
{
    m_retired = true;
    QList<QPointer<com::Link>> all = m_dialing;
    all << m_link << m_serverLink;
    for (const QPointer<com::Link> &link : all) {
        if (!link)
            continue;
        disconnect(link, nullptr, this, nullptr);
        link->close(QStringLiteral("peer gone"));
    }
}

const std::vector<std::uint16_t> &PeerNusk::fsoProtocolVersions()
{
    static const std::vector<std::uint16_t> versions{4, 3, 2, 1};
    return versions;
}

void PeerNusk::init()
{
    qRegisterMetaType<std::vector<unsigned char>>("std::vector<unsigned char>");
    qRegisterMetaType<std::vector<PeerAclDto>>("std::vector<PeerAclDto>");
    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &PeerNusk::dial);
    m_upgradeTimer = new QTimer(this);
    connect(m_upgradeTimer, &QTimer::timeout, this, &PeerNusk::dialBetter);
    m_choiceTimer = new QTimer(this);
    m_choiceTimer->setSingleShot(true);
    connect(m_choiceTimer, &QTimer::timeout, this, [this] {
        m_roundGraceOver = true;
        onRoundOver();
    });
}

VfsClient *PeerNusk::vfsClient() const
{
    QMutexLocker lock(&m_mutex);
    return m_vfsClient;
}

void PeerNusk::attachEndpoint(std::unique_ptr<PeerEndpoint> endpoint)
{
    QMutexLocker aclLock(&m_aclMutex);
    m_endpoint = std::move(endpoint);
    {
        QMutexLocker lock(&m_mutex);
        m_vfsClient = m_endpoint ? m_endpoint->client() : nullptr;
    }
    if (m_endpoint)
        m_endpoint->setAcl(acls());
}

QByteArray PeerNusk::publicKey() const
{
    QMutexLocker lock(&m_mutex);
    return m_contact.publicKey;
}

std::vector<TransportDto> PeerNusk::transports() const
{
    QMutexLocker lock(&m_mutex);
    return m_contact.transports;
}

std::vector<PeerAclDto> PeerNusk::acls() const
{
    QMutexLocker lock(&m_mutex);
    return m_acls;
}

bool PeerNusk::isProvisional() const
{
    QMutexLocker lock(&m_mutex);
    return m_provisional;
}

qint64 PeerNusk::msSinceActivity() const
{
    QMutexLocker lock(&m_mutex);
    return m_activity.isValid() ? m_activity.elapsed() : -1;
}

QString PeerNusk::linkTransport() const
{
    return m_link && m_link->isEstablished() ? com::Hub::transportOf(m_link) : QString();
}

int PeerNusk::linkRttMs() const
{
    return m_link && m_link->isEstablished() ? m_link->rttMs() : -1;
}

QByteArray PeerNusk::ownKey() const
{
    return m_hub ? m_hub->ownPublicKey() : QByteArray();
}

quint16 PeerNusk::localPort() const
{
    return m_hub ? m_hub->listenPort() : 0;
}

// ---------------------------------------------------------------------------------------------
// Database

void PeerNusk::connectDatabase()
{
    if (!m_database)
        return;
    const QString own = uuid();
    // Stores come in bursts of rows (a new peer: key, transports, attributes); one re-read
    // after the burst is enough.
    auto scheduleReload = [this, own](const QString &peerUuid) {
        if (peerUuid != own)
            return;
        QMetaObject::invokeMethod(this, &PeerNusk::reload, Qt::QueuedConnection);
    };
    // Access changes take effect at once (this runs on the peer's thread already): a second
    // hop through the event queue let a request that arrived meanwhile pass under the old
    // rules, so a share just taken back could still be listed.
    auto reloadAclsOf = [this, own](const QString &peerUuid) {
        if (peerUuid == own)
            reloadAcls();
    };
    connect(m_database, &IDatabase::addedTransport, this, scheduleReload);
    connect(m_database, &IDatabase::changedTransport, this, scheduleReload);
    connect(m_database, &IDatabase::removedTransport, this, scheduleReload);
    connect(m_database, &IDatabase::changedPeerAttribute, this, scheduleReload);
    connect(m_database, &IDatabase::removedPeerAttribute, this, scheduleReload);
    connect(m_database, &IDatabase::addedKey, this, scheduleReload);
    connect(m_database, &IDatabase::changedKey, this, scheduleReload);
    connect(m_database, &IDatabase::removedKey, this, scheduleReload);
    connect(m_database, &IDatabase::addedPeerAcl, this, reloadAclsOf);
    connect(m_database, &IDatabase::changedPeerAcl, this, reloadAclsOf);
    connect(m_database, &IDatabase::removedPeerAcl, this, reloadAclsOf);
}

void PeerNusk::reload()
{
    if (!m_database || m_retired || isProvisional())
        return;
    const QString own = uuid();
    const bool local = isLocal();

    Contact contact;
    if (local) {
        contact.publicKey = ownKey();
        if (contact.publicKey.isEmpty())
            contact.publicKey = loadOrCreateOwnKeyPair(m_database).publicKey;
    } else {
        for (const CryptoKeyDto &key : m_database->loadKeys(own)) {
            if (key.type == QLatin1String(ownSigningKeyType()) && key.publicKey.size() == crypto::kSignPublicKeyBytes) {
                contact.publicKey = key.publicKey;
                break;
            }
        }
        contact.transports = m_database->loadTransports(own);
        // Where this computer has had the peer before is its own finding, not the peer's word.
        std::vector<TransportDto> worked;
        std::copy_if(contact.transports.begin(), contact.transports.end(), std::back_inserter(worked),
                     [](const TransportDto &t) { return t.worked > 0; });
        m_dialPolicy.trust(worked);
    }

    QString name;
    QString icon;
    int deviceType = DeviceUnknown;
    for (const PeerAttributeDto &a : m_database->loadPeerAttributes(own)) {
        if (a.name == peerAttrName())
            name = a.value;
        else if (a.name == peerAttrIcon())
            icon = a.value;
        else if (a.name == peerAttrDeviceType())
            deviceType = a.value.toInt();
        else if (a.name == peerAttrInvitation())
            contact.invitationUuid = a.value;
        else if (a.name == peerAttrInvitationProofKey())
            contact.invitationProofKey = QByteArray::fromHex(a.value.toLatin1());
    }
    if (local) {
        if (name.isEmpty())
            name = QSysInfo::machineHostName();
        if (deviceType == DeviceUnknown)
            deviceType = DeviceDesktop;
    }
    if (icon.isEmpty())
        icon = iconForDeviceType(deviceType);

    bool keyChanged;
    {
        QMutexLocker lock(&m_mutex);
        keyChanged = m_contact.publicKey != contact.publicKey;
        m_contact = contact;
    }
    setName(name);
    setIcon(icon);
    setDeviceType(deviceType);

    if (keyChanged && m_link) {
        // Whoever was proven on the open link is no longer this peer's key.
        if (m_link->remotePublicKey() != contact.publicKey && !local)
            m_link->close(QStringLiteral("key changed"));
    }
    // New addresses may make a peer reachable that had nothing to dial.
    if (m_started && !m_link && m_dialing.isEmpty() && !m_retryTimer->isActive())
        dial();
}

void PeerNusk::reloadAcls()
{
    if (!m_database || isProvisional())
        return;
    setAcls(m_database->loadPeerAcls(uuid()));
}

void PeerNusk::setAcls(std::vector<PeerAclDto> acls)
{
    QMutexLocker aclLock(&m_aclMutex);
    PeerAclModel *model = aclModel();
    {
        QMutexLocker lock(&m_mutex);
        m_acls = acls;
    }
    if (model)
        model->updateAcls(acls);   // queues itself onto the model's thread
    if (m_endpoint)
        m_endpoint->setAcl(acls);
}

// ---------------------------------------------------------------------------------------------
// Links

void PeerNusk::start()
{
    if (m_started)
        return;
    m_started = true;
    // Not at once: a peer made for an incoming link gets that link in the same turn of the
    // event loop and then has nothing to dial.
    QMetaObject::invokeMethod(this, &PeerNusk::dial, Qt::QueuedConnection);
}

void PeerNusk::setNetworkEnabled(bool enabled)
{
    if (m_networkEnabled == enabled)
        return;
    m_networkEnabled = enabled;
    if (isLocal())
        return;
    if (!enabled) {
        m_retryTimer->stop();
        const QList<QPointer<com::Link>> all = QList<QPointer<com::Link>>(m_dialing) << m_link;
        for (const QPointer<com::Link> &link : all) {
            if (link)
                link->close(QStringLiteral("network disabled"));
        }
        setLinkState(LinkDown);
        return;
    }
    m_attempts = 0;
    if (m_started && !m_link && m_dialing.isEmpty())
        dial();
}

void PeerNusk::retire()
{
    m_retired = true;
    m_retryTimer->stop();
    const QList<QPointer<com::Link>> all = QList<QPointer<com::Link>>(m_dialing) << m_link << m_serverLink;
    for (const QPointer<com::Link> &link : all) {
        if (link)
            link->close(QStringLiteral("peer removed"));
    }
    setLinkState(LinkDown);
}

void PeerNusk::makeStored()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_provisional)
            return;
        m_provisional = false;
    }
    connectDatabase();
    reload();
    reloadAcls();
    // Now that it is stored, keep what the first greeting said (addresses above all), and
    // that the address dialled reached it.
    if (m_link && m_link->isEstablished()) {
        takeGreeting(m_link);
        noteAddressWorked(m_link);
    }
}

void PeerNusk::dial()
{
    // A link deleted without a word (its hub going) is no dial under way.
    m_dialing.removeAll(QPointer<com::Link>());
    if ((m_link && m_link->isEstablished()) || !m_dialing.isEmpty())
        return;
    dialAddresses();
}

void PeerNusk::onNetworkReturned()
{
    // The back-off grew while there was no network to reach anyone over; it says nothing
    // about the peer. What a round under way still waits for is left to it.
    if (isLocal() || (m_link && m_link->isEstablished()))
        return;
    m_attempts = 0;
    m_retryTimer->stop();
    dialAddresses();
}

void PeerNusk::dialAddresses()
{
    if (m_retired || !m_started || !m_hub)
        return;
    const bool local = isLocal();
    if (!local && !m_networkEnabled) {
        setLinkState(LinkDown);
        return;
    }

    Contact contact;
    {
        QMutexLocker lock(&m_mutex);
        contact = m_contact;
    }
    if (contact.publicKey.size() != crypto::kSignPublicKeyBytes)
        return;
    if (!local && contact.publicKey == ownKey()) {
        // Dialling the own key would reach this program itself as if it were another computer.
        setLinkState(LinkDown);
        return;
    }

    QList<DialTarget> targets;
    bool deferred = false;
    if (local) {
        if (localPort() != 0)
            targets.append({QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), localPort()});
    } else {
        const com::Hub *hub = m_hub;
        targets = m_dialPolicy.admit(dialTargets(contact.transports, kMaxStoredTransports,
                                                 [hub](const QString &type) { return hub->canDial(type); }),
                                     kMaxDialTargets, monotonicMs(), &deferred);
    }
    dropAddressesUnderWay(&targets);
    if (targets.isEmpty()) {
        if (!m_dialing.isEmpty())
            return;   // the round under way goes on
        setLinkState(LinkDown);
        // The listener may not be bound yet; new addresses wait for room in the next minute.
        if (local || deferred)
            scheduleRetry();
        return;
    }

    setLinkState(LinkConnecting);
    startDialling(contact, targets, local);
}

void PeerNusk::dropAddressesUnderWay(QList<DialTarget> *targets) const
{
    // Unreachable addresses wait out their handshake time; they are not dialled twice.
    QSet<QString> underWay;
    for (const QPointer<com::Link> &link : qAsConst(m_dialing)) {
        if (link)
            underWay.insert(link->property(kDialTargetProperty).toString());
    }
    targets->erase(std::remove_if(targets->begin(), targets->end(),
                                  [&underWay](const DialTarget &t) { return underWay.contains(dialTargetKey(t)); }),
                   targets->end());
}

void PeerNusk::dialBetter()
{
    // The link stays as it is; a better one that comes up replaces it (prefer()).
    if (m_retired || !m_started || !m_hub || isLocal() || !m_networkEnabled)
        return;
    if (!m_link || !m_link->isEstablished())
        return;
    const int current = transportRank(com::Hub::transportOf(m_link));
    if (current == 0)
        return;
    Contact contact;
    {
        QMutexLocker lock(&m_mutex);
        contact = m_contact;
    }
    const com::Hub *hub = m_hub;
    QList<DialTarget> targets = m_dialPolicy.admit(
        dialTargets(contact.transports, kMaxStoredTransports,
                    [hub, current](const QString &type) { return transportRank(type) < current && hub->canDial(type); }),
        kMaxDialTargets, monotonicMs());
    dropAddressesUnderWay(&targets);
    if (!targets.isEmpty())
        startDialling(contact, targets, false);
}

void PeerNusk::startDialling(const Contact &contact, const QList<DialTarget> &targets, bool local)
{
    const QString invitation = local ? QString() : contact.invitationUuid;
    const QByteArray proofKey = local ? QByteArray() : contact.invitationProofKey;
    const qint64 round = nextDialRound();
    // A round that may bring the first link decides what is announced; one that only looks
    // for a better transport beside a kept link does not hold the choice back.
    if (!m_link) {
        m_roundGraceOver = false;
        m_choiceTimer->stop();
    }
    const com::GreetingAmender amend = [invitation, proofKey, round, local](com::Greeting &greeting,
                                                                            const QByteArray &binding) {
        addHandshakePart(greeting, binding, invitation, proofKey);
        if (!local)
            greeting.attributes.insert(greetingAttrDialRound(), QString::number(round));
    };
    // A name the peer announced is held, once resolved, to the rules its address would have
    // met; tor resolves onion addresses, this computer never does.
    const com::AddressCheck mayDial = local ? com::AddressCheck() : m_dialPolicy.addressCheck();
    for (const auto &target : targets) {
        const bool resolvedHere = target.type != QLatin1String("onion");
        com::Link *link = m_hub->connectTo(target.host, target.port, contact.publicKey, amend, target.type,
                                           resolvedHere ? mayDial : com::AddressCheck());
        link->setProperty(kDialRoundProperty, round);
        link->setProperty(kDialTargetProperty, dialTargetKey(target));
        m_dialing.append(link);
        connect(link, &com::Link::established, this, [this, link] { onDialEstablished(link); });
        connect(link, &com::Link::closed, this, [this, link] { onLinkClosed(link); });
    }
}

void PeerNusk::scheduleRetry()
{
    if (m_retired || !m_started || m_retryTimer->isActive())
        return;
    if (!isLocal() && !m_networkEnabled)
        return;
    const PeerTimings timings = peerTimings();
    qint64 delay = timings.retryInitialMs;
    for (int i = 0; i < m_attempts && delay < timings.retryMaxMs; ++i)
        delay *= 2;
    delay = qMin<qint64>(delay, timings.retryMaxMs);
    // Some spread, so that two computers that lost each other do not dial in lockstep.
    delay = delay * QRandomGenerator::global()->bounded(80, 121) / 100;
    ++m_attempts;
    m_retryTimer->start(int(qMax<qint64>(1, delay)));
}

void PeerNusk::onDialEstablished(com::Link *link)
{
    m_dialing.removeAll(link);
    noteAddressWorked(link);
    // The other addresses of this round are left to finish: the listener may already have
    // taken one of them, and dropping it here could leave each side holding a link the other
    // has closed. Each one that comes up is weighed against the current link by prefer(),
    // the same way on both sides, and the loser closed.
    adopt(link);
    // Whichever way it was decided, the round may be over with it.
    onRoundOver();
}

void PeerNusk::noteAddressWorked(const com::Link *link)
{
    // The peer proved its key there: after a restart this address is dialled first, and at
    // once. A link that came in proves where the peer is as well, whichever side can dial:
    // on the host the link came from, over the same transport, the ports its greeting says it
    // listens on (not the one it dialled from, nor one it listened on before).
    if (isLocal() || isProvisional() || !m_database)
        return;
    const bool outgoing = link->isOutgoing();
    const QString target = link->property(kDialTargetProperty).toString();
    const QString type = com::Hub::transportOf(link);
    const QHostAddress from = link->peerAddress();
    if (!outgoing && from.isNull())
        return;
    QSet<quint16> listening;
    for (const TransportDto &t : link->remoteGreeting().transports) {
        if (t.type == type)
            listening.insert(t.port);
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (TransportDto t : m_database->loadTransports(uuid())) {
        const bool reached = outgoing ? dialTargetKey({t.type, t.host, t.port}) == target
                                      : t.type == type && listening.contains(t.port)
                                            && QHostAddress(t.host).isEqual(from, QHostAddress::ConvertV4MappedToIPv4);
        if (reached) {
            t.worked = now;
            m_database->putTransport(t);
        }
    }
}

void PeerNusk::attachIncoming(com::Link *link)
{
    if (!link || !link->isEstablished() || m_retired) {
        if (link)
            link->close(QStringLiteral("peer not available"));
        return;
    }
    if (!isLocal() && !m_networkEnabled) {
        link->close(QStringLiteral("network disabled"));
        return;
    }
    connect(link, &com::Link::closed, this, [this, link] { onLinkClosed(link); });
    const QPointer<com::Link> adopted(link);
    adopt(link);
    // After adopt(): the addresses its greeting brought are stored by then.
    if (adopted)
        noteAddressWorked(link);
}

bool PeerNusk::prefer(com::Link *candidate, com::Link *current) const
{
    // The better transport first (both sides rank a link's transport the same).
    const int rankA = transportRank(com::Hub::transportOf(candidate));
    const int rankB = transportRank(com::Hub::transportOf(current));
    if (rankA != rankB)
        return rankA < rankB;
    // Links dialled by different sides: the one dialled by the smaller key.
    const QByteArray own = ownKey();
    const QByteArray a = candidate->isOutgoing() ? own : candidate->remotePublicKey();
    const QByteArray b = current->isOutgoing() ? own : current->remotePublicKey();
    if (a != b)
        return a < b;
    // Dialled by the same side: the later round, then the smaller binding.
    const qint64 roundA = dialRoundOf(candidate);
    const qint64 roundB = dialRoundOf(current);
    if (roundA != roundB)
        return roundA > roundB;
    return candidate->channelBinding() < current->channelBinding();
}

void PeerNusk::adopt(com::Link *link)
{
    // The local peer's links are exactly the own-key ones, whichever way they came.
    if (link->isOwnKey() != isLocal()) {
        disconnect(link, nullptr, this, nullptr);
        link->close(QStringLiteral("not this peer's key"));
        if (!m_link && m_dialing.isEmpty()) {
            setLinkState(LinkDown);
            scheduleRetry();
        }
        return;
    }
    if (isLocal()) {
        // The local computer talks to itself over two links: the one it dialled carries its
        // client's requests, the one its listener accepted carries its server's replies.
        QPointer<com::Link> &slot = link->isOutgoing() ? m_link : m_serverLink;
        if (slot && slot != link) {
            com::Link *old = slot.data();
            disconnect(old, nullptr, this, nullptr);
            old->close(QStringLiteral("replaced"));
        }
        if (!link->isOutgoing()) {
            m_serverLink = link;
            connectMessages(link);
            // Taking the listener's half is what lets the outgoing half's requests be answered.
            link->sendChosen();
            return;
        }
        keepLink(link);
    } else if (m_link && m_link != link && m_link->isEstablished()) {
        if (!prefer(link, m_link)) {
            disconnect(link, nullptr, this, nullptr);
            link->close(QStringLiteral("duplicate link"));
            return;
        }
        com::Link *old = m_link.data();
        disconnect(old, nullptr, this, nullptr);
        old->close(QStringLiteral("duplicate link"));
        keepLink(link);
        Q_EMIT requestLinkLost();
        // A link from a new round may come with new addresses (after a wake-up in another
        // network), so its greeting is kept as well.
        takeGreeting(link);
        settleLinkState();
        return;
    } else {
        keepLink(link);
    }

    m_attempts = 0;
    m_retryTimer->stop();
    m_upgradeTimer->start(peerTimings().upgradeMs);
    takeGreeting(link);
    // Up over a worse transport (the direction of the first dial decides it: a computer behind
    // NAT is reached only through its relay, while it could reach the other one directly):
    // the better addresses are tried now, not at the next upgrade round. Queued, so that the
    // addresses this greeting brought are read back first.
    if (transportRank(com::Hub::transportOf(link)) > 0)
        QTimer::singleShot(0, this, &PeerNusk::dialBetter);

    bool provisional;
    bool hadProofKey;
    {
        QMutexLocker lock(&m_mutex);
        provisional = m_provisional;
        hadProofKey = !m_contact.invitationProofKey.isEmpty();
        m_contact.invitationProofKey.clear();
    }
    // The inviter knows our key now; the proof key has done its work.
    if (hadProofKey && !provisional && m_database)
        m_database->deletePeerAttribute({uuid(), peerAttrInvitationProofKey(), QString()});

    logPrintf(LogHsk1, "peer %s link up", qUtf8Printable(uuid()));
    settleLinkState();
    if (provisional)
        Q_EMIT firstContact(link);
}

void PeerNusk::keepLink(com::Link *link)
{
    m_link = link;
    connectMessages(link);
    connect(link, &com::Link::chosenByRemote, this, [this, link] {
        if (link == m_link)
            settleLinkState();
    });
    announceChoice();
}

bool PeerNusk::roundOver() const
{
    return m_dialing.isEmpty() || m_roundGraceOver;
}

void PeerNusk::announceChoice()
{
    // Links of this side's round still on their way may yet replace the kept one: the
    // choice is told once the round is over (or its slow addresses have had their time),
    // so that the other side is not up on a link about to be closed.
    if (!m_link || !m_link->isEstablished())
        return;
    if (roundOver())
        m_link->sendChosen();
    else if (!m_choiceTimer->isActive())
        m_choiceTimer->start(peerTimings().choiceGraceMs);
}

void PeerNusk::settleLinkState()
{
    // Both sides may hold a link of their own for a moment; a request sent on the one the
    // other side then drops would never be answered. Up means: both rounds are over, the
    // other side keeps this link, and its file server is there to answer.
    // Once up, a link replaced by a better one (which the other side prefers as well) is
    // no reason to go down: answers to what is under way come on the link it keeps.
    const bool up = m_link && m_link->isChosenByRemote() && (isLocal() || roundOver());
    if (up || linkState() != LinkUp)
        setLinkState(up ? LinkUp : LinkConnecting);
}

void PeerNusk::onRoundOver()
{
    if (!roundOver() || !m_link || !m_link->isEstablished())
        return;
    announceChoice();
    settleLinkState();
}

void PeerNusk::connectMessages(com::Link *link)
{
    connect(link, &com::Link::messageReceivedSrv, this, &PeerNusk::onReceivedMessageSrv, Qt::UniqueConnection);
    connect(link, &com::Link::messageReceivedCli, this, &PeerNusk::onReceivedMessageCli, Qt::UniqueConnection);
    connect(link, &com::Link::transportsAnnounced, this, &PeerNusk::onTransportsAnnounced, Qt::UniqueConnection);
}

void PeerNusk::onTransportsAnnounced(const std::vector<TransportDto> &transports)
{
    if (isLocal() || isProvisional() || !m_database || m_retired)
        return;
    const qint64 now = monotonicMs();
    if (m_announcementWindowStartMs < 0 || now - m_announcementWindowStartMs >= kAnnouncementWindowMs) {
        m_announcementWindowStartMs = now;
        m_announcementsInWindow = 0;
    }
    if (++m_announcementsInWindow > kMaxAnnouncementsPerWindow) {
        logPrintf(LogHsk1, "peer %s announces addresses too often, ignored", qUtf8Printable(uuid()));
        return;
    }
    storePeerTransports(m_database, uuid(), transports);
    // Queued, so that the stored addresses are read back first.
    QTimer::singleShot(0, this, &PeerNusk::dialBetter);
}

void PeerNusk::onLinkClosed(com::Link *link)
{
    const bool wasDialing = m_dialing.removeAll(link) > 0;
    if (wasDialing && link->wasRefused()) {
        bool provisional;
        {
            QMutexLocker lock(&m_mutex);
            provisional = m_provisional;
        }
        if (provisional)
            Q_EMIT firstContactRefused();
    }
    if (link == m_serverLink) {
        m_serverLink = nullptr;
        return;
    }
    if (link == m_link) {
        m_link = nullptr;
        logPrintf(LogHsk1, "peer %s link down: %s", qUtf8Printable(uuid()), qUtf8Printable(link->closeReason()));
        if (!m_dialing.isEmpty() && !m_retired && (isLocal() || m_networkEnabled)) {
            // The other side chose another link of this round; it is still on its way here.
            // Should none come up, the last one to fail brings the peer down.
            setLinkState(LinkConnecting);
            Q_EMIT requestLinkLost();
            return;
        }
        setLinkState(LinkDown);
        m_attempts = 0;
        scheduleRetry();
        return;
    }
    if (wasDialing && m_dialing.isEmpty() && !(m_link && m_link->isEstablished())) {
        setLinkState(LinkDown);
        scheduleRetry();
        return;
    }
    if (wasDialing)
        onRoundOver();
}

void PeerNusk::takeGreeting(com::Link *link)
{
    HandshakeDto handshake;
    handshake.raw = link->remoteGreetingMessage();
    const com::Greeting &greeting = link->remoteGreeting();
    handshake.attributes = greeting.attributes;
    handshake.transports = greeting.transports;
    handshake.fsoVersions = greeting.fsoVersions;
    onHandshakeRequest(handshake);
}

void PeerNusk::sendHandshakeRequest(com::Greeting &greeting, const QByteArray &channelBinding) const
{
    QString invitation;
    QByteArray proofKey;
    if (!isLocal()) {
        QMutexLocker lock(&m_mutex);
        invitation = m_contact.invitationUuid;
        proofKey = m_contact.invitationProofKey;
    }
    addHandshakePart(greeting, channelBinding, invitation, proofKey);
}

void PeerNusk::onHandshakeRequest(const HandshakeDto &handshake)
{
    if (!handshake.fsoVersions.empty() && m_endpoint)
        m_endpoint->setProtocolVersion(handshake.fsoVersions.front());
    if (isLocal())
        return;

    const QString name = handshake.attributes.value(peerAttrName()).left(kMaxAttributeChars);
    const QString icon = handshake.attributes.value(peerAttrIcon()).left(kMaxAttributeChars);
    bool typeOk = false;
    const int deviceType = handshake.attributes.value(peerAttrDeviceType()).toInt(&typeOk);
    if (!name.isEmpty())
        setName(name);
    if (!icon.isEmpty())
        setIcon(icon);
    if (typeOk)
        setDeviceType(deviceType & 0xff);

    if (isProvisional() || !m_database)
        return;
    // Keep what the peer says about itself, so the next start shows and reaches it.
    const QString own = uuid();
    QMap<QString, QString> stored;
    for (const PeerAttributeDto &a : m_database->loadPeerAttributes(own))
        stored.insert(a.name, a.value);
    if (!name.isEmpty() && stored.value(peerAttrName()) != name)
        m_database->putPeerAttribute({own, peerAttrName(), name});
    if (!icon.isEmpty() && stored.value(peerAttrIcon()) != icon)
        m_database->putPeerAttribute({own, peerAttrIcon(), icon});
    if (typeOk && stored.value(peerAttrDeviceType()) != QString::number(deviceType & 0xff))
        m_database->putPeerAttribute({own, peerAttrDeviceType(), QString::number(deviceType & 0xff)});
    storePeerTransports(m_database, own, handshake.transports);
}

// ---------------------------------------------------------------------------------------------
// FSO channels

void PeerNusk::fsoTransmitCLi(std::vector<unsigned char> message)
{
    if (linkState() != LinkUp || !m_link || !m_link->isEstablished()) {
        logPrintf(LogVcli, "peer %s not up, request dropped", qUtf8Printable(uuid()));
        return;
    }
    m_link->send(std::move(message));
}

void PeerNusk::fsoTransmitSrv(std::vector<unsigned char> message)
{
    com::Link *link = (isLocal() && m_serverLink) ? m_serverLink.data() : m_link.data();
    if (linkState() != LinkUp || !link || !link->isEstablished()) {
        logPrintf(LogVsrv, "peer %s not up, reply dropped", qUtf8Printable(uuid()));
        return;
    }
    link->send(std::move(message));
}

void PeerNusk::onReceivedMessageCli(const std::vector<unsigned char> &message)
{
    com::MessageHeader header;
    if (!com::peekMessageHeader(message.data(), message.size(), header))
        return;
    if (linkState() != LinkUp)
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_activity.restart();
    }
    Q_EMIT clientMessageReceived(message);
    if (header.msgClass == com::LinkClassFsoReply && m_endpoint)
        m_endpoint->replyArrived(message);
}

void PeerNusk::onReceivedMessageSrv(const std::vector<unsigned char> &message)
{
    com::MessageHeader header;
    if (!com::peekMessageHeader(message.data(), message.size(), header))
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_activity.restart();
    }
    if (header.msgClass == com::LinkClassFsoRequest && m_endpoint)
        m_endpoint->requestArrived(message);
}
