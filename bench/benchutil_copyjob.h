#pragma once

// One copy job between two in-process test peers (tests/vfs/jobs), timed from its start to
// its end, its flush included.

#include "../tests/vfs/jobs/testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QElapsedTimer>
#include <QPointer>

namespace benchutil {

struct CopyRun
{
    bool finished = false;
    qint64 ms = 0;
    quint64 written = 0;   // bytes the job sent to be written
};

// Copies `path` (a file or a folder, `type`) from `a` into `dstPath` of `b`.
inline CopyRun runCopyJob(TestPeer *a, TestPeer *b, const QString &path, int type, const QString &dstPath,
                          bool replaceAll = false)
{
    VfsCopyDto dto;
    dto.srcPeerUuid = a->uuid();
    dto.dstPeerUuid = b->uuid();
    VfsCopyItem item;
    item.path = path;
    item.type = type;
    dto.items.push_back(item);
    dto.dstPath = dstPath;
    dto.replaceAll = replaceAll;
    auto *job = new VfsCopyJob;
    job->setPeers(a, b);
    job->setRequest(dto);
    job->setRetryDelay(100);
    job->setDeleteDelays(0, 0);
    QPointer<VfsCopyJob> guard(job);
    CopyRun r;
    bool done = false;
    QObject::connect(job, &VfsJob::jobFinished, [&]() {
        r.finished = true;
        r.written = job->bytesWrittenCount();
        done = true;
    });
    QObject::connect(job, &VfsJob::jobAborted, [&]() { done = true; });
    QElapsedTimer timer;
    timer.start();
    job->start();
    testjobs::waitFor([&]() { return done; }, 3600 * 1000);
    r.ms = timer.elapsed();
    if (guard && !r.finished)
        guard->abort();
    testjobs::waitFor([&]() { return guard.isNull(); }, 5000);
    return r;
}

} // namespace benchutil
