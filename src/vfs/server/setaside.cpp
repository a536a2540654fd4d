#include "vfs/server/setaside.h"

#include "app/base/log.h"
#include "vfs/server/asidekey.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace setaside {

namespace {

const QByteArray kPrefix = QByteArrayLiteral(".nusk-deleting-");
constexpr int kIdDigits = 16;
constexpr int kTagDigits = 16;
// A name numbered beside a taken one: the next few numbers, then a few at random, as numbers
// in a row may all be taken (by chance, or by a peer that wants every try made).
constexpr int kNumbersInRow = 3;
constexpr int kNumbersAtRandom = 3;

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

QByteArray hexId(std::uint64_t id)
{
    return QByteArray::number(qulonglong(id), 16).rightJustified(kIdDigits, '0');
}

// The name an entry called `realName` is set aside under, or for the folder shape (an empty
// `realName`) the folder's name. Its tag covers everything after the prefix but the tag.
QByteArray asideName(std::uint64_t id, const QByteArray &realName)
{
    const QByteArray rest = realName.isEmpty() ? QByteArray() : '-' + realName;
    return kPrefix + hexId(id) + asidekey::tag(hexId(id) + rest) + rest;
}

bool isHex(const QByteArray &digits)
{
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// One name of an aside shape, taken apart. Names of the shape an older version made carry no
// tag (`legacy`): 16 hex digits alone.
struct ParsedName
{
    std::uint64_t id = 0;
    QByteArray digits; // id and tag as they stand in the name
    QByteArray tag;
    QByteArray realName; // empty for the folder shape
    bool legacy = false;
};

bool parseAsideName(const QByteArray &name, ParsedName *parsed)
{
    if (!name.startsWith(kPrefix))
        return false;
    const int start = kPrefix.size();
    const bool tagged =
        name.size() >= start + kIdDigits + kTagDigits && isHex(name.mid(start, kIdDigits + kTagDigits));
    const int digits = tagged ? kIdDigits + kTagDigits : kIdDigits;
    parsed->digits = name.mid(start, digits);
    if (parsed->digits.size() != digits || !isHex(parsed->digits))
        return false;
    parsed->legacy = !tagged;
    parsed->id = parsed->digits.left(kIdDigits).toULongLong(nullptr, 16);
    parsed->tag = parsed->digits.mid(kIdDigits);
    const QByteArray rest = name.mid(start + digits);
    parsed->realName.clear();
    if (rest.isEmpty())
        return parsed->id != 0;
    if (rest.size() < 2 || rest[0] != '-')
        return false;
    parsed->realName = rest.mid(1);
    return parsed->id != 0 && parsed->realName != "." && parsed->realName != "..";
}

// Whether this program made the name: its tag is right, or it was there before the current
// key was made, so was left by an older run, not made by a peer since: by an older version,
// whose names carry no tag, or under a key that was lost (and made anew) since. Such a name
// only ever gets its own name back, or one beside it, never another entry's place.
bool madeHere(const ParsedName &parsed, const struct stat &st)
{
    if (asidekey::predates(st.st_ctim))
        return true;
    if (parsed.legacy)
        return false;
    const QByteArray rest = parsed.realName.isEmpty() ? QByteArray() : '-' + parsed.realName;
    return asidekey::sameTag(parsed.tag, asidekey::tag(parsed.digits.left(kIdDigits) + rest));
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
    constexpr int kTries = 1 + kNumbersInRow + kNumbersAtRandom;
    int moved = 0;
    for (int attempt = 1; attempt <= kTries && moved == 0; ++attempt) {
        const int number = attempt <= 1 + kNumbersInRow
                               ? attempt
                               : 2 + kNumbersInRow + int(QRandomGenerator::global()->bounded(1000000));
        const QByteArray candidate = attempt == 1 ? name : numberedName(name, number, NAME_MAX);
        moved = renameNoReplace(fromDir, from, toDir, candidate);
        if (moved > 0) {
            if (attempt > 1)
                logPrintf(LogVsrv, "%s was taken meanwhile: the version set aside is kept as %s", name.constData(),
                          candidate.constData());
            return candidate;
        }
    }
    if (moved == 0)
        errno = EEXIST;
    // Gone: another listing gave it back first.
    if (errno != ENOENT)
        logPrintf(LogVsrv, "%s could not be put back: it stays as %s (%s)", name.constData(), from.constData(),
                  std::strerror(errno));
    return QByteArray();
}

SetAside::SetAside(int home, const Handed &handed)
    : m_home(home), m_folder(home), m_realName(handed.realName), m_name(handed.name),
      m_folderName(handed.folderName), m_id(handed.id)
{
    if (!m_folderName.isEmpty())
        m_folder = ::openat(home, m_folderName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

SetAside::Handed SetAside::handOver()
{
    Handed handed{std::exchange(m_id, 0), m_folderName, m_name, m_realName};
    if (!m_folderName.isEmpty())
        ::close(m_folder);
    m_folderName.clear();
    m_folder = m_home;
    return handed;
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
        step(Step::MovingAside);
        int folder = dirFd;
        bool madeFolder = false;
        QByteArray base;
        QByteArray asideName = setaside::asideName(id, name);
        const bool fits = asideName.size() <= NAME_MAX;
        int moved = fits ? renameNoReplace(dirFd, name, dirFd, asideName) : -1;
        // Too long to tell in one name (some file systems, ecryptfs, take fewer bytes than
        // NAME_MAX): a private folder keeps the entry under its own.
        if (!fits || (moved < 0 && errno == ENAMETOOLONG)) {
            base = setaside::asideName(id, QByteArray());
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
    ParsedName parsed;
    if (!parseAsideName(name, &parsed))
        return false;
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // gone meanwhile: nothing to list
    // Only the shapes we make: an entry whose name tells its own, or a folder holding it. The
    // entry may be a folder too: one can take the name between a delete's check and its move.
    // And only names we made: anything a peer named so is one of its entries like any other.
    if ((parsed.realName.isEmpty() && !S_ISDIR(st.st_mode)) || !madeHere(parsed, st))
        return false;
    if (inHand().contains(parsed.id))
        return true;
    if (!parsed.realName.isEmpty()) {
        const QByteArray now = putBack(dirFd, name, dirFd, parsed.realName);
        if (now.isEmpty())
            return false;
        logPrintf(LogVsrv, "%s was left aside by a delete that did not end: back as %s", parsed.realName.constData(),
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
