// A program saves into a file while the file server deletes the version a peer copied of it:
// for each way of writing in place, how many newer versions the delete takes with it. Once
// with a file the deleting thread may lease (the user's own) and once with one it may not
// (another account's file, deleted by root without CAP_LEASE). Each round starts the writer
// and the delete together, the writer a step later each round, from before the delete to
// after its end, so that the rounds sweep the delete's whole course. Deleted files linger as
// in the program (versionlinger.h); each round ends their grace once its writer is done, and
// the line says how long after the delete's answer the latest write came.
//
//   bench_versionrace [rounds] [--no-linger]   default 1500 of each
//
// Another account's files need root (those rows are left out otherwise). Prints a line per
// writer and owner and last "lost <own> <another's>", the sums.
//
//   bench_versionrace --move [files] [--no-linger]   default 100000
//
// The deletes of a move of another account's files (and of the user's own), in folders of
// 1,000, nobody writing: the time per delete with and without lingering files side by side
// (folder by folder in turn), the descriptors held at most (under Debian's default limit of
// 1,024), and how long the last files linger after the last delete.

#include "../tests/testutil_capabilities.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/versionguard.h"
#include "vfs/server/versionlinger.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Writer { Truncate, Pwrite, BackToBack, TouchRef };

const char *writerName(Writer writer)
{
    switch (writer) {
    case Writer::Truncate: return "O_TRUNC rewrite";
    case Writer::Pwrite: return "pwrite, no O_TRUNC";
    case Writer::BackToBack: return "back-to-back saves";
    case Writer::TouchRef: return "write, then touch -r";
    }
    return "";
}

// The writer starts up to half a sweep before the delete and up to half a sweep after it;
// a sweep is twice as long as an undisturbed delete takes (measured first).
constexpr int kSteps = 100;
std::chrono::nanoseconds g_step(200);

void spin(int steps)
{
    const auto until = std::chrono::steady_clock::now() + steps * g_step;
    while (std::chrono::steady_clock::now() < until) {
    }
}

bool writeAt(int fd, const QByteArray &content)
{
    return fd >= 0 && ::pwrite(fd, content.constData(), std::size_t(content.size()), 0) == content.size();
}

// One save of `content` into `path` the way `writer` does; whether it was written in full.
bool save(Writer writer, const QByteArray &path, const QByteArray &content, const struct stat &old)
{
    const int flags = writer == Writer::Truncate || writer == Writer::BackToBack ? O_WRONLY | O_CREAT | O_TRUNC
                                                                                  : O_WRONLY;
    const int fd = ::open(path.constData(), flags | O_CLOEXEC, 0644);
    const bool written = writeAt(fd, content);
    if (fd >= 0)
        ::close(fd);
    if (writer == Writer::TouchRef && written) {
        // Size and modification time as before: only the change time tells.
        const timespec times[2] = {old.st_atim, old.st_mtim};
        ::utimensat(AT_FDCWD, path.constData(), times, 0);
    }
    return written;
}

struct Result
{
    int lost = 0, deleted = 0, changed = 0, other = 0;
    long long aloneNs = 0;     // an undisturbed delete, median
    long long latestWriteNs = 0; // the latest end of a write after the delete's answer
};

bool g_linger = true;

bool someFileHolds(const QString &dir, const QByteArray &content)
{
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(dir + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == content)
            return true;
    }
    return false;
}

Result run(Writer writer, bool anotherAccount, int rounds)
{
    QTemporaryDir dir;
    const QString share = dir.path();
    const QByteArray path = QFile::encodeName(share + QStringLiteral("/doc.txt"));
    const int dirFd = ::open(QFile::encodeName(share).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Result result;
    std::atomic<int> go{-1}, done{-1};
    std::atomic<bool> written{false};
    std::atomic<std::chrono::steady_clock::rep> writtenAt{0};
    struct stat old = {};
    std::thread saver([&] {
        for (int round = 0; round < rounds; ++round) {
            while (go.load() != round)
                std::this_thread::yield();
            spin(round % kSteps);
            const QByteArray content = QByteArray("new-") + QByteArray::number(round).rightJustified(6, '0');
            bool ok = save(writer, path, content, old);
            if (writer == Writer::BackToBack)
                ok = save(writer, path, content.left(3) + '+' + content.mid(4), old);
            writtenAt = std::chrono::steady_clock::now().time_since_epoch().count();
            written = ok;
            done = round;
        }
    });
    auto fresh = [&] {
        for (const QString &name : QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            QFile::remove(share + QLatin1Char('/') + name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        writeAt(fd, "old-000000");
        if (anotherAccount)
            (void)!::fchown(fd, 65534, 65534);
        ::close(fd);
        ::lstat(path.constData(), &old);
        return versionguard::Version{std::int64_t(old.st_ctim.tv_sec) * 1000000000LL + old.st_ctim.tv_nsec,
                                     old.st_ino};
    };
    std::unique_ptr<versionguard::LingeringFiles> lingering;
    if (g_linger)
        lingering.reset(new versionguard::LingeringFiles);
    if (anotherAccount)
        testutil::setThreadCapability(CAP_LEASE, false);
    std::vector<std::chrono::nanoseconds> alone;
    for (int i = 0; i < 101; ++i) {
        const versionguard::Version version = fresh();
        const auto start = std::chrono::steady_clock::now();
        versionguard::unlinkVersion(dirFd, "doc.txt", version);
        alone.push_back(std::chrono::steady_clock::now() - start);
    }
    std::sort(alone.begin(), alone.end());
    result.aloneNs = alone[alone.size() / 2].count();
    g_step = 2 * alone[alone.size() / 2] / kSteps;
    for (int round = 0; round < rounds; ++round) {
        const versionguard::Version version = fresh();
        go = round;
        spin(kSteps / 2);
        const std::uint8_t status = versionguard::unlinkVersion(dirFd, "doc.txt", version);
        const auto answered = std::chrono::steady_clock::now().time_since_epoch().count();
        while (done.load() != round)
            std::this_thread::yield();
        result.latestWriteNs = std::max<long long>(result.latestWriteNs, writtenAt.load() - answered);
        if (lingering)
            lingering->letGoOfAll();
        (status == FSO_STATUS_SUCCESS ? result.deleted : status == FSO_STATUS_CHANGED ? result.changed : result.other)++;
        const QByteArray last = writer == Writer::BackToBack ? QByteArray("new+") : QByteArray("new-");
        if (written && !someFileHolds(share, last + QByteArray::number(round).rightJustified(6, '0')))
            ++result.lost;
    }
    if (anotherAccount)
        testutil::setThreadCapability(CAP_LEASE, true);
    saver.join();
    ::close(dirFd);
    return result;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

struct MoveResult
{
    double perDeleteUs[2] = {0, 0}; // without and with lingering files: the median of the folders
    int peakDescriptors[2] = {0, 0}; // above those open before the first delete
    long long lingeredMs = 0;         // from the last delete until nothing lingered
    int failed = 0;
};

// The deletes of a move of `files` files, in folders of 1,000, nobody writing; the folders
// alternate between deletes without and with lingering files, so that both see the same load.
MoveResult moveDeletes(int files, bool anotherAccount)
{
    constexpr int kPerFolder = 1000;
    QTemporaryDir dir;
    std::vector<versionguard::Version> versions;
    versions.reserve(std::size_t(files));
    for (int i = 0; i < files; ++i) {
        const QString folder = dir.path() + QStringLiteral("/%1").arg(i / kPerFolder);
        if (i % kPerFolder == 0)
            QDir().mkdir(folder);
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/f%1").arg(i));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        writeAt(fd, "old");
        if (anotherAccount)
            (void)!::fchown(fd, 65534, 65534);
        ::close(fd);
        struct stat st;
        ::lstat(path.constData(), &st);
        versions.push_back({std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec, st.st_ino});
    }
    if (anotherAccount)
        testutil::setThreadCapability(CAP_LEASE, false);
    MoveResult result;
    std::vector<double> perDelete[2];
    const int before = openDescriptors();
    const int folders = (files + kPerFolder - 1) / kPerFolder;
    for (int f = 0; f < folders; ++f) {
        const bool linger = g_linger && f % 2 == 1;
        const bool last = f + 2 >= folders;
        const int first = f * kPerFolder, end = std::min(files, first + kPerFolder);
        const QByteArray folder = QFile::encodeName(dir.path() + QStringLiteral("/%1").arg(f));
        const auto start = std::chrono::steady_clock::now();
        std::unique_ptr<versionguard::LingeringFiles> lingering;
        if (linger)
            lingering.reset(new versionguard::LingeringFiles);
        const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = first; i < end; ++i) {
            if (versionguard::unlinkVersion(dirFd, "f" + QByteArray::number(i), versions[std::size_t(i)]) != 0)
                ++result.failed;
        }
        ::close(dirFd);
        result.peakDescriptors[linger] = std::max(result.peakDescriptors[linger], openDescriptors() - before);
        const auto deleted = std::chrono::steady_clock::now();
        if (linger && last) {
            // The last files of the move linger their grace out.
            while (lingering->count() > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            result.lingeredMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                                      - deleted).count();
            continue;
        }
        // What lingers still is let go of within the folder's time: its last closes are the
        // deletes' own cost.
        lingering.reset();
        perDelete[linger].push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / (end - first));
    }
    if (anotherAccount)
        testutil::setThreadCapability(CAP_LEASE, true);
    for (int linger = 0; linger < 2; ++linger) {
        std::vector<double> &times = perDelete[linger];
        std::sort(times.begin(), times.end());
        result.perDeleteUs[linger] = times.empty() ? 0 : times[times.size() / 2];
    }
    return result;
}

int benchMove(int files)
{
    // Debian's default: a program that holds more descriptors than this fails to open files.
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1024);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    for (const bool another : {false, true}) {
        if (another && ::geteuid() != 0)
            continue;
        const MoveResult r = moveDeletes(files, another);
        std::printf("%-16s %6d deletes (%d failed): %.1f µs each without lingering, %.1f µs with (ratio %.2f); "
                    "descriptors held at most %d and %d; the last files lingered %lld ms\n",
                    another ? "another's files" : "own files", files, r.failed, r.perDeleteUs[0], r.perDeleteUs[1],
                    r.perDeleteUs[0] > 0 ? r.perDeleteUs[1] / r.perDeleteUs[0] : 0.0, r.peakDescriptors[0],
                    r.peakDescriptors[1], r.lingeredMs);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<QByteArray> args(argv + 1, argv + argc);
    const auto noLinger = std::find(args.begin(), args.end(), QByteArray("--no-linger"));
    g_linger = noLinger == args.end();
    if (!g_linger)
        args.erase(noLinger);
    if (!args.empty() && args.front() == "--move")
        return benchMove(args.size() > 1 ? args[1].toInt() : 100000);
    const int rounds = !args.empty() ? args.front().toInt() : 1500;
    const bool root = ::geteuid() == 0;
    if (!root)
        std::printf("not root: another account's files are left out\n");
    int lostOwn = 0, lostOther = 0;
    for (const Writer writer : {Writer::Truncate, Writer::Pwrite, Writer::BackToBack, Writer::TouchRef}) {
        for (const bool another : {false, true}) {
            if (another && !root)
                continue;
            const Result r = run(writer, another, rounds);
            std::printf("%-22s %-16s %5d rounds: %4d lost, %5d deleted, %5d changed, %d other (a delete alone: %lld µs, "
                        "latest write %lld µs after the answer)\n",
                        writerName(writer), another ? "another's file" : "own file", rounds, r.lost, r.deleted, r.changed,
                        r.other, r.aloneNs / 1000, r.latestWriteNs / 1000);
            std::fflush(stdout);
            (another ? lostOther : lostOwn) += r.lost;
        }
    }
    std::printf("lost %d %d\n", lostOwn, lostOther);
    return 0;
}
