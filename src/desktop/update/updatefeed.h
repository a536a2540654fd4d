#pragma once

// The update site and its feed (the "appcast"): names, the rules an address must meet, and
// the reading of the feed. Wire format only; what the program does with an offer is the
// Updater's business.

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace UpdateSite {

// The feed's name below the site's base address.
QString feedName();               // "appcast_linux.xml"
// What the archive URL of this platform's build contains, e.g. "linux_x86_64".
QString archiveMarker();
// The settings key of the base address, and the address used when it is absent.
QString baseUrlKey();             // "update/baseurl"
QString defaultBaseUrl();

// HTTPS, or plain HTTP to this computer only (127.0.0.0/8, ::1, "localhost"), which the
// tests' local servers use. Everything else carries no integrity and is refused.
bool isAcceptableUrl(const QUrl& url);

// The archive formats the unpacking reads, by the URL's path.
bool isSupportedArchiveUrl(const QUrl& url);

// A SHA-256 digest as 64 hexadecimal digits, in either case, nothing around them.
bool isSha256Hex(const QString& text);

} // namespace UpdateSite

struct UpdateOffer
{
    QString url;
    QString version;
    QString sha256;
    qint64 length = -1;  // the archive's size in bytes; -1 when the feed gives none or no number
    QString signature;   // base64 Ed25519 signature of the entry's statement; empty when none
};

namespace UpdateFeed {

// The first "enclosure" element (at any depth, in any namespace) whose "url" contains the
// marker, with its "sparkle:shortVersionString", "sha256", "length" and "signature". Fields
// the chosen element lacks stay empty; later elements are not looked at. No element: all empty.
UpdateOffer parse(const QByteArray& xml, const QString& marker);

// What a release signs for its entry (scripts/release.sh writes the same lines): the platform
// marker, the version, and the archive's size and lower-case SHA-256, each on a line of its
// own. The archive is covered through its digest, and the version with it, so a signed old
// archive cannot be offered as a newer version, nor one platform's build to another.
QByteArray statement(const UpdateOffer& offer, const QString& marker);

} // namespace UpdateFeed
