// A program saves into a file while the file server deletes the version a peer copied of it:
// for each way of writing in place, how many newer versions the delete takes with it. Once
// with a file the deleting thread may lease (the user's own) and once with one it may not
// (another account's file, deleted by root without CAP_LEASE). Each round starts the writer
// and the delete together, the writer a step later each round, from before the delete to
// after its end, so that the rounds sweep the delete's whole course.
//
//   bench_versionrace [rounds]   default 1500 of each
//
// Another account's files need root (those rows are left out otherwise). Prints a line per
// writer and owner and last "lost <own> <another's>", the sums.

#include "../tests/testutil_capabilities.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/versionguard.h"

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

#include <fcntl.h>
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
    long long aloneNs = 0; // an undisturbed delete, median
};

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
        while (done.load() != round)
            std::this_thread::yield();
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

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1500;
    const bool root = ::geteuid() == 0;
    if (!root)
        std::printf("not root: another account's files are left out\n");
    int lostOwn = 0, lostOther = 0;
    for (const Writer writer : {Writer::Truncate, Writer::Pwrite, Writer::BackToBack, Writer::TouchRef}) {
        for (const bool another : {false, true}) {
            if (another && !root)
                continue;
            const Result r = run(writer, another, rounds);
            std::printf("%-22s %-16s %5d rounds: %4d lost, %5d deleted, %5d changed, %d other (a delete alone: %lld µs)\n",
                        writerName(writer), another ? "another's file" : "own file", rounds, r.lost, r.deleted, r.changed,
                        r.other, r.aloneNs / 1000);
            std::fflush(stdout);
            (another ? lostOther : lostOwn) += r.lost;
        }
    }
    std::printf("lost %d %d\n", lostOwn, lostOther);
    return 0;
}
