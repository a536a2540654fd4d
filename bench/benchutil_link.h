#pragma once

// What the link benchmarks share: the message they send and link timings that never get in
// the way of a long transfer.

#include "com/link.h"
#include "com/termstream.h"

#include <QtGlobal>

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

} // namespace benchutil
