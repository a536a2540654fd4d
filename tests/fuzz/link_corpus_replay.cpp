// Replays the link and term-stream corpora: each file of corpus_term/ through the term
// stream readers (whole and every prefix), each file of corpus_link/ over a fresh loopback
// connection to a listening hub; then checks the listener still admits a genuine peer.
// Fails when a corpus is missing or empty, so a broken path can't pass silently.

#include "linkfuzz.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool replay(const QString &path, void (*drive)(const std::uint8_t *, std::size_t), bool prefixes)
{
    const QDir dir(path);
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no corpus files in %s\n", qPrintable(path));
        return false;
    }
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = file.readAll();
        // an exact-size heap copy, so a read past the end shows under ASan
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        drive(data.data(), data.size());
        for (std::size_t n = 0; prefixes && n < data.size() && n < 4096; ++n) {
            std::vector<std::uint8_t> cut(data.begin(), data.begin() + std::ptrdiff_t(n));
            drive(cut.data(), cut.size());
        }
    }
    std::printf("replayed %d files of %s\n", int(files.size()), qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <term corpus> <link corpus>\n", argv[0]);
        return 2;
    }
    linkfuzz::ensureApplication();
    if (!replay(QString::fromLocal8Bit(argv[1]), linkfuzz::fuzzTermStream, true)
        || !replay(QString::fromLocal8Bit(argv[2]), linkfuzz::fuzzLink, false))
        return 1;
    // After all that the listener still answers: a whole handshake gets a link up.
    const int before = linkfuzz::listener().established;
    const std::uint8_t wholeHandshake[] = {3};
    linkfuzz::fuzzLink(wholeHandshake, sizeof wholeHandshake);
    if (linkfuzz::listener().established != before + 1) {
        std::fprintf(stderr, "the listener no longer admits a genuine peer\n");
        return 1;
    }
    return 0;
}
