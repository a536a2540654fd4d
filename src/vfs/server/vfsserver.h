#pragma once

// VfsServerNusk answers the file requests one peer sends to this computer.
//
// It lives on the thread of the peer objects ("ioThread"); every handler, the access list,
// the job lists and the open-file table belong to that thread. Listing pages, opens, reads,
// writes, hashes, deletes (checks and all), moves and syncs run on the global thread pool
// and come back as replies through fsoTransmit. A remote peer reaches only what its access
// entries allow; the local computer's own peer (isLocal) is not checked.

#include "db/dto.h"
#include "vfs/fso/vfsfenucommand.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class VfsServerNuskPrivate;

class VfsServerNusk : public QObject
{
    Q_OBJECT
public:
    explicit VfsServerNusk(bool isLocal, QObject *parent = nullptr);
    // Waits for every job still on the thread pool and closes every open file (without
    // applying kept times).
    ~VfsServerNusk() override;

    bool isLocal() const;
    void setProtocolVersion(quint16 version);
    quint16 protocolVersion() const;

    void setAcl(std::vector<PeerAclDto> entries);
    std::vector<PeerAclDto> acl() const;

    // Limits and clocks, adjustable so tests need not wait minutes.
    void setListingWait(int ticks, int tickMs);          // default 1500 ticks of 10 ms
    void setIdleClose(qint64 idleMs, int checkIntervalMs); // default 300000 ms, 300000 ms
    void setMaxPendingListings(int count);                // default 64
    void setFlushIdle(int ms);                            // default 30000 ms (VfsFlushes)

    int openFileCount() const;
    int pendingListingCount() const;
    int runningJobCount() const;
    // The handle number the next open continues from.
    void setLastHandle(quint16 handle);
    // Replies go to `transmitter` instead of fsoTransmit. Set once, on the server's thread,
    // before the first request.
    void setTransmitter(FsoTransmitter transmitter);
    // As processIncomingCommand, but a write's data block is taken out of `cmd` (swapped with
    // a spent buffer) instead of copied; for the owner of a record it refills per message.
    void takeIncomingCommand(VfsFenuCommand &cmd);

public Q_SLOTS:
    void processIncomingCommand(const VfsFenuCommand &cmd);

    void processListDirectoryCommand(const VfsFenuCommand &cmd);
    void processQueryListDirectoryCommand(const VfsFenuCommand &cmd);
    void processListDrivesCommand(const VfsFenuCommand &cmd);
    void processMoveCommand(const VfsFenuCommand &cmd);
    void processOpenFileCommand(const VfsFenuCommand &cmd);
    void processCloseFileCommand(const VfsFenuCommand &cmd);
    void processReadFileCommand(const VfsFenuCommand &cmd);
    void processWriteFileCommand(const VfsFenuCommand &cmd);
    void processDeleteFileCommand(const VfsFenuCommand &cmd);
    void processHashFileCommand(const VfsFenuCommand &cmd);
    void processMakeDirectoryCommand(const VfsFenuCommand &cmd);
    void processSyncCommand(const VfsFenuCommand &cmd);
    void processPutFileCommand(const VfsFenuCommand &cmd);
    void processGetFileCommand(const VfsFenuCommand &cmd);

    // Sends DIRECTORY_CHANGED for a path, when the peer may know of it, and for each
    // "%shares" name by which the peer reaches that folder.
    void directoryChanged(QString path);

    // The peer's link went down: cancels its running work, drops its queued requests and
    // listings, and closes its open files without applying kept times.
    void linkDropped();

    void jobTimerFired();
    // Answers the LIST_DRIVES requests held until the drives were first read.
    void answerWaitingDriveRequests();
    void closeFileTimerFired();

Q_SIGNALS:
    void fsoTransmit(std::vector<unsigned char> message);
    void notifyDirectoryChanged(QString path);
    void processedCommand(const VfsFenuCommand *cmd);

private:
    void dispatchIncoming(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);
    void acceptWrite(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);
    void acceptPut(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData);

    friend class VfsServerNuskPrivate;
    std::unique_ptr<VfsServerNuskPrivate> d;
};
