#pragma once

// The content of one file, moved block by block from an open source handle to an open
// destination handle: block digests of both sides, the queue of blocks to read and write,
// and the read and write buffers. Blocks the destination already holds are never sent
// again, so an interrupted copy resumes where the data stops matching; at the end the last
// block of both sides is hashed once more: the source must not have changed under the copy,
// the destination's last block must be the source's, and nothing may follow it.
//
// A check only compares: the destination is open for reading, and no block is read or
// written. It tells whether the destination holds the source's content already; it stops at
// the first block that differs.
//
// A destination that held nothing (new or empty) has nothing to compare with: all blocks
// are sent and neither side is hashed. Its length is the planned one from its open; the
// source's is proved by the read of the last block, which must end exactly at the end of
// the file (a source that grew or shrank fails the copy and the retry plans it anew). The
// source of a file of one block is closed by its read itself, saving the close's round trip;
// the destination stays open for its job, which renames it while it holds it.
//
// Owned by its copy job and used on the job's thread only. Each record carries its own
// completion (VfsRequestRecord::done) which the job's `post` brings back onto that thread,
// so answers reach this transfer and no other.

#include "vfs/fso/vfsclient.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace vfsblocks {
constexpr quint32 kBlockSize = 64400;   // bytes per block, the largest FSO data block
constexpr quint16 kHashBlocks = 64;     // blocks per HASH_FILE request
constexpr int kReadBuffers = 32;        // READ_FILE requests in flight: as fast as 12 on loopback,
                                        // and 2 MB under way keep a slower link busy
constexpr int kWriteBuffers = 32;       // WRITE_FILE requests in flight
constexpr std::size_t kMaxQueuedReads = 4 * kReadBuffers;  // throttles hashing
constexpr std::size_t kMaxQueuedWrites = kWriteBuffers;    // throttles reading
constexpr std::size_t kDigestSize = 20;
constexpr int kHashBatches = 4;         // HASH_FILE batches in flight, each on both sides at once

// Length of the block at `offset` of a file of `size` bytes.
inline quint32 blockLength(quint64 offset, quint64 size)
{
    if (offset >= size)
        return 0;
    const quint64 left = size - offset;
    return left < kBlockSize ? quint32(left) : kBlockSize;
}
} // namespace vfsblocks

class VfsBlockTransfer
{
public:
    // What the transfer tells its job; every call on the job's thread.
    struct Events
    {
        // Runs a closure on the job's thread later, or never once the job is gone.
        std::function<void(std::function<void()>)> post;
        std::function<void()> answered;          // a read or write came back: step again
        std::function<void()> hashAnswered;      // a hash came back: step again
        std::function<void()> stepSoon;          // more can be sent: step again soon
        std::function<void(quint64)> copied;     // bytes now equal at the destination: found
                                                 // equal by their digests, or written
        std::function<void(quint64)> written;    // bytes the destination acknowledged
        std::function<void(quint64)> writing;    // bytes handed to the destination; a cut may
                                                 // leave them on its disk unacknowledged
        std::function<void()> shortWrite;        // a write took fewer bytes than given
        // The server closed the source's handle with the read that reached its end; the job
        // must not close it.
        std::function<void()> sourceClosed;
    };

    // Differs: a check found a block that is not equal.
    enum Outcome { Running, Complete, Differs, Failed };

    explicit VfsBlockTransfer(Events events);
    ~VfsBlockTransfer();
    VfsBlockTransfer(const VfsBlockTransfer &) = delete;
    VfsBlockTransfer &operator=(const VfsBlockTransfer &) = delete;

    // Starts one file of `size` bytes (as planned); every record must be back. `fresh`: the
    // destination was new or empty, so nothing of it can be kept.
    void begin(VfsClient *source, quint16 sourceHandle, VfsClient *destination, quint16 destinationHandle,
               quint64 size, bool fresh);
    // Starts a check of a destination open for reading: Complete when it holds the source's
    // content (its last block proved as at the end of a copy), else Differs.
    void beginCheck(VfsClient *source, quint16 sourceHandle, VfsClient *destination, quint16 destinationHandle,
                    quint64 size);
    // Sends what can be sent and takes in what was answered.
    Outcome step();
    // Why the last step failed; "source changed during the copy" when it did.
    QString failure() const { return m_failure; }
    // Whether the last failure was a source that changed while it was read.
    bool sourceChanged() const { return m_sourceChanged; }
    // Drops the queued blocks (the job leaves the transfer).
    void clear();
    bool anyBusy() const;
    // Whether requests are out with the source, with the destination.
    bool waitsForSource() const;
    bool waitsForDestination() const;
    // Withdraws every record still out; none of them is announced afterwards.
    void withdraw();

private:
    enum HashPhase {
        HashIdle,       // batches comparing the two sides are under way
        HashDone,
        HashFailed,
        // Before the end the source's last block once more: a source that changed while it
        // was copied is copied again from the start.
        HashCheckSourceSent,
        HashCheckSourceAnswered,
        // Then the destination's last block, to prove its content and that nothing follows.
        HashVerifySent,
        HashVerifyAnswered,
    };
    enum IoState { IoWorking, IoWriting, IoDone, IoFailed };

    struct Block
    {
        quint64 offset = 0;
        quint32 length = 0;
    };
    struct WriteBlock
    {
        quint64 offset = 0;
        std::vector<quint8> data;
    };
    template <typename Record>
    struct Buffer
    {
        Record record;
        bool busy = false;     // handed to the client, not yet answered
        bool answered = false; // answered, not yet taken by the pipeline
    };
    using ReadBuffer = Buffer<VfsReadFileJob>;
    using WriteBuffer = Buffer<VfsWriteFileJob>;

    // One stretch of up to kHashBlocks blocks, hashed on both sides at the same time.
    struct HashBatch
    {
        quint64 offset = 0;
        quint16 blocks = 0;
        bool inUse = false;
        Buffer<VfsHashFileJob> source;
        Buffer<VfsHashFileJob> destination;
    };

    template <typename Record> void routeAnswers(Buffer<Record> &buffer);
    void onHashAnswered();
    void sendHash(VfsClient *client, quint16 handle, quint16 blocks, quint64 offset, HashPhase phase);
    static void sendHashRecord(Buffer<VfsHashFileJob> &hash, VfsClient *client, quint16 handle, quint16 blocks,
                               quint64 offset);
    void hashBatches();
    // Compares an answered batch: matching blocks count as copied, the others are queued.
    bool compareBatch(HashBatch &batch);
    void readPipeline();
    void writePipeline();
    Outcome verifyEnd();
    Outcome fail(const QString &why);

    Events m_events;

    // The file: clients, handles and the size the copy was planned with.
    VfsClient *m_src = nullptr;
    VfsClient *m_dst = nullptr;
    quint16 m_srcHandle = 0;
    quint16 m_dstHandle = 0;
    quint64 m_size = 0;

    // Hashing: the batches in flight, where the next one starts, and the end's checks.
    HashPhase m_hashPhase = HashIdle;
    quint64 m_hashOffset = 0;
    std::vector<std::unique_ptr<HashBatch>> m_batches;
    std::array<quint8, vfsblocks::kDigestSize> m_lastSourceDigest{};
    bool m_haveLastSourceDigest = false;
    bool m_sourceChanged = false;
    bool m_sourceChecked = false;
    bool m_fresh = false;
    bool m_foldClose = false;   // one block, fresh: the read closes the source
    bool m_checkOnly = false;   // a check: blocks are compared, never read or written
    bool m_checkDiffers = false;   // a check found a block that is not equal: it stops
    Buffer<VfsHashFileJob> m_hash;

    // Blocks to read, blocks read and waiting to be written, and the buffers in flight.
    std::deque<Block> m_transferQueue;
    std::deque<WriteBlock> m_writeQueue;
    std::vector<std::unique_ptr<ReadBuffer>> m_readBuffers;
    std::vector<std::unique_ptr<WriteBuffer>> m_writeBuffers;
    IoState m_readState = IoWorking;
    IoState m_writeState = IoWorking;

    QElapsedTimer m_readTimer;
    QString m_failure;
};
