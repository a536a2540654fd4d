#pragma once

// The FSO client of one peer: queues request records by kind, gives each a transaction id,
// encodes and sends the requests (fsoTransmit), matches decoded replies by transaction id,
// fills the records, times out requests without an answer and announces each finished
// record once by the update signal of its kind.
//
// It lives on the thread of its peer object ("ioThread"); replies are handed to
// processIncomingCommand there. Request operations may be called from any thread: a call
// from another thread only queues the record and lets the client's own thread send it.
//
// Update signals and fsoTransmit are always emitted with no lock held, so a receiver may
// call the client again from within them.

#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"

#include <memory>
#include <vector>

class QTimer;

class VfsClientNusk : public VfsClient
{
    Q_OBJECT
public:
    explicit VfsClientNusk(QObject *parent = nullptr);
    ~VfsClientNusk() override;

    void setProtocolVersion(ushort version);
    ushort protocolVersion() const;

    // Time without a reply after which a request fails with FSO_STATUS_TIMEOUT, counted
    // from the sending of the request (of the current page, for a listing).
    void setRequestTimeout(int ms);      // default FSO_TIMEOUT_MS (15000)
    void setTransferTimeout(int ms);     // READ_FILE and WRITE_FILE, default 60000
    int requestTimeout() const;
    int transferTimeout() const;
    // Most entries one listing may collect; a listing that grows beyond ends in JobError.
    void setMaxListingEntries(std::size_t count);
    // While the link is not ready, requests stay queued (their timeout running) and leave
    // once it is. Ready from the start; on the client's thread.
    void setLinkReady(bool ready);
    // Requests go to `transmitter` instead of fsoTransmit. Set once, on the client's thread,
    // before the first request.
    void setTransmitter(FsoTransmitter transmitter);
    // As processIncomingCommand, but a read's data block is taken out of `cmd` (swapped with
    // a spent buffer) instead of copied; for the owner of a record it refills per message.
    void takeIncomingCommand(VfsFenuCommand &cmd);

    void listDirectory(VfsListDirectoryJob *job) override;
    void listDrives(VfsListDrivesJob *job) override;
    void move(VfsMoveJob *job) override;
    void openFile(VfsOpenFileJob *job) override;
    void closeFile(VfsCloseFileJob *job) override;
    void readFile(VfsReadFileJob *job) override;
    void writeFile(VfsWriteFileJob *job) override;
    void deleteFile(VfsDeleteFileJob *job) override;
    void hashFile(VfsHashFileJob *job) override;
    void makeDirectory(VfsMakeDirectoryJob *job) override;
    void syncFileSystem(VfsSyncJob *job) override;
    bool canPutFile() const override;
    void putFile(VfsPutFileJob *job) override;
    void getFile(VfsGetFileJob *job) override;

    void processIncomingCommand(const VfsFenuCommand *cmd)
    {
        if (cmd)
            processIncomingCommand(*cmd);
    }

    struct Private;

public Q_SLOTS:
    // One decoded class 0x43 message (reply or notification). The record is only read
    // during the call.
    void processIncomingCommand(const VfsFenuCommand &cmd);
    void jobTimerFired();
    // The link to the peer is gone: every request still waiting ends now with
    // FSO_STATUS_TIMEOUT instead of waiting out its timeout for a reply that cannot come.
    void failPendingRequests();
    // The link the requests went out on was replaced: what asks and changes nothing on the
    // other side (listings, drive lists, hashes, whole-file reads, flushes) and is still
    // unanswered goes out again, under a new transaction id so that a late answer to the
    // first request finds nobody waiting. The rest waits for its answer on the kept link.
    void repeatUnanswered();
    void onThreadFinished();
    void onRxOngoing();

Q_SIGNALS:
    void fsoTransmit(std::vector<unsigned char> data);
    void processedCommand(const VfsFenuCommand *cmd);

private:
    template <typename Job> void runPass();
    template <typename Job> bool enqueue(Job *job);
    template <typename Job> void submit(Job *job);
    void dispatchIncoming(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);
    void postTimer();
    void startOrKick(bool kick);
    bool onOwnThread() const;

    void processListDirectoryResponse(const VfsFenuCommand &cmd);
    void processQueryListDirectoryResponse(const VfsFenuCommand &cmd);
    void processListDrivesResponse(const VfsFenuCommand &cmd);
    void processDirectoryChangedNotification(const VfsFenuCommand &cmd);
    void processMoveResponse(const VfsFenuCommand &cmd);
    void processOpenFileResponse(const VfsFenuCommand &cmd);
    void processCloseFileResponse(const VfsFenuCommand &cmd);
    void processReadFileResponse(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);
    void processWriteFileResponse(const VfsFenuCommand &cmd);
    void processDeleteFileResponse(const VfsFenuCommand &cmd);
    void processHashFileResponse(const VfsFenuCommand &cmd);
    void processMakeDirectoryResponse(const VfsFenuCommand &cmd);
    void processSyncResponse(const VfsFenuCommand &cmd);
    void processPutFileResponse(const VfsFenuCommand &cmd);
    void processGetFileResponse(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);

    // The record's own completion when it has one, else the update signal of its kind.
    template <typename Job> void announce(Job *job)
    {
        if (job->done) {
            // A copy: the callback may reuse or free the record, and with it the function.
            const std::function<void(Job *)> done = job->done;
            done(job);
        } else {
            emitUpdate(job);
        }
    }
    void emitUpdate(VfsListDirectoryJob *job) { Q_EMIT listDirectoryUpdate(job); }
    void emitUpdate(VfsListDrivesJob *job) { Q_EMIT listDrivesUpdate(job); }
    void emitUpdate(VfsMoveJob *job) { Q_EMIT moveUpdate(job); }
    void emitUpdate(VfsOpenFileJob *job) { Q_EMIT openFileUpdate(job); }
    void emitUpdate(VfsCloseFileJob *job) { Q_EMIT closeFileUpdate(job); }
    void emitUpdate(VfsReadFileJob *job) { Q_EMIT readFileUpdate(job); }
    void emitUpdate(VfsWriteFileJob *job) { Q_EMIT writeFileUpdate(job); }
    void emitUpdate(VfsDeleteFileJob *job) { Q_EMIT deleteFileUpdate(job); }
    void emitUpdate(VfsHashFileJob *job) { Q_EMIT hashFileUpdate(job); }
    void emitUpdate(VfsMakeDirectoryJob *job) { Q_EMIT makeDirectoryUpdate(job); }
    void emitUpdate(VfsSyncJob *job) { Q_EMIT syncFileSystemUpdate(job); }
    void emitUpdate(VfsPutFileJob *job) { Q_EMIT putFileUpdate(job); }
    void emitUpdate(VfsGetFileJob *job) { Q_EMIT getFileUpdate(job); }

    std::shared_ptr<Private> d;
    QTimer *m_jobTimer;
};
