// Replays every file of the fuzz corpus through the FSO decoder, and then through a real
// file server as a sequence of requests; fails when the corpus is missing or empty, so a
// broken path can't pass silently.

#include "fsofuzz.h"
#include "fsoserverfuzz.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    fsofuzz::ensureApplication();
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no corpus files in %s\n", argv[1]);
        return 1;
    }
    int replies = 0;
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(name));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        // an exact-size heap copy, so a read past the end shows under ASan
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        fuzzFsoMessage(data.data(), data.size());
        // and every prefix of it
        for (std::size_t n = 0; n < data.size() && n < 4096; ++n) {
            std::vector<std::uint8_t> cut(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
            fuzzFsoMessage(cut.data(), cut.size());
        }
        replies += fuzzFsoServer(data.data(), data.size());
    }
    std::printf("replayed %d corpus files through the decoder and the server (%d server messages)\n",
                int(files.size()), replies);
    return 0;
}
