// The transfer state of the copy job: hash both sides, read and write what differs.

#include "vfs/jobs/vfsblocktransfer.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/jobs/vfscopyjob.h"

#include <cstring>

using namespace vfsblocks;

CopyIoState::CopyIoState()
{
    readBuffers.reserve(kReadBuffers);
    for (int i = 0; i < kReadBuffers; ++i) {
        readBuffers.emplace_back(new CopyReadBuffer);
        readBuffers.back()->record.data.reserve(kBlockSize);
    }
    writeBuffers.reserve(kWriteBuffers);
    for (int i = 0; i < kWriteBuffers; ++i) {
        writeBuffers.emplace_back(new CopyWriteBuffer);
        writeBuffers.back()->record.data.reserve(kBlockSize);
    }
}

void CopyIoState::resetForFile()
{
    transferQueue.clear();
    writeQueue.clear();
    hashPhase = HashIdle;
    readState = IoWorking;
    writeState = IoWorking;
    hashOffset = 0;
    sourceDigestCount = 0;
    haveLastSourceDigest = false;
    sourceChanged = false;
    sourceChecked = false;
    readTimer.start();
    notifyTimer.start();
    for (auto &b : readBuffers)
        b->answered = false;
    for (auto &b : writeBuffers)
        b->answered = false;
}

bool CopyIoState::anyBusy() const
{
    if (hashBusy)
        return true;
    for (const auto &b : readBuffers) {
        if (b->busy)
            return true;
    }
    for (const auto &b : writeBuffers) {
        if (b->busy)
            return true;
    }
    return false;
}

namespace {

bool digestsValid(const VfsHashFileJob &r, quint32 limit)
{
    return r.digestCount <= limit && r.digestBytes == quint32(r.digestCount) * kDigestSize
           && r.digests.size() >= std::size_t(r.digestCount) * kDigestSize;
}

} // namespace

void VfsCopyJob::stateTransfer(int action)
{
    if (action == JobActionEnter) {
        // Every buffer must be free before a new file starts (the restart waits for them).
        m_io.resetForFile();
        transferStep(action);
        return;
    }
    if (action == JobActionLeave) {
        m_io.transferQueue.clear();
        m_io.writeQueue.clear();
        return;
    }
    if (action == JobActionDelete)
        return;
    transferStep(action);
}

void VfsCopyJob::transferStep(int action)
{
    hashSource();
    hashDestination(action);
    if (m_copyState != CopyStateTransfer)
        return;
    readPipeline(action);
    if (m_io.writeState != CopyIoState::IoDone && m_io.writeState != CopyIoState::IoFailed)
        writePipeline(action);
    emitChanges();
    if (m_io.hashPhase == CopyIoState::HashFailed || m_io.readState == CopyIoState::IoFailed
        || m_io.writeState == CopyIoState::IoFailed) {
        abortJob(m_io.sourceChanged ? QStringLiteral("source changed during the copy")
                                    : QStringLiteral("error in io state"),
                 __LINE__);
        return;
    }
    if (m_io.hashPhase == CopyIoState::HashDone && m_io.readState == CopyIoState::IoDone
        && m_io.writeState == CopyIoState::IoDone) {
        verifyDestination();
        return;
    }
    if (m_io.hashPhase == CopyIoState::HashVerifyAnswered || m_io.hashPhase == CopyIoState::HashCheckSourceAnswered)
        verifyDestination();
}

void VfsCopyJob::hashSource()
{
    CopyIoState &io = m_io;
    if (io.hashPhase == CopyIoState::HashIdle) {
        if (io.transferQueue.size() > kMaxQueuedReads || io.hashBusy)
            return;
        if (!m_src) {
            io.hashPhase = CopyIoState::HashFailed;
            return;
        }
        io.sourceDigestCount = 0;
        VfsHashFileJob &r = io.hashRecord;
        r.flags = FSO_HASH_SHA1;
        r.handle = m_srcHandle;
        r.blockCount = kHashBlocks;
        r.blockSize = kBlockSize;
        r.offset = io.hashOffset;
        r.digests.clear();
        r.digestCount = 0;
        r.digestBytes = 0;
        io.hashPhase = CopyIoState::HashSourceSent;
        io.hashBusy = true;
        m_src->hashFile(&r);
        return;
    }
    if (io.hashPhase != CopyIoState::HashSourceAnswered)
        return;
    const VfsHashFileJob &r = io.hashRecord;
    if (r.jobStatus != JobFinished) {
        logPrintf(LogVcpa, "aborted hash read file ioState.hashFileJob->jobStatus: %d", int(r.jobStatus));
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    io.sourceHashStatus = r.status;
    if (r.status != FSO_STATUS_SUCCESS && r.status != FSO_STATUS_END_OF_FILE) {
        logPrintf(LogVcpa, "unhandled hash read file ioState.hashReadStatus: 0x%02X", unsigned(r.status));
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    if (!digestsValid(r, kHashBlocks)) {
        logPrintf(LogVcpa, "hash read file failed rspNBlocks: %u, rspSize: %u", unsigned(r.digestCount),
                  unsigned(r.digestBytes));
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    const quint64 size = m_curFileSize;
    const quint32 n = r.digestCount;
    const quint64 start = io.hashOffset;
    // The digests must fit the size the copy was planned with; anything else means the
    // source changed under the copy, and the retry reads its size again.
    bool fits;
    if (n == 0)
        fits = start >= size; // the end, exactly where expected
    else if (r.status == FSO_STATUS_END_OF_FILE)
        fits = size > start + quint64(n - 1) * kBlockSize && size <= start + quint64(n) * kBlockSize;
    else
        fits = size >= start + quint64(n) * kBlockSize;
    if (!fits) {
        logPrintf(LogVcpa, "source size changed: %llu digests at %llu, expected size %llu", (unsigned long long)n,
                  (unsigned long long)start, (unsigned long long)size);
        io.sourceChanged = true;
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    if (n == 0) {
        // Nothing more to compare: a reply without digests ends the hashing.
        io.hashPhase = CopyIoState::HashDone;
        return;
    }
    io.sourceDigestCount = n;
    std::memcpy(io.sourceDigests.data(), r.digests.data(), std::size_t(n) * kDigestSize);
    std::memcpy(io.lastSourceDigest.data(), r.digests.data() + std::size_t(n - 1) * kDigestSize, kDigestSize);
    io.haveLastSourceDigest = true;
    io.hashPhase = CopyIoState::HashSourceReady;
}

void VfsCopyJob::hashDestination(int action)
{
    CopyIoState &io = m_io;
    if (io.hashPhase == CopyIoState::HashSourceReady) {
        if (!m_dst || io.hashBusy) {
            io.hashPhase = m_dst ? io.hashPhase : int(CopyIoState::HashFailed);
            return;
        }
        VfsHashFileJob &r = io.hashRecord;
        r.flags = FSO_HASH_SHA1;
        r.handle = m_dstHandle;
        r.blockCount = quint16(io.sourceDigestCount);
        r.blockSize = kBlockSize;
        r.offset = io.hashOffset;
        r.digests.clear();
        r.digestCount = 0;
        r.digestBytes = 0;
        io.hashPhase = CopyIoState::HashDestinationSent;
        io.hashBusy = true;
        m_dst->hashFile(&r);
        return;
    }
    if (io.hashPhase != CopyIoState::HashDestinationAnswered)
        return;
    Q_UNUSED(action)
    const VfsHashFileJob &r = io.hashRecord;
    if (r.jobStatus != JobFinished) {
        logPrintf(LogVcpa, "aborted hash write file ioState.hashFileJob->jobStatus: %d", int(r.jobStatus));
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    if (r.status != FSO_STATUS_SUCCESS && r.status != FSO_STATUS_END_OF_FILE
        && r.status != FSO_STATUS_INVALID_OFFSET) {
        logPrintf(LogVcpa, "unhandled hash write file ioState.hashFileJob->status: 0x%02X", unsigned(r.status));
        io.hashPhase = CopyIoState::HashFailed;
        return;
    }
    const quint32 m = io.sourceDigestCount;
    // Only digests both sides have are compared; extra ones of a longer destination are
    // ignored (the file was cut to size when it was opened).
    quint32 d = 0;
    if (r.status != FSO_STATUS_INVALID_OFFSET && digestsValid(r, kHashBlocks))
        d = qMin<quint32>(r.digestCount, m);
    const quint64 size = m_curFileSize;
    int matches = 0;
    for (quint32 i = 0; i < m; ++i) {
        const quint64 o = io.hashOffset + quint64(i) * kBlockSize;
        if (o >= size)
            break;
        const quint32 length = blockLength(o, size);
        if (i < d
            && std::memcmp(io.sourceDigests.data() + std::size_t(i) * kDigestSize,
                           r.digests.data() + std::size_t(i) * kDigestSize, kDigestSize)
                   == 0) {
            ++matches;
            addBytesCopied(length);
        } else {
            io.transferQueue.push_back({o, length});
        }
    }
    logPrintf(LogVcpa, "hash write file offset %llu, nblocks %u status 0x%02X match %d",
              (unsigned long long)io.hashOffset, unsigned(r.digestCount), unsigned(r.status), matches);
    io.hashOffset += quint64(kBlockSize) * m;
    if (io.sourceHashStatus == FSO_STATUS_END_OF_FILE || io.hashOffset >= size)
        io.hashPhase = CopyIoState::HashDone;
    else if (io.sourceHashStatus == FSO_STATUS_SUCCESS)
        io.hashPhase = CopyIoState::HashIdle;
    else
        io.hashPhase = CopyIoState::HashFailed;
    if (matches > 0)
        m_changeFlags |= 1;
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::readPipeline(int action)
{
    Q_UNUSED(action)
    CopyIoState &io = m_io;
    if (io.hashPhase == CopyIoState::HashFailed || io.readState == CopyIoState::IoDone
        || io.readState == CopyIoState::IoFailed)
        return;
    bool issued = false;
    int busy = 0;
    for (auto &b : io.readBuffers) {
        VfsReadFileJob &r = b->record;
        if (b->answered) {
            b->answered = false;
            const bool statusOk = r.status == FSO_STATUS_SUCCESS || r.status == FSO_STATUS_END_OF_FILE;
            // A short read is never data: the block must come back whole.
            if (r.jobStatus != JobFinished || !statusOk || r.receivedSize != r.size
                || r.data.size() < std::size_t(r.receivedSize)) {
                logPrintf(LogVcpa, "unhandled read file rsp.status %u, got %u of %u", unsigned(r.status),
                          unsigned(r.receivedSize), unsigned(r.size));
                io.readState = CopyIoState::IoFailed;
                return;
            }
            WriteBlock block;
            block.offset = r.offset;
            block.data.assign(r.data.begin(), r.data.begin() + r.receivedSize);
            io.writeQueue.push_back(std::move(block));
            addBytesCopied(r.receivedSize);
            if (io.notifyTimer.elapsed() > 1000 || r.status == FSO_STATUS_END_OF_FILE) {
                m_changeFlags |= 1;
                io.notifyTimer.restart();
            }
            startTimer(0, JobActionStep, __LINE__);
        }
        if (b->busy) {
            ++busy;
            continue;
        }
        if (!issued && !io.transferQueue.empty() && io.writeQueue.size() <= kMaxQueuedWrites) {
            if (!m_src) {
                io.readState = CopyIoState::IoFailed;
                return;
            }
            const TransferBlock t = io.transferQueue.front();
            io.transferQueue.pop_front();
            r.flags = 0;
            r.handle = m_srcHandle;
            r.offset = t.offset;
            r.size = t.length;
            r.receivedSize = 0;
            r.data.clear();
            b->busy = true;
            ++busy;
            issued = true;
            logPrintf(LogVcpa, "copy start read: offset %llu, size %u, after %lld ms", (unsigned long long)t.offset,
                      unsigned(t.length), (long long)io.readTimer.restart());
            m_src->readFile(&r);
            startTimer(0, JobActionStep, __LINE__);
        }
    }
    if (busy == 0 && io.transferQueue.empty() && io.hashPhase == CopyIoState::HashDone)
        io.readState = CopyIoState::IoDone;
}

void VfsCopyJob::writePipeline(int action)
{
    Q_UNUSED(action)
    CopyIoState &io = m_io;
    bool issued = false;
    int busy = 0;
    for (auto &b : io.writeBuffers) {
        VfsWriteFileJob &r = b->record;
        if (b->answered) {
            b->answered = false;
            // A short write is a failure, never progress.
            if (r.jobStatus != JobFinished || r.status != FSO_STATUS_SUCCESS || r.written != r.size) {
                logPrintf(LogVcpa, "unhandled writeFileJob->status %u, wrote %u of %u", unsigned(r.status),
                          unsigned(r.written), unsigned(r.size));
                io.writeState = CopyIoState::IoFailed;
                return;
            }
            logPrintf(LogVcpa, "copy finished write");
            m_bytesSent.fetch_add(r.written);
            m_writtenSinceSample += r.written;
            sampleSpeed();
            startTimer(0, JobActionStep, __LINE__);
        }
        if (b->busy) {
            ++busy;
            continue;
        }
        if (!issued && !io.writeQueue.empty()) {
            if (!m_dst) {
                io.writeState = CopyIoState::IoFailed;
                return;
            }
            WriteBlock &w = io.writeQueue.front();
            r.flags = FSO_WRITE_EXTEND;
            r.handle = m_dstHandle;
            r.offset = w.offset;
            r.size = quint32(w.data.size());
            r.data.swap(w.data);
            r.written = 0;
            io.writeQueue.pop_front();
            b->busy = true;
            ++busy;
            issued = true;
            io.writeState = CopyIoState::IoWriting;
            logPrintf(LogVcpa, "copy start write, offset %llu, size: %llu", (unsigned long long)r.offset,
                      (unsigned long long)r.size);
            if (!io.speedTimer.isValid()) {
                io.speedTimer.start();
                m_writtenSinceSample = 0;
            }
            m_dst->writeFile(&r);
            startTimer(0, JobActionStep, __LINE__);
        }
    }
    if (busy == 0 && io.writeQueue.empty() && io.readState == CopyIoState::IoDone)
        io.writeState = CopyIoState::IoDone;
}

// The destination's last block is hashed once more: its digest must be the source's and
// nothing may follow it. Only then the file counts as copied.
void VfsCopyJob::verifyDestination()
{
    CopyIoState &io = m_io;
    const quint64 size = m_curFileSize;
    auto send = [&](VfsClient *client, quint16 handle, int phase) {
        VfsHashFileJob &r = io.hashRecord;
        r.flags = FSO_HASH_SHA1;
        r.handle = handle;
        r.blockSize = kBlockSize;
        r.offset = size == 0 ? 0 : ((size - 1) / kBlockSize) * kBlockSize;
        r.blockCount = size == 0 ? 1 : 2;
        r.digests.clear();
        r.digestCount = 0;
        r.digestBytes = 0;
        io.hashPhase = phase;
        io.hashBusy = true;
        client->hashFile(&r);
    };
    // The last block and nothing after it: its digest must be the one the source gave.
    auto lastBlockMatches = [&](const VfsHashFileJob &r) {
        bool ok = r.jobStatus == JobFinished && r.status == FSO_STATUS_END_OF_FILE && digestsValid(r, 2);
        if (ok && size == 0)
            return r.digestCount == 0;
        return ok && r.digestCount == 1 && io.haveLastSourceDigest
               && std::memcmp(r.digests.data(), io.lastSourceDigest.data(), kDigestSize) == 0;
    };
    if (io.hashPhase == CopyIoState::HashDone) {
        if (io.hashBusy || !m_src || !m_dst)
            return;
        if (!io.sourceChecked)
            send(m_src, m_srcHandle, CopyIoState::HashCheckSourceSent);
        else
            send(m_dst, m_dstHandle, CopyIoState::HashVerifySent);
        return;
    }
    if (io.hashPhase == CopyIoState::HashCheckSourceAnswered) {
        if (!lastBlockMatches(io.hashRecord)) {
            logPrintf(LogVcpa, "source changed while copied: status 0x%02X, %u digests",
                      unsigned(io.hashRecord.status), unsigned(io.hashRecord.digestCount));
            io.sourceChanged = true;
            io.hashPhase = CopyIoState::HashFailed;
            abortJob(QStringLiteral("source changed during the copy"), __LINE__);
            return;
        }
        io.sourceChecked = true;
        io.hashPhase = CopyIoState::HashDone;
        startTimer(0, JobActionStep, __LINE__);
        return;
    }
    if (io.hashPhase != CopyIoState::HashVerifyAnswered)
        return;
    if (!lastBlockMatches(io.hashRecord)) {
        logPrintf(LogVcpa, "destination check failed: status 0x%02X, %u digests", unsigned(io.hashRecord.status),
                  unsigned(io.hashRecord.digestCount));
        io.hashPhase = CopyIoState::HashFailed;
        abortJob(QStringLiteral("destination length check failed"), __LINE__);
        return;
    }
    io.hashPhase = CopyIoState::HashIdle;
    m_curFileComplete = true;
    m_changeFlags |= 1;
    emitChanges();
    setJobState(CopyStateCloseSource, __LINE__);
    startTimer(0, JobActionStep, __LINE__);
}

void VfsCopyJob::sampleSpeed()
{
    CopyIoState &io = m_io;
    if (!io.speedTimer.isValid())
        return;
    const qint64 elapsed = io.speedTimer.elapsed();
    if (elapsed <= 1000)
        return;
    const qint64 rate = qint64(m_writtenSinceSample * 1000 / quint64(elapsed));
    const qint64 speed = (m_speed.load() + rate) / 2;
    m_speed = speed;
    if (speed > 0) {
        const quint64 total = m_bytesTotal.load();
        const quint64 copied = m_bytesCopied.load();
        // A total that was overshot (a file grew) leaves nothing to wait for.
        qint64 remaining = copied >= total ? 0 : qint64((total - copied) / quint64(speed));
        const qint64 previous = m_remaining.load();
        if (previous > 0)
            remaining = (remaining + previous) / 2;
        m_remaining = remaining;
    }
    // A speed of 0 keeps the last estimate instead of dividing by it.
    m_writtenSinceSample = 0;
    io.speedTimer.restart();
    m_changeFlags |= 4;
}

void VfsCopyJob::emitChanges()
{
    if (!m_changeFlags)
        return;
    logPrintf(LogVcpa, "emit changes flags 0x%X", unsigned(m_changeFlags));
    if (m_changeFlags & 4) {
        m_changeFlags &= ~4u;
        Q_EMIT writeSpeedChanged();
        Q_EMIT remainingTimeChanged();
    }
    if (m_changeFlags & 1) {
        m_changeFlags &= ~1u;
        Q_EMIT bytesCopiedChanged();
        Q_EMIT percentDoneChanged();
    }
}
