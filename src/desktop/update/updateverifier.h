#pragma once

// Checks a downloaded update archive: its SHA-256 digest against the feed's, and, where the
// build carries a public key, its Ed25519 signature, which is what makes the download
// trustworthy (the digest travels with the feed and authenticates nothing by itself).
// Reads the file from disk; never holds more than a block of it in memory.

#include <QByteArray>
#include <QString>

namespace UpdateVerifier {

// The Ed25519 public key compiled into this build (32 bytes); empty when the build has none.
QByteArray builtInPublicKey();

// Lower-case hexadecimal SHA-256 of the file; empty when it cannot be read.
QString sha256OfFile(const QString& path);

// True when signatureBase64 is a valid Ed25519 signature of the file's bytes under publicKey.
bool verifySignature(const QString& path, const QString& signatureBase64, const QByteArray& publicKey);

} // namespace UpdateVerifier
