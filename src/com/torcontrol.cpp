#include "com/torcontrol.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace com::torcontrol {

namespace {

constexpr int kMaxReadyReplies = 256;
const char kKeyPrefix[] = "ED25519-V3:";
constexpr int kExpandedKeyBytes = 64;

bool endsReply(const QString &line)
{
    return line.size() >= 4 && line.at(3) == QLatin1Char(' ') && line.at(0).isDigit() && line.at(1).isDigit()
        && line.at(2).isDigit();
}

bool startsData(const QString &line)
{
    return line.size() >= 4 && line.at(3) == QLatin1Char('+') && line.at(0).isDigit();
}

// Strict: exactly 2 * bytes hex digits.
QByteArray fromHex(const QString &text, int bytes)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]*$"));
    if (text.size() != 2 * bytes || !hex.match(text).hasMatch())
        return QByteArray();
    return QByteArray::fromHex(text.toLatin1());
}

QByteArray proof(const char *constant, const QByteArray &cookie, const QByteArray &clientNonce,
                 const QByteArray &serverNonce)
{
    return QMessageAuthenticationCode::hash(cookie + clientNonce + serverNonce, QByteArray(constant),
                                            QCryptographicHash::Sha256);
}

// The account the system's tor runs as; false when there is none.
bool torAccount(uid_t *uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[1024];
    if (::getpwnam_r("debian-tor", &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return false;
    *uid = found->pw_uid;
    return true;
}

bool mayHaveCookieOf(uid_t holder, uid_t owner)
{
    if (owner == ::getuid())
        return holder == owner;
    uid_t tor;
    return torAccount(&tor) && owner == tor && (holder == tor || holder == 0);
}

QString base32(const QByteArray &bytes)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
    QString out;
    quint32 buffer = 0;
    int bits = 0;
    for (const char c : bytes) {
        buffer = (buffer << 8) | quint8(c);
        bits += 8;
        while (bits >= 5) {
            out += QLatin1Char(alphabet[(buffer >> (bits - 5)) & 31]);
            bits -= 5;
        }
    }
    if (bits > 0)
        out += QLatin1Char(alphabet[(buffer << (5 - bits)) & 31]);
    return out;
}

} // namespace

bool ReplyReader::feed(const char *data, int size)
{
    if (m_broken)
        return false;
    m_buffer.append(data, size);
    int start = 0;
    int newline;
    while ((newline = m_buffer.indexOf('\n', start)) >= 0) {
        const int length = newline - start;
        m_replyBytes += length + 1;
        if (length > kMaxLineBytes || m_replyBytes > kMaxReplyBytes || int(m_ready.size()) >= kMaxReadyReplies) {
            m_broken = true;
            break;
        }
        const QString line = QString::fromUtf8(m_buffer.constData() + start, length).trimmed();
        start = newline + 1;
        m_lines.append(line);
        if (m_inData) {
            m_inData = line != QLatin1String(".");
            continue;
        }
        if (startsData(line)) {
            m_inData = true;
            continue;
        }
        if (!endsReply(line))
            continue;
        Reply reply{line.leftRef(3).toInt(), m_lines};
        m_lines.clear();
        m_replyBytes = 0;
        if (reply.code < 600)   // 6xx: an asynchronous event, nobody asked
            m_ready.push_back(std::move(reply));
    }
    m_buffer.remove(0, start);
    if (m_buffer.size() > kMaxLineBytes)
        m_broken = true;
    if (m_broken) {
        m_buffer.clear();
        m_lines.clear();
        m_ready.clear();
    }
    return !m_broken;
}

bool ReplyReader::next(Reply *reply)
{
    if (m_ready.empty())
        return false;
    *reply = std::move(m_ready.front());
    m_ready.pop_front();
    return true;
}

QString valueOf(const QString &line, const QString &key)
{
    const int at = line.indexOf(QLatin1Char(' ') + key + QLatin1Char('='));
    if (at < 0)
        return QString();
    const QString rest = line.mid(at + key.size() + 2);
    if (!rest.startsWith(QLatin1Char('"'))) {
        const int space = rest.indexOf(QLatin1Char(' '));
        return space < 0 ? rest : rest.left(space);
    }
    QString value;
    for (int i = 1; i < rest.size(); ++i) {
        const QChar c = rest.at(i);
        if (c == QLatin1Char('"'))
            return value;
        if (c == QLatin1Char('\\') && i + 1 < rest.size())
            value += rest.at(++i);
        else
            value += c;
    }
    return QString();   // no closing quote
}

ProtocolInfo parseProtocolInfo(const QStringList &lines)
{
    ProtocolInfo info;
    for (const QString &line : lines) {
        if (!line.startsWith(QLatin1String("250-AUTH ")))
            continue;
        info.methods = valueOf(line, QStringLiteral("METHODS")).split(QLatin1Char(','), Qt::SkipEmptyParts);
        info.cookieFile = valueOf(line, QStringLiteral("COOKIEFILE"));
    }
    return info;
}

bool parseChallenge(const QStringList &lines, Challenge *challenge)
{
    if (lines.size() != 1 || !lines.first().startsWith(QLatin1String("250 AUTHCHALLENGE ")))
        return false;
    challenge->serverHash = fromHex(valueOf(lines.first(), QStringLiteral("SERVERHASH")), 32);
    challenge->serverNonce = fromHex(valueOf(lines.first(), QStringLiteral("SERVERNONCE")), kNonceBytes);
    return !challenge->serverHash.isEmpty() && !challenge->serverNonce.isEmpty();
}

QByteArray serverProof(const QByteArray &cookie, const QByteArray &clientNonce, const QByteArray &serverNonce)
{
    return proof("Tor safe cookie authentication server-to-controller hash", cookie, clientNonce, serverNonce);
}

QByteArray clientProof(const QByteArray &cookie, const QByteArray &clientNonce, const QByteArray &serverNonce)
{
    return proof("Tor safe cookie authentication controller-to-server hash", cookie, clientNonce, serverNonce);
}

bool sameProof(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && !a.isEmpty() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

bool mayHoldControlPort(uid_t holder)
{
    uid_t tor;
    return holder == ::getuid() || holder == 0 || (torAccount(&tor) && holder == tor);
}

QByteArray readCookie(const QString &path, uid_t holder, QString *why)
{
    if (path.isEmpty()) {
        *why = QStringLiteral("no cookie file named");
        return QByteArray();
    }
    // Not blocking: a named pipe in its place must not hang the thread.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = QStringLiteral("cannot open the cookie file %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return QByteArray();
    }
    QByteArray cookie;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = QStringLiteral("%1 is not a regular file").arg(path);
    } else if (st.st_size != kCookieBytes) {
        *why = QStringLiteral("%1 is not a tor cookie (%2 bytes)").arg(path).arg(qint64(st.st_size));
    } else if (!mayHaveCookieOf(holder, st.st_uid)) {
        *why = QStringLiteral("%1 belongs to uid %2, whose tor the control port (held by uid %3) cannot be")
                   .arg(path).arg(st.st_uid).arg(holder);
    } else {
        cookie.resize(kCookieBytes + 1);
        const ssize_t got = ::read(fd, cookie.data(), size_t(cookie.size()));
        if (got == kCookieBytes) {
            cookie.resize(kCookieBytes);
        } else {
            sodium_memzero(cookie.data(), size_t(cookie.size()));
            cookie.clear();
            *why = QStringLiteral("cannot read the cookie file %1").arg(path);
        }
    }
    ::close(fd);
    return cookie;
}

QByteArray newOnionKey()
{
    // Tor's form of an Ed25519 secret key: SHA-512 of the seed, the scalar half clamped.
    unsigned char seed[32];
    unsigned char expanded[kExpandedKeyBytes];
    randombytes_buf(seed, sizeof seed);
    crypto_hash_sha512(expanded, seed, sizeof seed);
    sodium_memzero(seed, sizeof seed);
    expanded[0] &= 248;
    expanded[31] &= 63;
    expanded[31] |= 64;
    const QByteArray key = QByteArray(kKeyPrefix)
        + QByteArray::fromRawData(reinterpret_cast<const char *>(expanded), kExpandedKeyBytes).toBase64();
    sodium_memzero(expanded, sizeof expanded);
    return key;
}

QString serviceIdOf(const QByteArray &onionKey)
{
    if (!onionKey.startsWith(kKeyPrefix))
        return QString();
    const auto decoded = QByteArray::fromBase64Encoding(onionKey.mid(int(sizeof kKeyPrefix) - 1),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != kExpandedKeyBytes)
        return QString();
    unsigned char publicKey[32];
    if (crypto_scalarmult_ed25519_base_noclamp(publicKey, reinterpret_cast<const unsigned char *>(decoded.decoded.constData())) != 0)
        return QString();
    // Version 3 address: base32(public key | checksum | 0x03), checksum the first two bytes
    // of SHA3-256(".onion checksum" | public key | 0x03).
    const QByteArray key(reinterpret_cast<const char *>(publicKey), 32);
    const QByteArray version(1, '\x03');
    const QByteArray checksum =
        QCryptographicHash::hash(QByteArrayLiteral(".onion checksum") + key + version, QCryptographicHash::Sha3_256).left(2);
    return base32(key + checksum + version);
}

QString serviceIdIn(const QStringList &lines)
{
    static const QRegularExpression id(QStringLiteral("^[a-z2-7]{56}$"));
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("250-ServiceID=")) && id.match(line.mid(14)).hasMatch())
            return line.mid(14);
    return QString();
}

} // namespace com::torcontrol
