#pragma once

// One fuzz input driven through a real file server: the bytes are split into FSO messages
// by their own length items, each is decoded the way a peer decodes what it receives and
// handed to a VfsServerNusk of a remote peer whose access entries share part of a small
// temporary tree. Requests are not waited for one by one, so reads, hashes and closes of
// one handle overlap like a pipelining peer's; the server is destroyed at the end with
// whatever still runs.
//
// Aborts (a finding) when the server sends a reply that does not decode, when its jobs do
// not finish, or when anything outside the shared folders changed. A path that begins with
// "@" names the tree's root, so inputs reach real files without knowing where the tree is.
//
// Tree (rebuilt for every input):
//   share/        read, write, sub-paths   (uuid {11111111-1111-1111-1111-111111111111})
//     a.txt, big.bin (70000 bytes), sub/b.txt, fifo, in -> share/sub,
//     out -> outside, outfile -> outside/secret.txt, dangling -> nowhere
//   ro/r.txt      read, sub-paths          (uuid {22222222-2222-2222-2222-222222222222})
//   outside/secret.txt, outside/dir/deep.txt   never shared

#include "fsofuzz.h"
#include "vfs/server/vfsserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace fsofuzz {

inline void ensureApplication()
{
    static int argc = 1;
    static char name[] = "fsofuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

inline const QString &scratchRoot()
{
    static QTemporaryDir dir;
    static const QString root = QFileInfo(dir.path()).canonicalFilePath();
    return root;
}

inline const QString &treeRoot()
{
    static const QString root = scratchRoot() + QStringLiteral("/tree");
    return root;
}

inline bool writeTreeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline bool makeLink(const QString &target, const QString &path)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

inline void rebuildTree()
{
    const QString &root = treeRoot();
    QDir(root).removeRecursively();
    QByteArray big(70000, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 + (i >> 8));
    bool ok = writeTreeFile(root + "/share/a.txt", "alpha") && writeTreeFile(root + "/share/big.bin", big)
              && writeTreeFile(root + "/share/sub/b.txt", "beta") && writeTreeFile(root + "/ro/r.txt", "read only")
              && writeTreeFile(root + "/outside/secret.txt", "secret")
              && writeTreeFile(root + "/outside/dir/deep.txt", "deep")
              && ::mkfifo(QFile::encodeName(root + "/share/fifo").constData(), 0600) == 0
              && makeLink(root + "/share/sub", root + "/share/in") && makeLink(root + "/outside", root + "/share/out")
              && makeLink(root + "/outside/secret.txt", root + "/share/outfile")
              && makeLink(root + "/nowhere", root + "/share/dangling");
    if (!ok) {
        std::fprintf(stderr, "cannot build the fuzz tree in %s\n", qPrintable(root));
        std::abort();
    }
}

inline std::vector<PeerAclDto> treeAcl()
{
    auto entry = [](const char *uuid, const char *name, const QString &selector, quint32 flags) {
        PeerAclDto acl;
        acl.uuid = QString::fromLatin1(uuid);
        acl.name = QString::fromLatin1(name);
        acl.selector = selector;
        acl.flags = flags;
        return acl;
    };
    return {entry("{11111111-1111-1111-1111-111111111111}", "Share", treeRoot() + "/share", 0x1 | 0x2 | 0x4),
            entry("{22222222-2222-2222-2222-222222222222}", "Read only", treeRoot() + "/ro", 0x1 | 0x4)};
}

// What must hold after any input: nothing outside the shares changed, the read-only share
// is as it was, and nothing was made through the dangling link.
inline void checkTree()
{
    const QString &root = treeRoot();
    auto content = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    };
    const QStringList outside = QDir(root + "/outside").entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                                   | QDir::NoDotAndDotDot);
    struct stat st;
    if (content(root + "/outside/secret.txt") != "secret" || content(root + "/outside/dir/deep.txt") != "deep"
        || outside != QStringList({"dir", "secret.txt"})
        || QDir(root + "/outside/dir").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size() != 1
        || content(root + "/ro/r.txt") != "read only"
        || QDir(root + "/ro").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size() != 1
        || ::lstat(QFile::encodeName(root + "/nowhere").constData(), &st) == 0
        || QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
               != QStringList({"outside", "ro", "share"})) {
        std::fprintf(stderr, "the server changed something outside the shares\n");
        std::abort();
    }
}

inline void replacePlaceholder(std::string &path)
{
    if (!path.empty() && path[0] == '@')
        path = treeRoot().toStdString() + path.substr(1);
}

inline void waitForJobs(VfsServerNusk &server)
{
    QElapsedTimer timer;
    timer.start();
    while (server.runningJobCount() > 0) {
        if (timer.elapsed() > 20000) {
            std::fprintf(stderr, "server jobs did not finish\n");
            std::abort();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QCoreApplication::processEvents();
}

} // namespace fsofuzz

// Returns the number of messages the server sent.
inline int fuzzFsoServer(const std::uint8_t *data, std::size_t size)
{
    using namespace fsofuzz;
    constexpr unsigned kVersion = 3;
    ensureApplication();
    // Moves to the trash land in a trash of the scratch folder, never the user's own.
    static const bool trashSet = qputenv("XDG_DATA_HOME", QFile::encodeName(scratchRoot() + "/xdg"));
    (void)trashSet;
    rebuildTree();
    int replies = 0;
    {
        VfsServerNusk server(false);
        server.setProtocolVersion(kVersion);
        server.setAcl(treeAcl());
        QObject::connect(&server, &VfsServerNusk::fsoTransmit, &server,
                         [&replies](std::vector<unsigned char> message) {
                             VfsFenuCommand reply;
                             if (!decodeFsoCommand(message.data(), message.size(), reply, kVersion)
                                 || reply.msgClass != FSO_CLASS_REPLY || reply.length != message.size()) {
                                 std::fprintf(stderr, "the server sent a message that does not decode\n");
                                 std::abort();
                             }
                             ++replies;
                         },
                         Qt::DirectConnection);

        VfsFenuCommand cmd; // reused for every message, as a peer does
        std::size_t offset = 0;
        int messages = 0;
        while (offset < size && messages < 256) {
            std::size_t length = size - offset;
            if (length >= 5) {
                const std::uint8_t *p = data + offset + 1;
                const std::size_t stated = std::size_t(p[0]) | std::size_t(p[1]) << 8 | std::size_t(p[2]) << 16
                                           | std::size_t(p[3]) << 24;
                if (stated >= com::kTermHeaderBytes && stated <= length)
                    length = stated;
            }
            // An exact-size heap copy, so a read past the end of one message shows under ASan.
            const std::vector<std::uint8_t> message(data + offset, data + offset + length);
            offset += length;
            ++messages;
            if (!decodeFsoCommand(message.data(), message.size(), cmd, kVersion) || cmd.msgClass != FSO_CLASS_REQUEST)
                continue;
            replacePlaceholder(cmd.path);
            replacePlaceholder(cmd.destination);
            server.processIncomingCommand(cmd);
            QCoreApplication::processEvents();
        }
        waitForJobs(server);
    }
    QCoreApplication::processEvents();
    checkTree();
    return replies;
}
