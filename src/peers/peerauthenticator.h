#pragma once

// Decides about keys the hub does not know (first contacts). A computer that accepted one of
// our invitations proves in its greeting that it knows the password of a stored, unexpired
// invitation, bound to this very connection (invitation.h); only then is it stored as a new
// peer of type "nusk" and admitted. Anything else is refused and nothing is stored.
//
// An invitation is meant for one computer: the first key it admits uses it up (the row is
// deleted), so a leaked link and code cannot pair a second computer later.
//
// The key behind a proof is slow to derive on purpose. It is derived once per invitation and
// kept in memory, so that a stream of connection attempts with bad proofs cannot keep this
// thread busy with derivations; and an invitation answered wrongly kMaxWrongProofs times is
// withdrawn, so its code cannot be guessed online.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class IDatabase;
class PeerLoader;

namespace com {
class Link;
}

class PeerAuthenticator : public QObject
{
    Q_OBJECT

public:
    // Wrong proofs for one invitation before it is withdrawn.
    static constexpr int kMaxWrongProofs = 20;

    PeerAuthenticator(IDatabase *database, PeerLoader *loader, QObject *parent = nullptr);

    // The hub's first-contact hook: the uuid of the stored peer, or empty to refuse.
    QString admit(const com::Link &link);

    // How many proof keys were derived so far.
    int proofKeyDerivations() const { return m_derivations; }

private:
    QByteArray proofKeyFor(const QString &invitationUuid, const QString &password);

    struct CachedProofKey
    {
        QString password;
        QByteArray key;
    };
    QHash<QString, CachedProofKey> m_proofKeys;   // by invitation uuid
    QHash<QString, int> m_wrongProofs;            // by invitation uuid
    int m_derivations = 0;
    IDatabase *m_database = nullptr;
    PeerLoader *m_loader = nullptr;
};
