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

bool readStored(int dirFd, Secret *secret)
{
    const int fd = ::openat(dirFd, kFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    char bytes[kSecretBytes];
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
                    && st.st_size == kSecretBytes && ::read(fd, bytes, kSecretBytes) == kSecretBytes;
    ::close(fd);
    if (!ok)
        return false;
    secret->bytes = QByteArray(bytes, kSecretBytes);
    secret->born = st.st_mtim;
    return true;
}

// Written beside its place and renamed there: a run that dies meanwhile leaves no half secret.
bool storeNew(int dirFd, Secret *secret)
{
    ::unlinkat(dirFd, kNewFileName, 0);
    const int fd = ::openat(dirFd, kNewFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QByteArray bytes = randomSecret();
    struct stat st;
    bool ok = ::write(fd, bytes.constData(), std::size_t(bytes.size())) == kSecretBytes && ::fsync(fd) == 0
              && ::fstat(fd, &st) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::renameat(dirFd, kNewFileName, dirFd, kFileName) == 0 && ::fsync(dirFd) == 0;
    if (!ok) {
        ::unlinkat(dirFd, kNewFileName, 0);
        return false;
    }
    secret->bytes = bytes;
    secret->born = st.st_mtim;
    return true;
}

} // namespace

bool keepIn(const QString &directory)
{
    Secret secret;
    bool ok = privatefiles::makeDirectory(directory);
    const int dirFd = ok ? ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    ok = dirFd >= 0 && (readStored(dirFd, &secret) || storeNew(dirFd, &secret));
    const int error = errno;
    if (dirFd >= 0)
        ::close(dirFd);
    if (!ok) {
        logPrintf(LogVsrv, "no key for aside names in %s (%s): what a delete leaves aside is told by this run alone",
                  qUtf8Printable(directory), std::strerror(error));
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
