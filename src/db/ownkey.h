#pragma once

#include "crypto/crypto.h"

class IDatabase;

// Type of the installation's own Ed25519 signing key pair in the keys table.
inline const char *ownSigningKeyType() { return "ed25519"; }

// The installation's own Ed25519 key pair, stored under nullUuidString() in the keys table.
// Made and stored on the first call; later calls (and later runs) return the stored pair.
// An invalid pair (isValid() false) when the key can neither be loaded nor stored.
crypto::SigningKeyPair loadOrCreateOwnKeyPair(IDatabase *database);
