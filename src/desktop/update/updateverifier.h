#pragma once

// What makes an update trustworthy: the feed entry's Ed25519 signature under the release key
// compiled into the build, which vouches for the archive's size and SHA-256; and the
// downloaded archive's digest, which must then match. The digest alone authenticates
// nothing, since it travels with the feed. A build without a key cannot tell a release from
// anything else a feed offers, so it installs nothing.

#include <QByteArray>
#include <QString>

struct UpdateOffer;

namespace UpdateVerifier {

// The Ed25519 public key compiled into this build (32 bytes); empty when the build has none.
QByteArray builtInPublicKey();

// Lower-case hexadecimal SHA-256 of the file; empty when it cannot be read. Reads the file
// block by block, never more of it at once.
QString sha256OfFile(const QString& path);

// True when the entry's signature is valid for its statement under publicKey (32 bytes).
bool verifyOffer(const UpdateOffer& offer, const QString& marker, const QByteArray& publicKey);

} // namespace UpdateVerifier
