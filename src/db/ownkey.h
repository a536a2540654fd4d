#pragma once

#include "crypto/crypto.h"

class IDatabase;

// Type of the installation's own Ed25519 signing key pair in the keys table.
inline const char *ownSigningKeyType() { return "ed25519"; }

// The installation's own Ed25519 key pair, stored under nullUuidString() in the keys table.
// Made and stored when the table holds no own key of that type at all; later calls (and
// later runs) return the stored pair. A stored key that is damaged is never replaced: every
// pairing depends on it, so the caller gets an invalid pair (isValid() false), as when the
// key can neither be loaded nor stored.
crypto::SigningKeyPair loadOrCreateOwnKeyPair(IDatabase *database);

enum class OwnKeyState { Valid, Missing, Damaged };

// The stored own key pair without ever making one; *state tells why it is invalid.
crypto::SigningKeyPair loadOwnKeyPair(IDatabase *database, OwnKeyState *state);
