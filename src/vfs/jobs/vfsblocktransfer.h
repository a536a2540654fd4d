#pragma once

// The transfer state of a copy job: block digests of both sides, the queue of blocks to
// read and write, and the read and write buffers. Blocks the destination already holds
// are never sent again, so an interrupted copy resumes where the data stops matching.

#include "vfs/fso/vfsclient.h"

#include <QElapsedTimer>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace vfsblocks {
constexpr quint32 kBlockSize = 64400;   // bytes per block, the largest FSO data block
constexpr quint16 kHashBlocks = 64;     // blocks per HASH_FILE request
constexpr int kReadBuffers = 12;        // READ_FILE requests in flight
constexpr int kWriteBuffers = 12;       // WRITE_FILE requests in flight
constexpr std::size_t kMaxQueuedReads = 4 * kReadBuffers;  // throttles hashing
constexpr std::size_t kMaxQueuedWrites = kWriteBuffers;    // throttles reading
constexpr std::size_t kDigestSize = 20;

// Length of the block at `offset` of a file of `size` bytes.
inline quint32 blockLength(quint64 offset, quint64 size)
{
    if (offset >= size)
        return 0;
    const quint64 left = size - offset;
    return left < kBlockSize ? quint32(left) : kBlockSize;
}
} // namespace vfsblocks

struct TransferBlock
{
    quint64 offset = 0;
    quint32 length = 0;
};

struct WriteBlock
{
    quint64 offset = 0;
    std::vector<quint8> data;
};

struct CopyReadBuffer
{
    VfsReadFileJob record;
    bool busy = false;     // handed to the client, not yet announced back
    bool answered = false; // announced back, not yet taken by the pipeline
};

struct CopyWriteBuffer
{
    VfsWriteFileJob record;
    bool busy = false;
    bool answered = false;
};

struct CopyIoState
{
    enum HashPhase {
        HashIdle = 0,
        HashSourceSent = 1,
        HashSourceAnswered = 2,
        HashSourceReady = 3,
        HashDestinationSent = 4,
        HashDestinationAnswered = 5,
        HashDone = 6,
        HashFailed = 7,
        // After the last write: the destination's last block is hashed once more to prove
        // its content and that nothing follows it.
        HashVerifySent = 8,
        HashVerifyAnswered = 9,
        // Before that, the source's last block likewise: a source that changed while it was
        // copied is copied again from the start.
        HashCheckSourceSent = 10,
        HashCheckSourceAnswered = 11,
    };
    enum { IoWorking = 0, IoWriting = 1, IoDone = 3, IoFailed = 4 };

    int hashPhase = HashIdle;
    quint64 hashOffset = 0;
    quint8 sourceHashStatus = 0;
    quint32 sourceDigestCount = 0;
    std::array<quint8, vfsblocks::kHashBlocks * vfsblocks::kDigestSize> sourceDigests{};
    std::array<quint8, vfsblocks::kDigestSize> lastSourceDigest{};
    bool haveLastSourceDigest = false;
    bool sourceChanged = false;
    bool sourceChecked = false;

    VfsHashFileJob hashRecord;
    bool hashBusy = false;

    std::deque<TransferBlock> transferQueue;
    std::deque<WriteBlock> writeQueue;
    std::vector<std::unique_ptr<CopyReadBuffer>> readBuffers;
    std::vector<std::unique_ptr<CopyWriteBuffer>> writeBuffers;

    int readState = IoWorking;
    int writeState = IoWorking;

    QElapsedTimer readTimer;
    QElapsedTimer notifyTimer;
    QElapsedTimer speedTimer;

    CopyIoState();
    void resetForFile();
    bool anyBusy() const;
};
