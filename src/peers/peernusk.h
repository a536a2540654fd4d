#pragma once

// The network peer: one computer of this network reached over authenticated links (com/link.h),
// or the local computer itself over loopback through the program's own listener.
//
// Lives on the thread of the connection manager ("ioThread"). While it has no link it dials
// every stored TCP address of the peer at once and keeps one of the links that come up; after
// a failed round it waits, doubling the wait up to PeerTimings::retryMaxMs, or until this
// computer's network comes back. A dial that fails at once (no route) is a failed dial like
// any other. With the network switched off, remote peers stay down and do not dial; the
// local peer carries on.
//
// The peer is up only once the other side has chosen the same link (com/link.h, CHOSEN):
// until then requests would travel on a link the other side may be about to close.
//
// Whenever two links to the same peer are up, both sides keep the same one without talking:
// between links dialled by different sides, the one whose dialling side has the smaller
// public key; between links dialled by the same side, the one of the later dialling round
// (each round's stamp travels in the greeting), and within a round the smaller channel
// binding. The loser is closed by whichever side decides first. So a new link always
// replaces a half-dead one left from before, and several addresses answering the same round
// settle on one link instead of each side closing the other's choice.
//
// FSO routing: the file layer's endpoint (peerendpoint.h), given once by the loader, handles
// both channels. fsoTransmitCLi/fsoTransmitSrv send while the link is up and drop otherwise;
// received messages go through a header check and, for class 0x43 (client) and 0x42
// (server), on to the endpoint.

#include "db/dto.h"
#include "peers/ipeer.h"
#include "peers/peerendpoint.h"
#include "peers/dialpolicy.h"
#include "peers/peertransports.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <vector>

class IDatabase;
class QTimer;

namespace com {
class Hub;
class Link;
struct Greeting;
} // namespace com

// A received handshake: the raw greeting message, its attributes, the sender's transports and
// FSO protocol versions (preferred first).
struct HandshakeDto
{
    QByteArray raw;
    QMap<QString, QString> attributes;
    std::vector<TransportDto> transports;
    std::vector<std::uint16_t> fsoVersions;
};
Q_DECLARE_METATYPE(HandshakeDto)

class PeerNusk : public IPeer
{
    Q_OBJECT

public:
    // What a peer needs to dial: taken from the database for stored peers, given directly for
    // an inviter whose first contact is still to succeed.
    struct Contact
    {
        QByteArray publicKey;
        std::vector<TransportDto> transports;
        QString invitationUuid;
        QByteArray invitationProofKey;
    };

    // A stored peer (or the local one, null uuid): reads key, transports, attributes and
    // access entries from the database and follows its changes.
    PeerNusk(const PeerDto &dto, IDatabase *database, com::Hub *hub, QObject *parent = nullptr);
    // A provisional peer, not stored: dials with what it was given; emits firstContact()
    // when a link comes up and is then made a stored peer by whoever listens.
    PeerNusk(const PeerDto &dto, const Contact &contact, IDatabase *database, com::Hub *hub,
             QObject *parent = nullptr);
    ~PeerNusk() override;

    static const std::vector<std::uint16_t> &fsoProtocolVersions();   // 4, 3, 2, 1

    VfsClient *vfsClient() const override;

    // Takes the file layer's endpoint for both FSO channels and tells it the current access
    // entries. Once, on the peer's thread, before start().
    void attachEndpoint(std::unique_ptr<PeerEndpoint> endpoint);

    QByteArray publicKey() const;
    std::vector<TransportDto> transports() const;
    std::vector<PeerAclDto> acls() const;
    bool isProvisional() const;
    // Milliseconds since the last FSO message arrived; -1 before the first.
    qint64 msSinceActivity() const;
    // The transport the current link travels on ("tcp", "udp", "turn", "onion"; empty without
    // a link) and its smoothed round-trip time in milliseconds (-1 before the first). On the
    // peer's thread.
    QString linkTransport() const;
    int linkRttMs() const;

    // Adds this side's part to an outgoing greeting: the FSO protocol versions and, for an
    // inviter not yet reached, the invitation uuid with the password proof for this link.
    void sendHandshakeRequest(com::Greeting &greeting, const QByteArray &channelBinding) const;
    // Takes in the other side's greeting.
    void onHandshakeRequest(const HandshakeDto &handshake);

    // An incoming link the hub admitted for this peer's uuid.
    void attachIncoming(com::Link *link);
    void setNetworkEnabled(bool enabled);
    // This computer's network came back (an interface up, an address new): without a link,
    // the peer is dialled now rather than when its back-off says.
    void onNetworkReturned();
    // Begins dialing (the loader calls this once the peer is set up).
    void start();
    // The peer's row is gone: close links, dial no more.
    void retire();
    // A provisional peer has been stored: from now on it follows the database.
    void makeStored();

public Q_SLOTS:
    void fsoTransmitCLi(std::vector<unsigned char> message);
    void fsoTransmitSrv(std::vector<unsigned char> message);
    void onReceivedMessageCli(const std::vector<unsigned char> &message);
    void onReceivedMessageSrv(const std::vector<unsigned char> &message);
    void setAcls(std::vector<PeerAclDto> acls);
    // Re-reads key, transports and attributes from the database.
    void reload();

Q_SIGNALS:
    // A provisional peer's first link is up; `link` is the adopted link.
    void firstContact(com::Link *link);
    // A provisional peer reached the computer it dials, which refused what it brought.
    void firstContactRefused();
    // Every client-channel message accepted from the link, exactly as it arrived, before it
    // is decoded; for diagnostics (the peer host's raw "send").
    void clientMessageReceived(const std::vector<unsigned char> &message);
    // The link that carried this side's requests is gone while another one replaces it
    // (kept already, or still on its way). A request sent on the old one may have died on
    // the way: the other side closes a losing link without reading what is still coming.
    // (With no link left the peer goes down instead.)
    void requestLinkLost();

private:
    void init();
    void connectDatabase();
    void reloadAcls();
    void dial();
    // Dials the contact's addresses that no dial of this peer is trying already.
    void dialAddresses();
    void dropAddressesUnderWay(QList<DialTarget> *targets) const;
    // While up over a worse transport: dials the better ones the contact has.
    void dialBetter();
    void startDialling(const Contact &contact, const QList<DialTarget> &targets, bool local);
    void scheduleRetry();
    void onDialEstablished(com::Link *link);
    // Keeps in the database that the address `link` was dialled at reached the peer.
    void noteAddressWorked(const com::Link *link);
    void onDialClosed(com::Link *link);
    void adopt(com::Link *link);
    // Makes `link` the one carrying both channels and tells the other side so.
    void keepLink(com::Link *link);
    // Every dial of the round ended, or the slow ones have had their time.
    bool roundOver() const;
    // Tells the other side which link this one keeps, once this side's round is over.
    void announceChoice();
    // Up once the other side has chosen the kept link too, connecting until then.
    void settleLinkState();
    // The last dial of a round ended: the choice stands.
    void onRoundOver();
    void connectMessages(com::Link *link);
    // New addresses the peer announced on a link that stays up: kept as a greeting's are,
    // and dialled at once where they beat the current link's transport.
    void onTransportsAnnounced(const std::vector<TransportDto> &transports);
    void onLinkClosed(com::Link *link);
    bool prefer(com::Link *candidate, com::Link *current) const;
    void takeGreeting(com::Link *link);
    QByteArray ownKey() const;
    quint16 localPort() const;

    IDatabase *m_database = nullptr;
    QPointer<com::Hub> m_hub;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_upgradeTimer = nullptr;
    QTimer *m_choiceTimer = nullptr;   // the grace of a round's slow addresses

    // Under m_mutex: what other threads may read.
    Contact m_contact;
    std::vector<PeerAclDto> m_acls;
    VfsClient *m_vfsClient = nullptr;
    bool m_provisional = false;
    QElapsedTimer m_activity;

    // Thread of the peer only.
    QPointer<com::Link> m_link;         // the link carrying both channels
    QPointer<com::Link> m_serverLink;   // local peer: the incoming half serving our own client
    QList<QPointer<com::Link>> m_dialing;
    int m_attempts = 0;
    DialPolicy m_dialPolicy;
    bool m_networkEnabled = true;
    bool m_started = false;
    bool m_retired = false;
    bool m_roundGraceOver = true;
    qint64 m_announcementWindowStartMs = -1;
    int m_announcementsInWindow = 0;

    std::unique_ptr<PeerEndpoint> m_endpoint;
    QMutex m_aclMutex;   // serialises setAcls so the endpoint sees lists in order
};
