#pragma once

// Decides about keys the hub does not know (first contacts). A computer that accepted one of
// our invitations proves in its greeting that it knows the password of a stored, unexpired
// invitation, bound to this very connection (invitation.h); only then is it stored as a new
// peer of type "nusk" and admitted. Anything else is refused and nothing is stored.

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
    PeerAuthenticator(IDatabase *database, PeerLoader *loader, QObject *parent = nullptr);

    // The hub's first-contact hook: the uuid of the stored peer, or empty to refuse.
    QString admit(const com::Link &link);

private:
    IDatabase *m_database = nullptr;
    PeerLoader *m_loader = nullptr;
};
