#pragma once

// The addresses a peer announces about itself (in an invitation link or its greeting) are
// kept in the database so the next start can reach it again.

#include "db/dto.h"

#include <QList>
#include <QString>

#include <functional>
#include <vector>

class IDatabase;

// Addresses taken from one announcement; the rest of a longer list is ignored.
constexpr int kMaxAnnouncedTransports = 16;
// Addresses kept per peer: a peer that announces new addresses at every connection (a laptop
// moving between networks) cannot grow the table without bound.
constexpr int kMaxStoredTransports = 32;

// Stores the usable addresses of `transports` for the peer (an address it already has is
// refreshed, not added), stamped now. Beyond kMaxStoredTransports it keeps these, then those
// the peer was reached on (the latest first), then the newest others, and drops the rest.
void storePeerTransports(IDatabase *database, const QString &peerUuid, const std::vector<TransportDto> &transports);

// One address to dial and the transport to dial it over.
struct DialTarget
{
    QString type;
    QString host;
    quint16 port = 0;
};

// How good a transport is, best first: "tcp" 0, "udp" 1, "turn" 2, "onion" 3, others after.
// Both ends of a pair of links rank them the same, so both keep the same one.
int transportRank(const QString &type);

// The distinct usable addresses of `transports` that `canDial` accepts, at most `limit` of
// them: those this computer has had the peer on first, the most recent first; then the
// others, best transport first (the stored order kept within one).
QList<DialTarget> dialTargets(const std::vector<TransportDto> &transports, int limit,
                              const std::function<bool(const QString &type)> &canDial);
