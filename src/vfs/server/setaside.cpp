#include "vfs/server/setaside.h"

#include "app/base/log.h"

#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace setaside {

namespace {

const QByteArray kPrefix = QByteArrayLiteral(".nusk-deleting-");
constexpr int kIdDigits = 16;

std::function<void(Step)> g_stepHook;

void step(Step at)
{
    if (g_stepHook)
        g_stepHook(at);
}

// The entries set aside by this process and not yet removed or put back, by their ids.
class InHand
{
public:
    bool add(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ids.insert(id).second;
    }
    void remove(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ids.erase(id);
    }
    bool contains(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ids.count(id) != 0;
    }

private:
    std::mutex m_mutex;
    std::unordered_set<std::uint64_t> m_ids;
};

InHand &inHand()
{
    static InHand ids;
    return ids;
}

QByteArray asideBase(std::uint64_t id)
{
    return kPrefix + QByteArray::number(qulonglong(id), 16).rightJustified(kIdDigits, '0');
}

// The id and the name an aside name stands for (empty for the folder shape).
bool parseAsideName(const QByteArray &name, std::uint64_t *id, QByteArray *realName)
{
    if (!name.startsWith(kPrefix) || name.size() < kPrefix.size() + kIdDigits)
        return false;
    const QByteArray digits = name.mid(kPrefix.size(), kIdDigits);
    for (const char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    *id = digits.toULongLong(nullptr, 16);
    const QByteArray rest = name.mid(kPrefix.size() + kIdDigits);
    realName->clear();
    if (rest.isEmpty())
        return *id != 0;
    if (rest.size() < 2 || rest[0] != '-')
        return false;
    *realName = rest.mid(1);
    return *id != 0 && *realName != "." && *realName != "..";
}

QByteArray cutName(const QByteArray &name, int limit)
{
    if (name.size() <= limit)
        return name;
    int end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.left(end);
}

} // namespace

int renameNoReplace(int fromDir, const QByteArray &from, int toDir, const QByteArray &to)
{
    if (::renameat2(fromDir, from.constData(), toDir, to.constData(), RENAME_NOREPLACE) == 0)
        return 1;
    if (errno == EEXIST)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // File systems without the flag: check, then rename.
    struct stat existing;
    if (::fstatat(toDir, to.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    return ::renameat(fromDir, from.constData(), toDir, to.constData()) == 0 ? 1 : -1;
}

QByteArray numberedName(const QByteArray &name, int attempt, int limit)
{
    if (attempt == 1)
        return cutName(name, limit);
    const QByteArray number = '.' + QByteArray::number(attempt);
    const int dot = name.lastIndexOf('.');
    QByteArray stem = dot <= 0 ? name : name.left(dot);
    QByteArray extension = dot <= 0 ? QByteArray() : name.mid(dot);
    if (extension.size() > limit / 2)
        extension.clear();
    stem = cutName(stem, limit - number.size() - extension.size());
    return stem + number + extension; // "report.2.txt"
}

QByteArray putBack(int fromDir, const QByteArray &from, int toDir, const QByteArray &name)
{
    // Its own name first; a numbered one beside it only when a newer file took that name.
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const QByteArray candidate = attempt == 1 ? name : numberedName(name, attempt, NAME_MAX);
        const int moved = renameNoReplace(fromDir, from, toDir, candidate);
        if (moved > 0) {
            if (attempt > 1)
                logPrintf(LogVsrv, "%s was taken meanwhile: the version set aside is kept as %s", name.constData(),
                          candidate.constData());
            return candidate;
        }
        if (moved < 0)
            break;
    }
    // Gone: another listing gave it back first.
    if (errno != ENOENT)
        logPrintf(LogVsrv, "%s could not be put back: it stays as %s (%s)", name.constData(), from.constData(),
                  std::strerror(errno));
    return QByteArray();
}

SetAside::~SetAside()
{
    if (!m_folderName.isEmpty())
        ::close(m_folder);
    // Whatever is still aside now is a leftover, which the next listing puts back.
    if (m_id)
        inHand().remove(m_id);
}

bool SetAside::take(int dirFd, const QByteArray &name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::uint64_t id = QRandomGenerator::global()->generate64();
        // Known as in hand before the name exists, so no listing gives it back meanwhile.
        if (id == 0 || !inHand().add(id))
            continue;
        const QByteArray base = asideBase(id);
        step(Step::MovingAside);
        int folder = dirFd;
        bool madeFolder = false;
        QByteArray asideName = base + '-' + name;
        const bool fits = asideName.size() <= NAME_MAX;
        int moved = fits ? renameNoReplace(dirFd, name, dirFd, asideName) : -1;
        // Too long to tell in one name (some file systems, ecryptfs, take fewer bytes than
        // NAME_MAX): a private folder keeps the entry under its own.
        if (!fits || (moved < 0 && errno == ENAMETOOLONG)) {
            asideName = name;
            madeFolder = ::mkdirat(dirFd, base.constData(), 0700) == 0;
            moved = !madeFolder && errno == EEXIST ? 0 : -1;
            folder = madeFolder ? ::openat(dirFd, base.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                : -1;
            if (folder >= 0)
                moved = renameNoReplace(dirFd, name, folder, asideName);
        }
        if (moved > 0) {
            m_home = dirFd;
            m_folder = folder;
            m_folderName = folder == dirFd ? QByteArray() : base;
            m_realName = name;
            m_name = asideName;
            m_id = id;
            step(Step::MovedAside);
            return true;
        }
        const int error = errno;
        if (folder >= 0 && folder != dirFd)
            ::close(folder);
        if (madeFolder)
            ::unlinkat(dirFd, base.constData(), AT_REMOVEDIR);
        inHand().remove(id);
        errno = error;
        if (moved < 0)
            return false;
    }
    errno = EEXIST;
    return false;
}

bool SetAside::remove()
{
    if (::unlinkat(m_folder, m_name.constData(), 0) != 0)
        return false;
    dropFolder();
    return true;
}

QByteArray SetAside::putBack()
{
    step(Step::PuttingBack);
    const QByteArray now = setaside::putBack(m_folder, m_name, m_home, m_realName);
    if (!now.isEmpty())
        dropFolder();
    return now;
}

void SetAside::dropFolder()
{
    if (m_folderName.isEmpty())
        return;
    ::close(m_folder);
    m_folder = m_home;
    ::unlinkat(m_home, m_folderName.constData(), AT_REMOVEDIR);
    m_folderName.clear();
}

bool looksSetAside(const char *name)
{
    return std::strncmp(name, kPrefix.constData(), std::size_t(kPrefix.size())) == 0;
}

bool restoreLeftover(int dirFd, const QByteArray &name, QByteArrayList *restoredAs)
{
    std::uint64_t id = 0;
    QByteArray realName;
    if (!parseAsideName(name, &id, &realName))
        return false;
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // gone meanwhile: nothing to list
    // Only the shapes we make: an entry whose name tells its own, or a folder holding it. The
    // entry may be a folder too: one can take the name between a delete's check and its move.
    if (realName.isEmpty() && !S_ISDIR(st.st_mode))
        return false;
    if (inHand().contains(id))
        return true;
    if (!realName.isEmpty()) {
        const QByteArray now = putBack(dirFd, name, dirFd, realName);
        if (now.isEmpty())
            return false;
        logPrintf(LogVsrv, "%s was left aside by a delete that did not end: back as %s", realName.constData(),
                  now.constData());
        restoredAs->append(now);
        return true;
    }
    const int folder = ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int listFd = folder < 0 ? -1 : ::dup(folder);
    DIR *dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        if (folder >= 0)
            ::close(folder);
        return false;
    }
    QByteArrayList inside;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            inside.append(QByteArray(entry->d_name));
    }
    ::closedir(dir);
    bool allBack = true;
    for (const QByteArray &entry : inside) {
        const QByteArray now = putBack(folder, entry, dirFd, entry);
        if (now.isEmpty()) {
            allBack = false;
            continue;
        }
        logPrintf(LogVsrv, "%s was left aside by a delete that did not end: back as %s", entry.constData(),
                  now.constData());
        restoredAs->append(now);
    }
    ::close(folder);
    return allBack && ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0;
}

void setStepHookForTests(std::function<void(Step)> hook)
{
    g_stepHook = std::move(hook);
}

} // namespace setaside
