#pragma once

// What the Tor service needs to speak to a control port it cannot trust blindly: the
// reader that cuts the port's bytes into replies, the parsers of the few replies it acts
// on, SAFECOOKIE authentication and the onion service key. No sockets; any thread.
//
// A control port is a plain TCP port on 127.0.0.1, and whatever listens there may not be
// tor: any local account can open one. So a port is spoken to only when an account that
// may run tor holds it, the cookie it names is read only when it looks like tor's (a
// regular file of exactly 32 bytes) and belongs to the account whose tor that port can be,
// its bytes never go out, and the port must prove it knows them first (SAFECOOKIE). The
// onion key is made here and kept by the program; a port only ever receives it and must
// answer with the service id that key gives.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>

#include <sys/types.h>

namespace com::torcontrol {

constexpr int kCookieBytes = 32;
constexpr int kNonceBytes = 32;
constexpr int kMaxLineBytes = 64 * 1024;
constexpr int kMaxReplyBytes = 1024 * 1024;

struct Reply
{
    int code = 0;
    QStringList lines;   // every line of the reply, the last ("NNN ...") included
};

// Cuts the port's byte stream into replies. Asynchronous events (6xx) are skipped. Once a
// line or a reply runs past its bound the reader is broken for good.
class ReplyReader
{
public:
    bool feed(const char *data, int size);
    bool isBroken() const { return m_broken; }
    // The next whole reply, in order; false when none is complete.
    bool next(Reply *reply);

private:
    QByteArray m_buffer;
    QStringList m_lines;
    int m_replyBytes = 0;
    bool m_inData = false;   // inside the data lines that follow "NNN+", up to "."
    std::deque<Reply> m_ready;
    bool m_broken = false;
};

// KEY=VALUE in a reply line, a quoted value unescaped; empty when absent.
QString valueOf(const QString &line, const QString &key);

struct ProtocolInfo
{
    QStringList methods;
    QString cookieFile;
};
ProtocolInfo parseProtocolInfo(const QStringList &lines);

struct Challenge
{
    QByteArray serverHash;
    QByteArray serverNonce;
};
// "250 AUTHCHALLENGE SERVERHASH=<64 hex> SERVERNONCE=<64 hex>"; false for anything else.
bool parseChallenge(const QStringList &lines, Challenge *challenge);

// The two HMAC-SHA256 proofs of SAFECOOKIE over cookie | client nonce | server nonce.
QByteArray serverProof(const QByteArray &cookie, const QByteArray &clientNonce, const QByteArray &serverNonce);
QByteArray clientProof(const QByteArray &cookie, const QByteArray &clientNonce, const QByteArray &serverNonce);
// Constant time.
bool sameProof(const QByteArray &a, const QByteArray &b);

// Whether a control port held by `holder` may be tor: this user's own; the account the
// system's tor runs as ("debian-tor"), where there is one; and root, as the system's tor
// opens its ports before it becomes that account (and root can read all of this user's
// files anyway). Every other local account could be anybody.
bool mayHoldControlPort(uid_t holder);

// The cookie at `path` when it is a regular file (not followed through a link) of exactly
// kCookieBytes whose owner is the account whose tor a port held by `holder` can be: this
// user's from a port of this user, tor's from a port of tor or root. Else empty with the
// reason in *why. A file of this user another account's port names may hold bytes that
// account can work out (a pid, a host name), so it proves nothing.
QByteArray readCookie(const QString &path, uid_t holder, QString *why);

// A fresh onion service key as ADD_ONION takes it: "ED25519-V3:" and the base64 of the
// 64-byte expanded Ed25519 secret key.
QByteArray newOnionKey();
// The 56-character service id (without ".onion") of such a key; empty when it is none.
QString serviceIdOf(const QByteArray &onionKey);
// The ServiceID of an ADD_ONION reply; empty when it has none.
QString serviceIdIn(const QStringList &lines);

} // namespace com::torcontrol
