// Replays every file of the fuzz corpus through the FSO decoder; fails when the corpus is
// missing or empty, so a broken path can't pass silently.

#include "fsofuzz.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no corpus files in %s\n", argv[1]);
        return 1;
    }
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
    }
    std::printf("replayed %d corpus files\n", int(files.size()));
    return 0;
}
