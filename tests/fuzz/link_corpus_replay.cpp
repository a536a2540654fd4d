// Replays the network corpora: each file of corpus_term/ through the term stream readers
// (whole and every prefix), each file of corpus_link/ over a fresh loopback connection to a
// listening hub, each of corpus_udp/ into a listening UDP transport (udpfuzz.h) and each of
// corpus_tor/ as what a Tor control port says (torfuzz.h); then checks the listeners still
// admit a genuine peer, and that some tor input still took a service all the way to ready.
// Fails when a corpus is missing or empty, so a broken path can't pass silently.

#include "linkfuzz.h"
#include "torfuzz.h"
#include "udpfuzz.h"

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
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s <term corpus> <link corpus> <udp corpus> <tor corpus>\n", argv[0]);
        return 2;
    }
    linkfuzz::ensureApplication();
    if (!replay(QString::fromLocal8Bit(argv[1]), linkfuzz::fuzzTermStream, true)
        || !replay(QString::fromLocal8Bit(argv[2]), linkfuzz::fuzzLink, false)
        || !replay(QString::fromLocal8Bit(argv[3]), udpfuzz::fuzzUdpSession, false)
        || !replay(QString::fromLocal8Bit(argv[4]), torfuzz::fuzzTorControl, false))
        return 1;
    // The corpus still takes a service past SAFECOOKIE to the end, through all that follows.
    if (torfuzz::scene().ready == 0) {
        std::fprintf(stderr, "no input of the tor corpus got a service past its control port to ready\n");
        return 1;
    }
    // Strangers' sessions hold no more than their budget, and a new one is still answered.
    udpfuzz::Listener &udp = udpfuzz::listener();
    if (udp.udp.unprovenBytes() > com::UdpTransport::kUnprovenBudgetBytes) {
        std::fprintf(stderr, "unproven UDP sessions hold %lld bytes\n", qint64(udp.udp.unprovenBytes()));
        return 1;
    }
    if (!udpfuzz::openSession(udp, QHostAddress(QStringLiteral("198.19.0.1")), 4242, 4242).isValid()) {
        std::fprintf(stderr, "the UDP transport no longer answers a genuine OPEN\n");
        return 1;
    }
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
