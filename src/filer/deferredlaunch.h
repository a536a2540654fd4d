#pragma once

// Opening files of another computer with a program of this one: the files are first copied
// by an ordinary copy job into a private folder, and the program runs on the copies once that
// job has finished. The pending launches live in the pane hub's shared record.
//
// The copies go below one folder per user and process, created with mode 0700 under the
// system's temporary directory and removed with everything in it when the record goes (at
// exit); each launch gets a fresh folder of its own inside it, so launches never overwrite or
// read each other's copies and nobody else can replace them. GUI thread only.

#include "vfs/jobs/vfscopydto.h"

#include <QString>

#include <memory>
#include <vector>

class QTemporaryDir;
class VfsModel;

struct DeferredLaunch
{
    VfsCopyDto request;              // handed to the job manager
    int appId = 0;                   // the application catalogue's "appid"
    std::vector<QString> localPaths; // where the program finds the copies, one per item
};

class DeferredLaunches
{
public:
    // `base` is where the private folder is made; the system's temporary directory when empty.
    explicit DeferredLaunches(const QString &base = QString());
    ~DeferredLaunches();

    DeferredLaunches(const DeferredLaunches &) = delete;
    DeferredLaunches &operator=(const DeferredLaunches &) = delete;

    // Builds the copy request for running `appId` on `paths` of the peer `peerUuid` (items
    // as `model`, that peer's file model, lists them) and queues the launch. False, with
    // nothing queued, when a path is not listed, nothing is left to copy or no private
    // folder can be made.
    bool add(int appId, const QString &peerUuid, const std::vector<QString> &paths, const VfsModel *model,
             VfsCopyDto *request);

    // Takes the launch of a finished copy request out of the list; false when none matches.
    // Other launches stay queued.
    bool take(const QString &requestUuid, DeferredLaunch *launch);

    const std::vector<DeferredLaunch> &pending() const { return m_pending; }

    // The private folder of this process; made on first use, empty when it cannot be made.
    QString root();

private:
    QString newLaunchFolder();

    QString m_base;
    std::unique_ptr<QTemporaryDir> m_root;
    std::vector<DeferredLaunch> m_pending;
};
