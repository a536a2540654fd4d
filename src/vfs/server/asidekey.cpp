#include "vfs/server/asidekey.h"

#include "app/base/log.h"
#include "crypto/crypto.h"
#include "db/privatefiles.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace asidekey {

namespace {

const char kFileName[] = "aside.key";
const char kNewFileName[] = "aside.key.new";
const char kDamagedFileName[] = "aside.key.damaged";
constexpr int kSecretBytes = 32;
constexpr int kTagBytes = 8;

struct Secret
{
    QByteArray bytes;
    timespec born{}; // file times are taken from the coarse clock: so is this
};

QByteArray randomSecret()
{
    QByteArray bytes(kSecretBytes, Qt::Uninitialized);
    int got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + got, std::size_t(bytes.size() - got), 0);
        if (n > 0)
            got += int(n);
        else if (errno != EINTR)
            qFatal("no random bytes for the secret of aside names");
    }
    return bytes;
}

// This process's own until one is kept: made before anything runs, so that a child forked
// later (a test's) tags its names as its parent does.
class Store
{
public:
    Store()
    {
        m_secret.bytes = randomSecret();
        ::clock_gettime(CLOCK_REALTIME_COARSE, &m_secret.born);
    }
    Secret get()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_secret;
    }
    void set(const Secret &secret)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_secret = secret;
    }

private:
    std::mutex m_mutex;
    Secret m_secret;
};

Store g_store;

enum class Stored { Read, Missing, Damaged, Unreadable };

// The key file as it stands; one with group or world access is the key still, made private.
Stored readStored(int dirFd, Secret *secret)
{
    // Not blocking on a pipe put in its place, nor following a link.
    const int fd = ::openat(dirFd, kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Stored::Missing;
        // A link, or a file of another account this one may not read: never its key.
        return errno == ELOOP || errno == EACCES || errno == EPERM ? Stored::Damaged : Stored::Unreadable;
    }
    struct stat st;
    char bytes[kSecretBytes];
    Stored state = Stored::Unreadable;
    if (::fstat(fd, &st) == 0) {
        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size != kSecretBytes)
            state = Stored::Damaged;
        else if (::read(fd, bytes, kSecretBytes) == kSecretBytes)
            state = Stored::Read;
    }
    if (state == Stored::Read && (st.st_mode & 077) && ::fchmod(fd, S_IRUSR | S_IWUSR) != 0)
        logPrintf(LogVsrv, "the key for aside names could not be made private: %s", std::strerror(errno));
    const int error = errno;
    ::close(fd);
    errno = error;
    if (state != Stored::Read)
        return state;
    secret->bytes = QByteArray(bytes, kSecretBytes);
    secret->born = st.st_mtim;
    return state;
}

// What stands where the key belongs and is none goes beside it, where a person can still look
// at it; an older such one makes room.
bool keepDamaged(int dirFd)
{
    if (::unlinkat(dirFd, kDamagedFileName, 0) != 0 && errno == EISDIR)
        ::unlinkat(dirFd, kDamagedFileName, AT_REMOVEDIR);
    return ::renameat(dirFd, kFileName, dirFd, kDamagedFileName) == 0;
}

// Written beside its place and renamed there: a run that dies meanwhile leaves no half secret,
// and one that loses power leaves the old state or the whole new key.
bool storeNew(int dirFd, Secret *secret)
{
    ::unlinkat(dirFd, kNewFileName, 0);
    const int fd = ::openat(dirFd, kNewFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QByteArray bytes = randomSecret();
    struct stat st;
    // 0600 whatever the umask: one that took the owner's reading would lose the key next run.
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0
              && ::write(fd, bytes.constData(), std::size_t(bytes.size())) == kSecretBytes && ::fsync(fd) == 0
              && ::fstat(fd, &st) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::renameat(dirFd, kNewFileName, dirFd, kFileName) == 0 && ::fsync(dirFd) == 0;
    if (!ok) {
        const int error = errno;
        ::unlinkat(dirFd, kNewFileName, 0);
        errno = error;
        return false;
    }
    secret->bytes = bytes;
    secret->born = st.st_mtim;
    return true;
}

// The folder the key is kept in is the owner's alone, whatever an older run left.
bool makePrivate(int dirFd)
{
    struct stat st;
    return ::fstat(dirFd, &st) == 0 && (!(st.st_mode & 077) || ::fchmod(dirFd, st.st_mode & 07700) == 0);
}

} // namespace

bool keepIn(const QString &directory)
{
    const QByteArray where = QFile::encodeName(directory);
    const int dirFd = privatefiles::makeDirectory(directory)
                          ? ::open(where.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                          : -1;
    Secret secret;
    Stored state = Stored::Unreadable;
    bool ok = false;
    if (dirFd >= 0) {
        if (!makePrivate(dirFd))
            logPrintf(LogVsrv, "the folder of the key for aside names, %s, could not be made private: %s",
                      where.constData(), std::strerror(errno));
        state = readStored(dirFd, &secret);
        ok = state == Stored::Read;
    }
    // A key is made anew only where there is none, or where what stands in its place is none:
    // one that could not be read this time is the key still. What a delete left aside under
    // a key lost since was there before the new one, and a listing gives it back all the same.
    if (state == Stored::Damaged) {
        if (keepDamaged(dirFd)) {
            logPrintf(LogVsrv, "the key for aside names in %s was damaged: kept as %s beside the new one",
                      where.constData(), kDamagedFileName);
            state = Stored::Missing;
        } else {
            logPrintf(LogVsrv, "the key for aside names in %s is damaged and could not be moved aside: %s",
                      where.constData(), std::strerror(errno));
        }
    }
    if (state == Stored::Missing) {
        ok = storeNew(dirFd, &secret);
        if (ok)
            logPrintf(LogVsrv, "made a new key for aside names in %s", where.constData());
    }
    const int error = errno;
    if (dirFd >= 0)
        ::close(dirFd);
    if (!ok) {
        logPrintf(LogVsrv, "no key for aside names in %s (%s): what a delete leaves aside is told by this run alone",
                  where.constData(), std::strerror(error));
        return false;
    }
    g_store.set(secret);
    return true;
}

QByteArray tag(const QByteArray &text)
{
    // Set apart from every other use the secret could be put to.
    const QByteArray digest = crypto::keyedHash("nusk aside name\n" + text, g_store.get().bytes, 16);
    return digest.left(kTagBytes).toHex();
}

bool sameTag(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (int i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

bool predates(const timespec &changed)
{
    auto before = [](const timespec &a, const timespec &b) {
        return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
    };
    const timespec born = g_store.get().born;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    // With the clock set back since the secret was made, names made today would look older.
    return before(changed, born) && !before(now, born);
}

} // namespace asidekey
