// The job model, the job manager with its delete after a cut, and the move job, against
// in-process peers and real files.

#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsdeletejob.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/jobs/vfsmoveexjob.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

using namespace testjobs;

namespace {
VfsCopyItem item(const QString &path, int type = VfsCopyItem::FileType)
{
    VfsCopyItem i;
    i.path = path;
    i.type = type;
    return i;
}
} // namespace

class tst_JobModel : public QObject, private ManagerFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        QVERIFY(setUp());
    }

    void cleanup()
    {
        tearDown(5000);
    }

    void modelRowsFollowJobs()
    {
        QCOMPARE(VfsJobModel::instance(), m_model.get());
        QCOMPARE(m_model->roleNames().value(257), QByteArray("type"));
        QCOMPARE(m_model->roleNames().value(258), QByteArray("jobObj"));
        QSignalSpy added(m_model.get(), &VfsJobModel::jobAdded);
        QSignalSpy done(m_model.get(), &VfsJobModel::allJobsDone);
        auto *job = new VfsDeleteJob;
        QVERIFY(m_model->addJob(job));
        QVERIFY(!m_model->addJob(job));
        QCOMPARE(m_model->rowCount(), 1);
        QCOMPARE(added.count(), 1);
        QCOMPARE(m_model->data(m_model->index(0), 257).toString(), QStringLiteral("delete"));
        QCOMPARE(m_model->data(m_model->index(0), 258).value<QObject *>(), job);
        QVERIFY(!m_model->data(m_model->index(1), 257).isValid());
        QVERIFY(!m_model->data(m_model->index(0), 300).isValid());
        delete job;
        QCOMPARE(m_model->rowCount(), 0);
        QCOMPARE(done.count(), 1);
    }

    void unknownPeerOrFolderIntoItselfRefused()
    {
        VfsCopyDto d = dto(m_a.get(), m_b.get(), {item(m_src + "/x")}, m_dst);
        d.dstPeerUuid = QStringLiteral("{00000000-0000-0000-0000-0000000000ff}");
        QVERIFY(!m_manager->copy(d));
        QCOMPARE(m_manager->lastRefusal(), VfsManager::UnknownPeer);
        QVERIFY(!m_manager->move(d));
        d = dto(m_a.get(), m_a.get(), {item(m_src, VfsCopyItem::DirectoryType)}, m_src + QStringLiteral("/inner"));
        QVERIFY(!m_manager->copy(d));
        QCOMPARE(m_manager->lastRefusal(), VfsManager::IntoItself);
        d.dstPath = m_src;
        QVERIFY(!m_manager->copy(d));
        d.dstPath = m_src + QStringLiteral("x"); // a sibling whose name only starts alike
        QVERIFY(!VfsManager::isIntoItself(d));
        QCOMPARE(m_model->rowCount(), 0);
    }

    // A cut between two peers deletes exactly what was copied: a skipped file, a symbolic
    // link, a FIFO and a file created meanwhile stay, and so do their folders.
    void cutDeletesOnlyWhatWasCopied()
    {
        const QString tree = m_src + QStringLiteral("/tree");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub/empty")));
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/keep")));
        QVERIFY(writeFile(tree + QStringLiteral("/a"), pattern(70000, 1)));
        QVERIFY(writeFile(tree + QStringLiteral("/sub/b"), pattern(100, 2)));
        QVERIFY(writeFile(tree + QStringLiteral("/keep/skipped"), pattern(10, 3)));
        QVERIFY(::symlink("a", QFile::encodeName(tree + QStringLiteral("/sub/link")).constData()) == 0);
        QVERIFY(makeFifo(tree + QStringLiteral("/keep/fifo")));
        QVERIFY(QDir().mkpath(m_dst + QStringLiteral("/tree/keep")));
        QVERIFY(writeFile(m_dst + QStringLiteral("/tree/keep/skipped"), "other"));

        VfsCopyDto d = dto(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst);
        d.deleteSource = true;
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        // The move ends with its deletes: by then the copied sources are gone.
        bool goneAtTheEnd = false;
        connect(m_manager.get(), &VfsManager::copyFinished, this,
                [&]() { goneAtTheEnd = !QFileInfo::exists(tree + QStringLiteral("/a")); });
        QPointer<VfsCopyJob> job = m_manager->copy(d);
        QVERIFY(job);
        job->setDeleteDelays(0, 0);
        QCOMPARE(m_model->rowCount(), 1);
        connect(job.data(), &VfsJob::jobUpdated, this, [&]() {
            if (job && job->state() == VfsJob::VfsJobStateQuestion)
                job->skipCurrentItem();
        });
        QVERIFY(waitFor([&]() { return finished.count() == 1; }));
        QVERIFY(goneAtTheEnd);

        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/a")), pattern(70000, 1));
        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/sub/b")), pattern(100, 2));
        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/keep/skipped")), QByteArray("other"));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/a")));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/sub/b")));
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/sub/empty")));
        QVERIFY(QFileInfo(tree + QStringLiteral("/sub/link")).isSymLink());
        QVERIFY(QFileInfo::exists(tree + QStringLiteral("/keep/fifo")));
        QCOMPARE(readFile(tree + QStringLiteral("/keep/skipped")), pattern(10, 3));
        QVERIFY(QFileInfo::exists(tree));
        QVERIFY(waitFor([&]() { return m_model->rowCount() == 0; }));
    }

    // A source file that is edited after it was copied (the copy of the cut is still busy
    // with other files) holds data the destination lacks: it is deleted only once its edited
    // bytes reached the destination (copied again), else it stays.
    void cutKeepsSourceEditedAfterItsCopy()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/f1"), pattern(5000, 1)));
        QVERIFY(writeFile(m_src + QStringLiteral("/f2"), pattern(5000, 2)));
        QVERIFY(setMtimeMs(m_src + QStringLiteral("/f1"), 1500000000000LL));
        bool edited = false;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            if (!edited && (cmd.code == FSO_OPEN_FILE || cmd.code == FSO_GET_FILE) && path.endsWith(QStringLiteral("/f2"))) {
                edited = true;
                QVERIFY(writeFile(m_src + QStringLiteral("/f1"), pattern(5000, 9))); // same size
            }
        };
        // taken from the back: f1 first
        VfsCopyDto d = dto(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/f2")), item(m_src + QStringLiteral("/f1"))},
                           m_dst);
        d.deleteSource = true;
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        QPointer<VfsCopyJob> job = m_manager->copy(d);
        QVERIFY(job);
        QVERIFY(waitFor([&]() { return finished.count() == 1; }));
        QVERIFY(edited);
        if (QFileInfo::exists(m_src + QStringLiteral("/f1")))
            QCOMPARE(readFile(m_src + QStringLiteral("/f1")), pattern(5000, 9));
        else
            QCOMPARE(readFile(m_dst + QStringLiteral("/f1")), pattern(5000, 9));
        QVERIFY(!QFileInfo::exists(m_src + QStringLiteral("/f2")));
        QCOMPARE(readFile(m_dst + QStringLiteral("/f2")), pattern(5000, 2));
    }

    // A file whose name is not valid text can't be listed or copied; the folder that holds
    // it is not empty and must survive the delete of the cut.
    void cutKeepsFolderWithUnlistableName()
    {
        const QString tree = m_src + QStringLiteral("/odd");
        QVERIFY(QDir().mkpath(tree));
        QVERIFY(writeFile(tree + QStringLiteral("/fine"), "fine"));
        const QByteArray odd = QFile::encodeName(tree) + "/bad\xff\xfe";
        {
            FILE *f = ::fopen(odd.constData(), "w");
            QVERIFY(f);
            ::fputs("precious", f);
            ::fclose(f);
        }
        VfsCopyDto d = dto(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst);
        d.deleteSource = true;
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        QSignalSpy refused(m_manager.get(), &VfsManager::copyRefused);
        QPointer<VfsCopyJob> job = m_manager->copy(d);
        QVERIFY(job);
        QVERIFY(waitFor([&]() { return finished.count() == 1 || job.isNull(); }));
        // The listing leaves such a name out, so the folder looks empty; the server still
        // refuses to remove a folder that holds anything.
        struct stat st;
        QVERIFY2(::lstat(odd.constData(), &st) == 0, "the file nobody could copy was deleted");
        QVERIFY(!QFileInfo::exists(tree + QStringLiteral("/fine")));
        QCOMPARE(readFile(m_dst + QStringLiteral("/odd/fine")), QByteArray("fine"));
    }

    // A move within one peer renames; an existing name goes to the copy that follows; a
    // move between peers copies everything and then deletes the sources.
    void moveWithinAndBetweenPeers()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/m1"), "one"));
        QVERIFY(writeFile(m_src + QStringLiteral("/m2"), "two"));
        QVERIFY(writeFile(m_dst + QStringLiteral("/m2"), "existing"));
        QSignalSpy copied(m_manager.get(), &VfsManager::copyFinished);
        QPointer<VfsMoveExJob> move = m_manager->move(
            dto(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/m1")), item(m_src + QStringLiteral("/m2"))}, m_dst));
        QVERIFY(move);
        QVERIFY(waitFor([&]() { return move.isNull(); }));
        QCOMPARE(readFile(m_dst + QStringLiteral("/m1")), QByteArray("one"));
        QVERIFY(!QFileInfo::exists(m_src + QStringLiteral("/m1")));
        // m2 was left to a copy job, which asks before replacing; with no answer it waits.
        QVERIFY(waitFor([&]() { return m_model->rowCount() == 1; }));
        auto *job = qobject_cast<VfsCopyJob *>(m_model->data(m_model->index(0), 258).value<QObject *>());
        QVERIFY(job);
        QVERIFY(waitFor([&]() { return job->state() == VfsJob::VfsJobStateQuestion; }));
        job->replaceCurrentItem();
        QVERIFY(waitFor([&]() { return copied.count() == 1; }));
        QVERIFY(waitFor([&]() { return !QFileInfo::exists(m_src + QStringLiteral("/m2")); }));
        QCOMPARE(readFile(m_dst + QStringLiteral("/m2")), QByteArray("two"));

        QVERIFY(writeFile(m_src + QStringLiteral("/m3"), "three"));
        move = m_manager->move(dto(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/m3"))}, m_dst));
        QVERIFY(waitFor([&]() { return copied.count() == 2; }));
        QVERIFY(waitFor([&]() { return !QFileInfo::exists(m_src + QStringLiteral("/m3")); }));
        QCOMPARE(readFile(m_dst + QStringLiteral("/m3")), QByteArray("three"));
    }

    // A move onto itself ends with the reason; the item stays as it was.
    void moveOntoItselfSaysWhy()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/here"), "h"));
        QSignalSpy failed(m_manager.get(), &VfsManager::moveFailed);
        QPointer<VfsMoveExJob> move = m_manager->move(dto(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/here"))}, m_src));
        QVERIFY(move);
        QVERIFY(waitFor([&]() { return failed.count() == 1; }));
        const QString reason = failed.at(0).at(1).toString();
        QVERIFY2(reason.contains(QStringLiteral("already in this folder")) && reason.contains(QStringLiteral("here")),
                 qPrintable(reason));
        QCOMPARE(readFile(m_src + QStringLiteral("/here")), QByteArray("h"));
    }

    // A move between peers whose source is rewritten at the same size with its time put back
    // while it is read: once, the move copies it again and the destination is the new version
    // whole; at every read, it is never deleted at the source. Rewritten after the copy's
    // last look, just before its delete, it stays too, and the move says so.
    void moveOfRewrittenSource()
    {
        const QString path = m_src + QStringLiteral("/doc");
        const QByteArray before = pattern(1000000, 40), after = pattern(1000000, 41);
        {
            QVERIFY(writeFile(path, before));
            m_a->onRequest = [&](const VfsFenuCommand &cmd) {
                if (cmd.code == FSO_DELETE_FILE)
                    QVERIFY(rewriteKeepingTime(path, after));
            };
            QSignalSpy failed(m_manager.get(), &VfsManager::moveFailed);
            QVERIFY(m_manager->move(dto(m_a.get(), m_b.get(), {item(path)}, m_dst)));
            QVERIFY(waitFor([&]() { return failed.count() == 1; }));
            m_a->onRequest = nullptr;
            QVERIFY2(failed.at(0).at(1).toString().contains(path), qPrintable(failed.at(0).at(1).toString()));
            QCOMPARE(readFile(path), after);
            QCOMPARE(readFile(m_dst + QStringLiteral("/doc")), before);
        }
        for (bool everyRead : {false, true}) {
            QVERIFY(writeFile(path, before));
            QVERIFY(setMtimeMs(path, 1600000000000));
            QFile::remove(m_dst + QStringLiteral("/doc"));
            int reads = 0;
            int deletes = 0;
            m_a->onRequest = [&](const VfsFenuCommand &cmd) {
                if ((cmd.code == FSO_READ_FILE || cmd.code == FSO_HASH_FILE) && (everyRead || ++reads == 8))
                    QVERIFY(rewriteKeepingTime(path, everyRead && ++reads % 2 ? before : after));
                deletes += cmd.code == FSO_DELETE_FILE ? 1 : 0;
            };
            QSignalSpy copied(m_manager.get(), &VfsManager::copyFinished);
            QVERIFY(m_manager->move(dto(m_a.get(), m_b.get(), {item(path)}, m_dst)));
            QVERIFY(waitFor([&]() { return copied.count() == 1; }));
            m_a->onRequest = nullptr;
            if (everyRead) {
                QCOMPARE(deletes, 0);
                QVERIFY(QFileInfo::exists(path));
            } else {
                QVERIFY(!QFileInfo::exists(path));
                QCOMPARE(readFile(m_dst + QStringLiteral("/doc")), after);
            }
        }
    }

    // The move job reacts only to its own MOVE record, not to a rename someone else asked
    // the same client for.
    void moveIgnoresForeignMoveReplies()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/mine"), "m"));
        QVERIFY(writeFile(m_src + QStringLiteral("/foreign"), "f"));
        VfsMoveJob foreign;
        foreign.source = m_src + QStringLiteral("/foreign");
        foreign.destination = m_src + QStringLiteral("/foreign2");
        m_a->client()->move(&foreign);
        auto *job = new VfsMoveExJob;
        job->setPeers(m_a.get(), m_a.get());
        job->setRequest(dto(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/mine"))}, m_dst));
        QSignalSpy finished(job, &VfsJob::jobFinished);
        job->start();
        QVERIFY(waitFor([&]() { return finished.count() == 1; }));
        QCOMPARE(readFile(m_dst + QStringLiteral("/mine")), QByteArray("m"));
        QVERIFY(job->rest().items.empty());
        delete job;
    }

    // A file created in a folder after the delete job listed it keeps the folder: the
    // folder is refused, kept, and the delete goes on bottom-up and ends finished.
    void deleteKeepsFolderFilledAfterItsListing()
    {
        const QString top = m_src + QStringLiteral("/top");
        QVERIFY(QDir().mkpath(top + QStringLiteral("/racy")));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/empty")));
        QVERIFY(writeFile(top + QStringLiteral("/f"), "copied"));
        QHash<QString, quint32> flags;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code != FSO_DELETE_FILE)
                return;
            const QString path = QString::fromStdString(cmd.path);
            flags.insert(path, cmd.flags);
            if (path == top + QStringLiteral("/racy"))
                QVERIFY(writeFile(path + QStringLiteral("/late"), "created after the listing"));
        };
        VfsDeleteJob job;
        job.setPeer(m_a.get());
        job.setDeleteFlags(FSO_DELETE_PERMANENT);
        job.setOnlyEmptyFolders(true);
        job.setItems({{QString(), top, 0, VfsCopyItem::DirectoryType},
                      {QString(), top + QStringLiteral("/racy"), 0, VfsCopyItem::DirectoryType},
                      {QString(), top + QStringLiteral("/empty"), 0, VfsCopyItem::DirectoryType},
                      {QString(), top + QStringLiteral("/f"), 0, VfsCopyItem::FileType}});
        QSignalSpy finished(&job, &VfsJob::jobFinished);
        QSignalSpy aborted(&job, &VfsJob::jobAborted);
        QSignalSpy asked(&job, &VfsDeleteJob::trashFailedAskDelete);
        job.start();
        QVERIFY(waitFor([&]() { return finished.count() + aborted.count() > 0; }));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(aborted.count(), 0);
        QCOMPARE(asked.count(), 0);
        QCOMPARE(readFile(top + QStringLiteral("/racy/late")), QByteArray("created after the listing"));
        QCOMPARE(job.deletedPaths(), QStringList({top + QStringLiteral("/f"), top + QStringLiteral("/empty")}));
        QCOMPARE(job.keptFolders(), QStringList({top + QStringLiteral("/racy"), top}));
        // Folders are sent with the only-empty bit, files as a plain permanent delete.
        QCOMPARE(flags.value(top + QStringLiteral("/f")), FSO_DELETE_PERMANENT);
        QCOMPARE(flags.value(top + QStringLiteral("/racy")), FSO_DELETE_PERMANENT | FSO_DELETE_ONLY_EMPTY);
        QVERIFY(!flags.contains(top)); // its listing already showed it full
        m_a->onRequest = nullptr;
    }

    // The delete job of a cut lists a folder first and leaves one that is not empty.
    void deleteKeepsFoldersThatAreNotEmpty()
    {
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/full")));
        QVERIFY(writeFile(m_src + QStringLiteral("/full/late"), "created after the copy"));
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/empty")));
        VfsDeleteJob job;
        job.setPeer(m_a.get());
        job.setDeleteFlags(2);
        job.setOnlyEmptyFolders(true);
        job.setItems({{QString(), m_src + QStringLiteral("/full"), 0, VfsCopyItem::DirectoryType},
                      {QString(), m_src + QStringLiteral("/empty"), 0, VfsCopyItem::DirectoryType}});
        QSignalSpy finished(&job, &VfsJob::jobFinished);
        job.start();
        QVERIFY(waitFor([&]() { return finished.count() == 1; }));
        QVERIFY(QFileInfo::exists(m_src + QStringLiteral("/full/late")));
        QVERIFY(!QFileInfo::exists(m_src + QStringLiteral("/empty")));
        QCOMPARE(job.keptFolders(), QStringList({m_src + QStringLiteral("/full")}));

        VfsDeleteJob none;
        QSignalSpy aborted(&none, &VfsJob::jobAborted);
        none.start();
        QTRY_COMPARE(aborted.count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_JobModel)
#include "tst_jobmodel.moc"
