// Listings of folders that hold names of the shape a delete sets entries aside under, as a
// read-only peer asks for them from the file server, next to the listing of a folder that
// holds as many ordinary entries, in the same run:
//   planted   entries a writable peer made under such names (the names "x" to "x.999" taken
//             beside them), listed three times over;
//   leftovers entries this program set aside and left (as a run that died mid-delete
//             leaves them), listed twice: the first listing gives them their names back.
//
//   bench_asidenames [planted] [leftovers]      default 2000 and 100000
//
// The last line holds every time and its ratio to the plain listing of the same size.

#include "vfs/server/setaside.h"
#include "../../tests/vfs/server/tst_serverharness.h"
#include "../benchutil_wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool makeFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

bool makeFiles(const QString &dir, const QString &pattern, long count)
{
    for (long i = 0; i < count; ++i) {
        if (!makeFile(dir + QLatin1Char('/') + pattern.arg(i)))
            return false;
    }
    return true;
}

// Names a writable peer can make by itself: the shape of an entry set aside, any digits.
bool plant(const QString &dir, long count)
{
    if (!makeFile(dir + QStringLiteral("/x")))
        return false;
    for (int number = 2; number <= 999; ++number) {
        if (!makeFile(dir + QStringLiteral("/x.%1").arg(number)))
            return false;
    }
    for (long i = 0; i < count; ++i) {
        const QString digits = QString::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, '0');
        if (!makeFile(dir + QStringLiteral("/.nusk-deleting-%1-x").arg(digits)))
            return false;
    }
    return true;
}

// Entries set aside by this program and left there.
bool leaveAside(const QString &dir, long count)
{
    if (!makeFiles(dir, QStringLiteral("f%1"), count))
        return false;
    const int dirFd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dirFd >= 0;
    for (long i = 0; ok && i < count; ++i) {
        setaside::SetAside aside;
        ok = aside.take(dirFd, "f" + QByteArray::number(qlonglong(i)));
    }
    if (dirFd >= 0)
        ::close(dirFd);
    return ok;
}

// Waits for the reply to (code, trId), however long the server takes.
bool awaitReply(ServerHarness &h, std::uint8_t code, std::uint16_t trId, VfsFenuCommand *reply)
{
    auto find = [&] {
        for (auto it = h.replies.begin(); it != h.replies.end(); ++it) {
            if (it->code == (code | FSO_REPLY_BIT) && it->trId == trId)
                return it;
        }
        return h.replies.end();
    };
    if (!benchutil::waitUntil([&] { return find() != h.replies.end(); }, 3600 * 1000))
        return false;
    const auto it = find();
    *reply = *it;
    h.replies.erase(it);
    return true;
}

// One whole listing, hidden entries included; its time in ms, or -1.
double listMs(ServerHarness &h, const QString &path, long *entries)
{
    QElapsedTimer timer;
    timer.start();
    VfsFenuCommand list = ServerHarness::make(FSO_LIST_DIRECTORY, path, FSO_LISTDIR_HIDDEN);
    list.attributes.set(FSO_ATTR_ALL);
    const std::uint16_t listId = h.post(list);
    VfsFenuCommand reply;
    if (!awaitReply(h, FSO_LIST_DIRECTORY, listId, &reply) || reply.status != FSO_STATUS_SUCCESS)
        return -1;
    *entries = 0;
    for (;;) {
        VfsFenuCommand query = ServerHarness::make(FSO_QUERY_LIST_DIRECTORY);
        query.trId = listId;
        query.index = std::uint32_t(*entries);
        h.post(query);
        VfsFenuCommand page;
        if (!awaitReply(h, FSO_QUERY_LIST_DIRECTORY, listId, &page))
            return -1;
        *entries += page.count;
        if (page.status == FSO_STATUS_COMPLETE)
            return double(timer.nsecsElapsed()) / 1e6;
        if (page.status != FSO_STATUS_SUCCESS)
            return -1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const long planted = argc > 1 ? std::atol(argv[1]) : 2000;
    const long leftovers = argc > 2 ? std::atol(argv[2]) : 100000;
    QTemporaryDir work;
    if (planted < 0 || leftovers < 0 || !work.isValid()) {
        std::fprintf(stderr, "usage: %s [planted] [leftovers]\n", argv[0]);
        return 2;
    }
    const QString root = QDir(work.path()).canonicalPath();
    const QString plantedDir = root + "/planted", plainSmall = root + "/plain-small";
    const QString leftDir = root + "/leftovers", plainBig = root + "/plain-big";
    for (const QString &dir : {plantedDir, plainSmall, leftDir, plainBig})
        QDir().mkpath(dir);
    if (!plant(plantedDir, planted) || !makeFiles(plainSmall, QStringLiteral("p%1"), planted + 999)
        || !leaveAside(leftDir, leftovers) || !makeFiles(plainBig, QStringLiteral("p%1"), leftovers)) {
        std::fprintf(stderr, "cannot make the folders in %s\n", qPrintable(root));
        return 1;
    }

    ServerHarness h(false);
    PeerAclDto share;
    share.uuid = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
    share.name = QStringLiteral("work");
    share.selector = root;
    share.flags = 0x1 | 0x4; // read, and what lies below
    h.server->setAcl({share});

    long count = 0;
    const double small = listMs(h, plainSmall, &count);
    std::printf("plain, %ld entries: %.1f ms\n", count, small);
    QStringList figures;
    for (int round = 1; round <= 3; ++round) {
        const double ms = listMs(h, plantedDir, &count);
        std::printf("%ld planted, listing %d: %.1f ms, %ld entries\n", planted, round, ms, count);
        figures << QStringLiteral("planted %1: %2 ms (%3x)").arg(round).arg(ms, 0, 'f', 1).arg(ms / small, 0, 'f', 1);
    }
    const double big = listMs(h, plainBig, &count);
    std::printf("plain, %ld entries: %.1f ms\n", count, big);
    for (int round = 1; round <= 2; ++round) {
        const double ms = listMs(h, leftDir, &count);
        std::printf("%ld left aside, listing %d: %.1f ms, %ld entries\n", leftovers, round, ms, count);
        figures << QStringLiteral("leftovers %1: %2 ms (%3x)").arg(round).arg(ms, 0, 'f', 1).arg(ms / big, 0, 'f', 1);
    }
    std::printf("plain %.1f / %.1f ms; %s\n", small, big, qPrintable(figures.join(QStringLiteral("; "))));
    return 0;
}
