#pragma once

// The addresses a peer announces about itself (in an invitation link or its greeting) are
// kept in the database so the next start can reach it again.

#include "db/dto.h"

#include <vector>

class IDatabase;

// Addresses taken from one announcement; the rest of a longer list is ignored.
constexpr int kMaxAnnouncedTransports = 16;
// Addresses kept per peer, newest first: a peer that announces new addresses at every
// connection (a laptop moving between networks) cannot grow the table without bound.
constexpr int kMaxStoredTransports = 32;

// Stores the usable addresses of `transports` for the peer (an address it already has is
// refreshed, not added), stamped now, then drops its oldest beyond kMaxStoredTransports.
void storePeerTransports(IDatabase *database, const QString &peerUuid, const std::vector<TransportDto> &transports);
