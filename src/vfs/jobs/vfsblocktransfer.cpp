#include "vfs/jobs/vfsblocktransfer.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfsjob.h"

#include <cstring>
#include <type_traits>

using namespace vfsblocks;

namespace {

bool digestsValid(const VfsHashFileJob &r, quint32 limit)
{
    return r.digestCount <= limit && r.digestBytes == quint32(r.digestCount) * kDigestSize
           && r.digests.size() >= std::size_t(r.digestCount) * kDigestSize;
}

} // namespace

VfsBlockTransfer::VfsBlockTransfer(Events events)
    : m_events(std::move(events))
{
    m_readBuffers.reserve(kReadBuffers);
    for (int i = 0; i < kReadBuffers; ++i) {
        m_readBuffers.emplace_back(new ReadBuffer);
        m_readBuffers.back()->record.data.reserve(kBlockSize);
        routeAnswers(*m_readBuffers.back());
    }
    m_writeBuffers.reserve(kWriteBuffers);
    for (int i = 0; i < kWriteBuffers; ++i) {
        m_writeBuffers.emplace_back(new WriteBuffer);
        m_writeBuffers.back()->record.data.reserve(kBlockSize);
        routeAnswers(*m_writeBuffers.back());
    }
    m_hash.record.done = [this](VfsHashFileJob *) { m_events.post([this] { onHashAnswered(); }); };
    for (int i = 0; i < kHashBatches; ++i) {
        m_batches.emplace_back(new HashBatch);
        routeAnswers(m_batches.back()->source);
        routeAnswers(m_batches.back()->destination);
    }
}

VfsBlockTransfer::~VfsBlockTransfer()
{
    withdraw();
}

template <typename Record>
void VfsBlockTransfer::routeAnswers(Buffer<Record> &buffer)
{
    Buffer<Record> *b = &buffer;
    buffer.record.done = [this, b](Record *) {
        m_events.post([this, b] {
            if (!b->busy || !vfsRequestEnded(b->record.jobStatus))
                return;
            b->busy = false;
            b->answered = true;
            if constexpr (std::is_same_v<Record, VfsHashFileJob>) {
                m_events.hashAnswered();
                return;
            }
            if constexpr (std::is_same_v<Record, VfsWriteFileJob>) {
                // The destination took fewer bytes than it was sent, or said its disk is full.
                const VfsWriteFileJob &r = b->record;
                if ((r.jobStatus == JobFinished && r.status == FSO_STATUS_SUCCESS && r.written < r.size)
                    || r.status == FSO_STATUS_DISK_FULL)
                    m_events.shortWrite();
            }
            m_events.answered();
        });
    };
}

void VfsBlockTransfer::onHashAnswered()
{
    if (!m_hash.busy || !vfsRequestEnded(m_hash.record.jobStatus))
        return;
    m_hash.busy = false;
    switch (m_hashPhase) {
    case HashVerifySent: m_hashPhase = HashVerifyAnswered; break;
    case HashCheckSourceSent: m_hashPhase = HashCheckSourceAnswered; break;
    default: break;
    }
    m_events.hashAnswered();
}

void VfsBlockTransfer::begin(VfsClient *source, quint16 sourceHandle, VfsClient *destination,
                             quint16 destinationHandle, quint64 size, bool fresh)
{
    m_src = source;
    m_dst = destination;
    m_srcHandle = sourceHandle;
    m_dstHandle = destinationHandle;
    m_size = size;
    m_transferQueue.clear();
    m_writeQueue.clear();
    m_hashPhase = HashIdle;
    m_readState = IoWorking;
    m_writeState = IoWorking;
    m_hashOffset = 0;
    for (auto &batch : m_batches) {
        batch->inUse = false;
        batch->source.answered = batch->destination.answered = false;
    }
    m_haveLastSourceDigest = false;
    m_sourceChanged = false;
    m_sourceChecked = false;
    m_fresh = fresh;
    m_foldClose = fresh && size > 0 && size <= kBlockSize;
    m_checkOnly = false;
    m_checkDiffers = false;
    m_failure.clear();
    m_readTimer.start();
    for (auto &b : m_readBuffers)
        b->answered = false;
    for (auto &b : m_writeBuffers)
        b->answered = false;
    if (fresh) {
        for (quint64 o = 0; o < size; o += kBlockSize)
            m_transferQueue.push_back({o, blockLength(o, size)});
        m_hashPhase = HashDone;
    }
}

void VfsBlockTransfer::beginCheck(VfsClient *source, quint16 sourceHandle, VfsClient *destination,
                                  quint16 destinationHandle, quint64 size)
{
    begin(source, sourceHandle, destination, destinationHandle, size, false);
    m_checkOnly = true;
}

void VfsBlockTransfer::clear()
{
    m_transferQueue.clear();
    m_writeQueue.clear();
}

bool VfsBlockTransfer::anyBusy() const
{
    return m_hash.busy || waitsForSource() || waitsForDestination();
}

bool VfsBlockTransfer::waitsForSource() const
{
    // The hash record serves the source's last block first, then the destination's.
    if (m_hash.busy && m_hashPhase == HashCheckSourceSent)
        return true;
    for (const auto &batch : m_batches) {
        if (batch->source.busy)
            return true;
    }
    for (const auto &b : m_readBuffers) {
        if (b->busy)
            return true;
    }
    return false;
}

bool VfsBlockTransfer::waitsForDestination() const
{
    if (m_hash.busy && m_hashPhase == HashVerifySent)
        return true;
    for (const auto &batch : m_batches) {
        if (batch->destination.busy)
            return true;
    }
    for (const auto &b : m_writeBuffers) {
        if (b->busy)
            return true;
    }
    return false;
}

void VfsBlockTransfer::withdraw()
{
    releaseIfBusy(m_hash.record, m_hash.busy);
    for (auto &batch : m_batches) {
        releaseIfBusy(batch->source.record, batch->source.busy);
        releaseIfBusy(batch->destination.record, batch->destination.busy);
    }
    for (auto &b : m_readBuffers)
        releaseIfBusy(b->record, b->busy);
    for (auto &b : m_writeBuffers)
        releaseIfBusy(b->record, b->busy);
}

VfsBlockTransfer::Outcome VfsBlockTransfer::fail(const QString &why)
{
    m_failure = why;
    return Failed;
}

VfsBlockTransfer::Outcome VfsBlockTransfer::step()
{
    hashBatches();
    readPipeline();
    if (m_writeState != IoDone && m_writeState != IoFailed)
        writePipeline();
    if (m_hashPhase == HashFailed || m_readState == IoFailed || m_writeState == IoFailed)
        return fail(m_sourceChanged ? QStringLiteral("source changed during the copy")
                                    : QStringLiteral("error in io state"));
    const bool allDone = m_hashPhase == HashDone && m_readState == IoDone && m_writeState == IoDone;
    if (allDone && m_checkDiffers)
        return Differs;
    if (allDone && m_fresh)
        return Complete;
    if (allDone || m_hashPhase == HashVerifyAnswered || m_hashPhase == HashCheckSourceAnswered)
        return verifyEnd();
    return Running;
}

void VfsBlockTransfer::sendHashRecord(Buffer<VfsHashFileJob> &hash, VfsClient *client, quint16 handle,
                                      quint16 blocks, quint64 offset)
{
    VfsHashFileJob &r = hash.record;
    r.flags = FSO_HASH_SHA1;
    r.handle = handle;
    r.blockCount = blocks;
    r.blockSize = kBlockSize;
    r.offset = offset;
    r.digests.clear();
    r.digestCount = 0;
    r.digestBytes = 0;
    hash.busy = true;
    hash.answered = false;
    client->hashFile(&r);
}

void VfsBlockTransfer::sendHash(VfsClient *client, quint16 handle, quint16 blocks, quint64 offset, HashPhase phase)
{
    m_hashPhase = phase;
    sendHashRecord(m_hash, client, handle, blocks, offset);
}

void VfsBlockTransfer::hashBatches()
{
    if (m_hashPhase != HashIdle)
        return;
    bool inUse = false;
    for (auto &batch : m_batches) {
        if (batch->inUse && batch->source.answered && batch->destination.answered) {
            batch->inUse = false;
            if (!compareBatch(*batch)) {
                m_hashPhase = HashFailed;
                return;
            }
        }
        inUse = inUse || batch->inUse;
    }
    // Both sides of each stretch at once, several stretches ahead of the reads they make. A
    // check stops at the first difference: what follows it is the transfer's.
    const bool stopped = m_checkDiffers;
    for (auto &batch : m_batches) {
        if (batch->inUse || m_hashOffset >= m_size || m_transferQueue.size() > kMaxQueuedReads || stopped)
            continue;
        if (!m_src || !m_dst) {
            m_hashPhase = HashFailed;
            return;
        }
        const quint64 left = (m_size - m_hashOffset + kBlockSize - 1) / kBlockSize;
        batch->offset = m_hashOffset;
        batch->blocks = quint16(qMin<quint64>(left, kHashBlocks));
        batch->inUse = true;
        inUse = true;
        m_hashOffset += quint64(batch->blocks) * kBlockSize;
        sendHashRecord(batch->source, m_src, m_srcHandle, batch->blocks, batch->offset);
        sendHashRecord(batch->destination, m_dst, m_dstHandle, batch->blocks, batch->offset);
    }
    if (!inUse && (m_hashOffset >= m_size || stopped))
        m_hashPhase = HashDone;
}

bool VfsBlockTransfer::compareBatch(HashBatch &batch)
{
    const VfsHashFileJob &s = batch.source.record;
    const VfsHashFileJob &r = batch.destination.record;
    if (s.jobStatus != JobFinished || (s.status != FSO_STATUS_SUCCESS && s.status != FSO_STATUS_END_OF_FILE)
        || !digestsValid(s, kHashBlocks)) {
        logPrintf(LogVcpa, "hash of the source failed: job %d status 0x%02X, %u digests", int(s.jobStatus),
                  unsigned(s.status), unsigned(s.digestCount));
        return false;
    }
    const quint64 size = m_size;
    const quint64 start = batch.offset;
    const quint32 n = s.digestCount;
    // The digests must fit the size the copy was planned with; anything else means the
    // source changed under the copy, and the retry reads its size again.
    bool fits = n == batch.blocks;
    if (fits && s.status == FSO_STATUS_END_OF_FILE)
        fits = size > start + quint64(n - 1) * kBlockSize && size <= start + quint64(n) * kBlockSize;
    else if (fits)
        fits = size >= start + quint64(n) * kBlockSize;
    if (!fits) {
        logPrintf(LogVcpa, "source size changed: %u digests at %llu, expected size %llu", unsigned(n),
                  (unsigned long long)start, (unsigned long long)size);
        m_sourceChanged = true;
        return false;
    }
    if (start + quint64(n) * kBlockSize >= size) {
        std::memcpy(m_lastSourceDigest.data(), s.digests.data() + std::size_t(n - 1) * kDigestSize, kDigestSize);
        m_haveLastSourceDigest = true;
    }
    if (r.jobStatus != JobFinished
        || (r.status != FSO_STATUS_SUCCESS && r.status != FSO_STATUS_END_OF_FILE
            && r.status != FSO_STATUS_INVALID_OFFSET)) {
        logPrintf(LogVcpa, "hash of the destination failed: job %d status 0x%02X", int(r.jobStatus),
                  unsigned(r.status));
        return false;
    }
    // Only digests both sides have are compared; extra ones of a longer destination are
    // ignored (the file was cut to size when it was opened).
    quint32 d = 0;
    if (r.status != FSO_STATUS_INVALID_OFFSET && digestsValid(r, kHashBlocks))
        d = qMin<quint32>(r.digestCount, n);
    int matches = 0;
    for (quint32 i = 0; i < n; ++i) {
        const quint64 o = start + quint64(i) * kBlockSize;
        const quint32 length = blockLength(o, size);
        if (i < d
            && std::memcmp(s.digests.data() + std::size_t(i) * kDigestSize,
                           r.digests.data() + std::size_t(i) * kDigestSize, kDigestSize)
                   == 0) {
            ++matches;
            m_events.copied(length);
        } else if (m_checkOnly) {
            m_checkDiffers = true;
        } else {
            m_transferQueue.push_back({o, length});
        }
    }
    logPrintf(LogVcpa, "hashes at %llu: %u blocks, %d match", (unsigned long long)start, unsigned(n), matches);
    m_events.stepSoon();
    return true;
}

void VfsBlockTransfer::readPipeline()
{
    if (m_hashPhase == HashFailed || m_readState == IoDone || m_readState == IoFailed)
        return;
    int busy = 0;
    for (auto &b : m_readBuffers) {
        VfsReadFileJob &r = b->record;
        if (b->answered) {
            b->answered = false;
            if (m_foldClose && r.jobStatus == JobFinished && r.status == FSO_STATUS_END_OF_FILE)
                m_events.sourceClosed();
            const bool statusOk = r.status == FSO_STATUS_SUCCESS || r.status == FSO_STATUS_END_OF_FILE;
            // A short read is never data: the block must come back whole.
            if (r.jobStatus != JobFinished || !statusOk || r.receivedSize != r.size
                || r.data.size() < std::size_t(r.receivedSize)) {
                logPrintf(LogVcpa, "unhandled read file rsp.status %u, got %u of %u", unsigned(r.status),
                          unsigned(r.receivedSize), unsigned(r.size));
                m_readState = IoFailed;
                return;
            }
            // Without digests, the last block is what proves the source still ends where the
            // copy was planned to end.
            if (m_fresh && r.offset + r.size >= m_size && r.status != FSO_STATUS_END_OF_FILE) {
                logPrintf(LogVcpa, "source longer than planned: the last block did not end it");
                m_sourceChanged = true;
                m_readState = IoFailed;
                return;
            }
            WriteBlock block;
            block.offset = r.offset;
            r.data.resize(r.receivedSize);
            block.data.swap(r.data);
            m_writeQueue.push_back(std::move(block));
            m_events.stepSoon();
        }
        if (b->busy) {
            ++busy;
            continue;
        }
        if (!m_transferQueue.empty() && m_writeQueue.size() <= kMaxQueuedWrites) {
            if (!m_src) {
                m_readState = IoFailed;
                return;
            }
            const Block t = m_transferQueue.front();
            m_transferQueue.pop_front();
            r.flags = m_foldClose ? FSO_READ_CLOSE_AT_EOF : 0;
            r.handle = m_srcHandle;
            r.offset = t.offset;
            r.size = t.length;
            r.receivedSize = 0;
            r.data.clear();
            b->busy = true;
            ++busy;
            logPrintf(LogVcpa, "copy start read: offset %llu, size %u, after %lld ms", (unsigned long long)t.offset,
                      unsigned(t.length), (long long)m_readTimer.restart());
            m_src->readFile(&r);
            m_events.stepSoon();
        }
    }
    if (busy == 0 && m_transferQueue.empty() && m_hashPhase == HashDone)
        m_readState = IoDone;
}

void VfsBlockTransfer::writePipeline()
{
    int busy = 0;
    for (auto &b : m_writeBuffers) {
        VfsWriteFileJob &r = b->record;
        if (b->answered) {
            b->answered = false;
            // A short write is a failure, never progress.
            if (r.jobStatus != JobFinished || r.status != FSO_STATUS_SUCCESS || r.written != r.size) {
                logPrintf(LogVcpa, "unhandled writeFileJob->status %u, wrote %u of %u", unsigned(r.status),
                          unsigned(r.written), unsigned(r.size));
                m_writeState = IoFailed;
                return;
            }
            logPrintf(LogVcpa, "copy finished write");
            // Only now is the block on the destination: a block read is not yet progress.
            m_events.copied(r.written);
            m_events.written(r.written);
            m_events.stepSoon();
        }
        if (b->busy) {
            ++busy;
            continue;
        }
        if (!m_writeQueue.empty()) {
            if (!m_dst) {
                m_writeState = IoFailed;
                return;
            }
            WriteBlock &w = m_writeQueue.front();
            r.flags = FSO_WRITE_EXTEND;
            r.handle = m_dstHandle;
            r.offset = w.offset;
            r.size = quint32(w.data.size());
            r.data.swap(w.data);
            r.written = 0;
            m_writeQueue.pop_front();
            b->busy = true;
            ++busy;
            m_writeState = IoWriting;
            logPrintf(LogVcpa, "copy start write, offset %llu, size: %llu", (unsigned long long)r.offset,
                      (unsigned long long)r.size);
            m_events.writing(r.size);
            m_dst->writeFile(&r);
            m_events.stepSoon();
        }
    }
    if (busy == 0 && m_writeQueue.empty() && m_readState == IoDone)
        m_writeState = IoDone;
}

// The last block of both sides is hashed once more: the source's must still be the digest
// it gave while hashing, the destination's the same, and nothing may follow it. Only then
// the file counts as copied.
VfsBlockTransfer::Outcome VfsBlockTransfer::verifyEnd()
{
    const quint64 size = m_size;
    const quint64 lastOffset = size == 0 ? 0 : ((size - 1) / kBlockSize) * kBlockSize;
    const quint16 blocks = size == 0 ? 1 : 2;
    auto lastBlockMatches = [&](const VfsHashFileJob &r) {
        bool ok = r.jobStatus == JobFinished && r.status == FSO_STATUS_END_OF_FILE && digestsValid(r, 2);
        if (ok && size == 0)
            return r.digestCount == 0;
        return ok && r.digestCount == 1 && m_haveLastSourceDigest
               && std::memcmp(r.digests.data(), m_lastSourceDigest.data(), kDigestSize) == 0;
    };
    if (m_hashPhase == HashDone) {
        if (m_hash.busy || !m_src || !m_dst)
            return Running;
        if (!m_sourceChecked)
            sendHash(m_src, m_srcHandle, blocks, lastOffset, HashCheckSourceSent);
        else
            sendHash(m_dst, m_dstHandle, blocks, lastOffset, HashVerifySent);
        return Running;
    }
    if (m_hashPhase == HashCheckSourceAnswered) {
        if (!lastBlockMatches(m_hash.record)) {
            logPrintf(LogVcpa, "source changed while copied: status 0x%02X, %u digests",
                      unsigned(m_hash.record.status), unsigned(m_hash.record.digestCount));
            m_sourceChanged = true;
            m_hashPhase = HashFailed;
            return fail(QStringLiteral("source changed during the copy"));
        }
        m_sourceChecked = true;
        m_hashPhase = HashDone;
        m_events.stepSoon();
        return Running;
    }
    if (m_hashPhase != HashVerifyAnswered)
        return Running;
    if (!lastBlockMatches(m_hash.record)) {
        logPrintf(LogVcpa, "destination check failed: status 0x%02X, %u digests", unsigned(m_hash.record.status),
                  unsigned(m_hash.record.digestCount));
        m_hashPhase = HashFailed;
        return fail(QStringLiteral("destination length check failed"));
    }
    m_hashPhase = HashIdle;
    return Complete;
}
