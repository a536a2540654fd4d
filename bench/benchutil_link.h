#pragma once

// What the link benchmarks share: the message they send and link timings that never get in
// the way of a long transfer.

#include "com/link.h"
#include "com/termstream.h"
#include "crypto/crypto.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace benchutil {

constexpr int kMessageBytes = 64 * 1024;
constexpr qint64 kMaxQueued = 8 * 1024 * 1024;

// One FSO-request-sized message with a patterned payload, framed as the link sends it.
inline std::vector<unsigned char> makeMessage()
{
    std::vector<unsigned char> buffer(kMessageBytes);
    com::TermStreamWriter w(buffer);
    com::writeMessageHeader(w, com::LinkClassFsoRequest, 0x12, 1);
    const std::size_t payload = kMessageBytes - w.size() - 5;
    std::vector<unsigned char> bytes(payload);
    for (std::size_t i = 0; i < payload; ++i)
        bytes[i] = static_cast<unsigned char>(i * 131);
    w.writeBlob(bytes.data(), payload);
    com::finishMessage(w);
    return buffer;
}

inline com::LinkTimings benchTimings()
{
    com::LinkTimings t;
    t.handshakeMs = 30000;
    t.pingIntervalMs = 1000;
    t.silenceMs = 600000;
    return t;
}

// Starts the crypto library and reads the optional argument (MiB to send, default 1 GiB):
// the number of messages to send, or 0 after printing why the benchmark cannot run.
inline qint64 messageCountFromArguments(int argc, char **argv)
{
    if (!crypto::initialize()) {
        std::fprintf(stderr, "crypto library failed to start\n");
        return 0;
    }
    qint64 mib = 1024;
    if (argc > 1) {
        mib = std::atoll(argv[1]);
        if (mib <= 0) {
            std::fprintf(stderr, "usage: %s [MiB]\n", argv[0]);
            return 0;
        }
    }
    return mib * 1024 * 1024 / kMessageBytes;
}

} // namespace benchutil
