// One window per copy job, opened when the job model announces the job.

#include "ui/mainwindow.h"

#include "ui/jobwindow.h"
#include "vfs/jobs/vfscopyjob.h"

void MainWindow::onVfsJobAdded(VfsJob *job)
{
    // Runs on the job's thread (the model announces jobs there), while the job surely exists.
    auto *copy = qobject_cast<VfsCopyJob *>(job);
    if (!copy)
        return;
    // The window answers questions about items that cannot be read or written.
    copy->setAsksOnFailure(true);
    JobWindow::open(engine(), new JobReader(copy));
}
