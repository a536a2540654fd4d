// The deletes that end a cut, between in-process peers over the real FSO client, parser and
// server: many out at once with a folder only after its content, a move that outlives link
// cuts in the middle of its deletes, and the sources a move keeps named at its end.

#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsdeletejob.h"
#include "vfs/jobs/vfsdeletelane.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/server/versionlinger.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace testjobs;

namespace {

// Every path below `dir`, files and folders.
QStringList pathsBelow(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    return paths;
}

QString pathOf(const VfsFenuCommand &cmd)
{
    return QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
}

} // namespace

class tst_SourceDelete : public QObject, private ManagerFixture
{
    Q_OBJECT

private:
    // `count` small files in `folder` (made), named f0000 on.
    QStringList makeFiles(const QString &folder, int count)
    {
        QStringList names;
        if (!QDir().mkpath(folder))
            return names;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("f%1").arg(i, 4, 10, QLatin1Char('0'));
            if (!writeFile(folder + QLatin1Char('/') + name, pattern(100 + i, i)))
                return QStringList();
            names << name;
        }
        return names;
    }

    // Cuts the folder `tree` of A into B's destination through the manager.
    QPointer<VfsCopyJob> cut(const QString &tree)
    {
        VfsCopyItem item;
        item.path = tree;
        item.type = VfsCopyItem::DirectoryType;
        VfsCopyDto d = dto(m_a.get(), m_b.get(), {item}, m_dst);
        d.deleteSource = true;
        return m_manager->copy(d);
    }

    // Cuts the files `paths` of A into B's destination through the manager.
    QPointer<VfsCopyJob> cutFiles(const QStringList &paths)
    {
        std::vector<VfsCopyItem> items;
        for (const QString &path : paths) {
            VfsCopyItem item;
            item.path = path;
            item.type = VfsCopyItem::FileType;
            items.push_back(item);
        }
        VfsCopyDto d = dto(m_a.get(), m_b.get(), items, m_dst);
        d.deleteSource = true;
        return m_manager->copy(d);
    }

    // Cuts `tree` and waits for the move to finish; false when it did not. `kept`: what the
    // move named as left at the source.
    bool cutToTheEnd(const QString &tree, QVector<VfsLeftOutItem> *kept, bool files = false)
    {
        QPointer<VfsCopyJob> job = files ? cutFiles(QDir(tree).entryList(QDir::Files).replaceInStrings(
                                               QRegularExpression("^"), tree + QLatin1Char('/')))
                                         : cut(tree);
        bool finished = false;
        if (job) {
            connect(job.data(), &VfsJob::jobFinished, this, [&] {
                finished = true;
                *kept = job->leftOutItems();
            });
        }
        return job && waitFor([&]() { return finished; }, 20000);
    }

    // Whether A's link is cut now.
    void setCut(bool cut)
    {
        m_a->setDropping(cut);
        m_b->setDropping(cut);
        m_a->setLinkState(cut ? IPeer::LinkDown : IPeer::LinkUp);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(setUp());
        // A cut link is noticed quickly; a file of these tests never takes long.
        m_a->client()->setRequestTimeout(300);
    }

    void cleanup()
    {
        QVERIFY(tearDown(10000));
    }

    // The deletes go out many at once, each file with the version that was copied; a folder
    // is listed and deleted only once the answers for everything below it are back.
    void manyAtOnceFoldersAfterTheirContent()
    {
        const QString tree = m_src + QStringLiteral("/tree");
        QVERIFY(!makeFiles(tree, 200).isEmpty());
        QVERIFY(!makeFiles(tree + QStringLiteral("/sub"), 40).isEmpty());
        QVERIFY(!makeFiles(tree + QStringLiteral("/sub/deeper"), 5).isEmpty());
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/empty")));
        const QStringList sources = pathsBelow(tree);

        int out = 0;
        int peak = 0;
        int unversioned = 0;
        bool deleting = false;
        QSet<QString> answered;
        QStringList early;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = pathOf(cmd);
            const bool folder = QFileInfo(path).isDir();
            if (cmd.code == FSO_DELETE_FILE) {
                deleting = true;
                peak = qMax(peak, ++out);
                unversioned += !folder && cmd.expectChangeNs == 0 ? 1 : 0;
            }
            if (!deleting || !folder || (cmd.code != FSO_DELETE_FILE && cmd.code != FSO_LIST_DIRECTORY))
                return;
            for (const QString &below : sources) {
                if (below.startsWith(path + QLatin1Char('/')) && !answered.contains(below))
                    early << path;
            }
        };
        m_a->onReply = [&](VfsFenuCommand &reply) {
            if (reply.code == FSO_DELETE_FILE_REPLY) {
                --out;
                answered.insert(pathOf(reply));
            }
        };
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        QVERIFY(cut(tree));
        QVERIFY(waitFor([&]() { return finished.count() == 1 && m_model->rowCount() == 0; }));
        m_a->onRequest = nullptr;
        m_a->onReply = nullptr;

        qInfo("%d deletes out at once at most", peak);
        QVERIFY2(peak >= VfsDeleteLane::kInFlight / 2 && peak <= VfsDeleteLane::kInFlight, qPrintable(QString::number(peak)));
        QCOMPARE(unversioned, 0);
        early.removeDuplicates();
        QVERIFY2(early.isEmpty(), qPrintable(early.join(QLatin1Char(' '))));
        QVERIFY(!QFileInfo::exists(tree));
        QCOMPARE(pathsBelow(m_dst + QStringLiteral("/tree")).size(), sources.size());
    }

    // The link to the source goes down twice while the move deletes: the move waits for it,
    // says why, and deletes the rest once it is back.
    void linkCutsWhileDeletingAreRetried()
    {
        const QString tree = m_src + QStringLiteral("/flaps");
        const QStringList names = makeFiles(tree, 300);
        QVERIFY(!names.isEmpty());
        int deletes = 0;
        int cuts = 0;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code != FSO_DELETE_FILE || (++deletes != 40 && deletes != 200))
                return;
            ++cuts;
            setCut(true);
            QTimer::singleShot(600, this, [this] { setCut(false); });
        };
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        QSignalSpy failed(m_manager.get(), &VfsManager::moveFailed);
        QPointer<VfsCopyJob> job = cut(tree);
        QVERIFY(job);
        bool pausedWhileDeleting = false;
        QString prompt;
        connect(job.data(), &VfsJob::stateChanged, this, [&] {
            if (job && job->sourcesToDelete() > 0 && job->state() == VfsJob::VfsJobStatePaused) {
                pausedWhileDeleting = true;
                prompt = job->userActionPrompt();
            }
        });
        QVERIFY(waitFor([&]() { return finished.count() == 1 && m_model->rowCount() == 0; }));
        m_a->onRequest = nullptr;

        qInfo("%d link cuts, %d of 300 sources left", cuts, int(pathsBelow(tree).size()));
        QCOMPARE(cuts, 2);
        QVERIFY(pausedWhileDeleting);
        QVERIFY2(prompt.contains(QStringLiteral("cannot be reached")), qPrintable(prompt));
        QCOMPARE(pathsBelow(tree), QStringList());
        QVERIFY(!QFileInfo::exists(tree));
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(readFile(m_dst + QStringLiteral("/flaps/") + names[i]), pattern(100 + i, i));
        QCOMPARE(failed.count(), 0);
    }

    // A source computer that gives no versions: a delete whose answer is lost may have been
    // done, and the name may hold a new file by the time it would be sent again. It is not
    // sent again: the new file stays, and the file is named as not confirmed.
    void unversionedDeleteUnansweredIsNotSentAgain()
    {
        const QString tree = m_src + QStringLiteral("/old");
        const QStringList names = makeFiles(tree, 3);
        QVERIFY(!names.isEmpty());
        const QString victim = tree + QLatin1Char('/') + names.at(1);
        std::vector<VfsDeleteItem> items{{QString(), tree, 0, VfsCopyItem::DirectoryType}};
        for (const QString &name : names)
            items.push_back({QString(), tree + QLatin1Char('/') + name, 0, VfsCopyItem::FileType});
        bool lost = false;
        m_a->onReply = [&](VfsFenuCommand &reply) {
            if (reply.code != FSO_DELETE_FILE_REPLY || lost || pathOf(reply) != victim)
                return;
            lost = true;
            reply.code = 0x7F;   // never reaches the job
            QVERIFY(writeFile(victim, "a new save"));
        };
        VfsDeleteJob del;
        del.setPeer(m_a.get());
        del.setDeleteFlags(FSO_DELETE_PERMANENT);
        del.setOnlyEmptyFolders(true);
        del.setItems(items);
        del.setRetryDelay(100);
        QSignalSpy finished(&del, &VfsJob::jobFinished);
        del.start();
        QVERIFY(waitFor([&]() { return finished.count() == 1; }));
        m_a->onReply = nullptr;
        QVERIFY(lost);
        QCOMPARE(readFile(victim), QByteArray("a new save"));
        QCOMPARE(del.unconfirmed(), QStringList{victim});
        QCOMPARE(pathsBelow(tree), QStringList{victim});
        QCOMPARE(del.keptFolders(), QStringList{tree});
    }

    // A source is gone when the folder that held it shows it gone, not because the peer said
    // "not found". A source folder renamed while its files are deleted keeps them all, and
    // the move names each; so it does with a peer of an older version, which answered "not
    // found" there, and for a file such a peer said it could not find that is still in its
    // folder. A file someone else deleted meanwhile is gone, and not named.
    void sourcesNotShownGoneAreNamed_data()
    {
        QTest::addColumn<bool>("olderPeer");
        QTest::newRow("this version") << false;
        QTest::newRow("an older version") << true;
    }
    void sourcesNotShownGoneAreNamed()
    {
        QFETCH(bool, olderPeer);
        const QString tree = m_src + QStringLiteral("/renamed");
        const QStringList moved = makeFiles(tree + QStringLiteral("/sub"), 30);
        const QStringList stay = makeFiles(tree + QStringLiteral("/keep"), 5);
        QVERIFY(!moved.isEmpty() && !stay.isEmpty());
        const QString gone = tree + QStringLiteral("/keep/") + stay.at(1);
        const QString unseen = tree + QStringLiteral("/keep/") + stay.at(2);
        bool renamed = false;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code != FSO_DELETE_FILE || renamed)
                return;
            renamed = QDir().rename(tree + QStringLiteral("/sub"), tree + QStringLiteral("/sub2")) && QFile::remove(gone)
                      && rewriteKeepingTime(unseen, readFile(unseen));
        };
        if (olderPeer) {
            m_a->onReply = [&](VfsFenuCommand &reply) {
                // Its answer for a folder on the way that is gone, and for a name it could not look at.
                if (reply.code == FSO_DELETE_FILE_REPLY
                    && (reply.status == FSO_STATUS_IO_ERROR || pathOf(reply) == unseen))
                    reply.status = FSO_STATUS_NOT_FOUND;
            };
        }
        QVector<VfsLeftOutItem> kept;
        QVERIFY(cutToTheEnd(tree, &kept));
        m_a->onRequest = nullptr;
        m_a->onReply = nullptr;
        QVERIFY(renamed);

        QSet<QString> named;
        for (const VfsLeftOutItem &item : qAsConst(kept))
            named.insert(item.path);
        for (const QString &name : moved) {
            QVERIFY(QFileInfo::exists(tree + QStringLiteral("/sub2/") + name));
            QVERIFY2(named.contains(tree + QStringLiteral("/sub/") + name), qPrintable(name));
        }
        QVERIFY(QFileInfo::exists(unseen));
        QVERIFY(named.contains(unseen));
        QVERIFY(!named.contains(gone));
        QCOMPARE(named.size(), moved.size() + 1);
        for (const QString &name : stay)
            QVERIFY(QFileInfo::exists(m_dst + QStringLiteral("/renamed/keep/") + name));
    }

    // A program that had a source open saves it again just after the move deleted it, while
    // the source computer still keeps the deleted file for such a save: the file is back at
    // the source, and the move names it as saved again there, whether the files were moved
    // or their folder (which then stays, holding it). The other sources are gone, unnamed.
    void sourceSavedAgainIsNamed_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("files moved") << false;
        QTest::newRow("their folder moved") << true;
    }
    void sourceSavedAgainIsNamed()
    {
        QFETCH(bool, folder);
        // Long enough never to end on its own here.
        versionguard::LingeringFiles lingering({std::chrono::milliseconds(600000), 64});
        const QString tree = m_src + QStringLiteral("/saved");
        const QStringList names = makeFiles(tree, 3);
        QVERIFY(!names.isEmpty());
        const QString again = tree + QLatin1Char('/') + names.at(1);
        const int found = ::open(QFile::encodeName(again).constData(), O_PATH | O_CLOEXEC);
        QVERIFY(found >= 0);
        bool saved = false;
        m_a->onReply = [&](VfsFenuCommand &reply) {
            if (reply.code != FSO_DELETE_FILE_REPLY || saved || pathOf(reply) != again || reply.status != 0)
                return;
            // Reached by the name it had before, as a program that held it does.
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(found);
            const int fd = ::open(self.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            saved = fd >= 0 && ::write(fd, "saved again", 11) == 11 && ::close(fd) == 0;
        };
        QVector<VfsLeftOutItem> kept;
        QVERIFY(cutToTheEnd(tree, &kept, !folder));
        m_a->onReply = nullptr;
        ::close(found);
        QVERIFY(saved);
        lingering.letGoOfAll();
        QCOMPARE(readFile(again), QByteArray("saved again"));
        QCOMPARE(pathsBelow(tree), QStringList{again});
        QCOMPARE(kept.size(), 1);
        QCOMPARE(kept.at(0).path, again);
        QVERIFY2(kept.at(0).reason.contains(QStringLiteral("saved again")), qPrintable(kept.at(0).reason));
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(readFile(m_dst + QStringLiteral("/") + (folder ? QStringLiteral("saved/") : QString()) + names[i]),
                     pattern(100 + i, i));
    }

    // A cancel that comes as the last delete of a cut has ended changes nothing: the sources
    // are gone, and the move ends done.
    void cancelAsTheDeletesEndLeavesTheMoveDone()
    {
        const QString tree = m_src + QStringLiteral("/late");
        QVERIFY(!makeFiles(tree, 5).isEmpty());
        QSignalSpy finished(m_manager.get(), &VfsManager::copyFinished);
        QPointer<VfsCopyJob> job = cut(tree);
        QVERIFY(job);
        bool cancelled = false;
        bool aborted = false;
        connect(job.data(), &VfsJob::stateChanged, this, [&] {
            if (job && !cancelled && job->sourcesToDelete() > 0 && job->state() == VfsJob::VfsJobStateFinished) {
                cancelled = true;
                job->abort();
            }
        });
        connect(job.data(), &VfsJob::jobAborted, this, [&] { aborted = true; });
        QVERIFY(waitFor([&]() { return m_model->rowCount() == 0; }));
        QVERIFY(cancelled);
        QVERIFY(!aborted);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!QFileInfo::exists(tree));
    }

    // A copied file that has become a folder by the time its delete comes, with something in
    // it, stays with all it holds, and so does the folder above it: the move names it as
    // changed since it was copied.
    void sourceReplacedByAFolderStays()
    {
        const QString tree = m_src + QStringLiteral("/replaced");
        const QStringList names = makeFiles(tree, 20);
        QVERIFY(!names.isEmpty());
        const QString victim = tree + QLatin1Char('/') + names.at(5);
        bool replaced = false;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code != FSO_DELETE_FILE || replaced)
                return;
            replaced = QFile::remove(victim) && QDir().mkdir(victim)
                       && writeFile(victim + QStringLiteral("/inside.txt"), "precious");
        };
        QVector<VfsLeftOutItem> kept;
        QVERIFY(cutToTheEnd(tree, &kept));
        m_a->onRequest = nullptr;
        QVERIFY(replaced);
        QCOMPARE(readFile(victim + QStringLiteral("/inside.txt")), QByteArray("precious"));
        QCOMPARE(pathsBelow(tree), (QStringList{victim, victim + QStringLiteral("/inside.txt")}));
        QString why;
        for (const VfsLeftOutItem &item : qAsConst(kept)) {
            if (item.path == victim)
                why = item.reason;
        }
        QVERIFY2(why.contains(QStringLiteral("changed")), qPrintable(why));
    }

    // A move that stops deleting keeps the rest at the source and names every source it kept:
    // cancelled while the source cannot be reached, or refused by a read-only disk.
    void keptSourcesAreNamed()
    {
        // Cancelled while waiting for the source.
        const QString tree = m_src + QStringLiteral("/cancelled");
        QVERIFY(!makeFiles(tree, 120).isEmpty());
        int deletes = 0;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_DELETE_FILE && ++deletes == 20)
                setCut(true);
        };
        QSignalSpy failed(m_manager.get(), &VfsManager::moveFailed);
        QPointer<VfsCopyJob> job = cut(tree);
        QVERIFY(job);
        QVector<VfsLeftOutItem> kept;
        int keptCount = 0;
        bool finished = false;
        connect(job.data(), &VfsJob::jobFinished, this, [&] {
            finished = true;
            kept = job->leftOutItems();
            keptCount = job->leftOutCount();
        });
        QVERIFY(waitFor([&]() { return job && job->sourcesToDelete() > 0 && job->state() == VfsJob::VfsJobStatePaused; }));
        job->abort();
        QVERIFY(waitFor([&]() { return finished; }, 10000));
        m_a->onRequest = nullptr;
        setCut(false);
        // What is still there is named, with why; so is a file whose delete went unanswered.
        const QStringList left = pathsBelow(tree);
        QVERIFY(left.size() >= 80);
        QCOMPARE(keptCount, kept.size());
        QSet<QString> named;
        int unconfirmed = 0;
        for (const VfsLeftOutItem &item : qAsConst(kept)) {
            named.insert(item.path);
            if (item.reason.contains(QStringLiteral("did not confirm")))
                ++unconfirmed;
            else
                QVERIFY2(item.reason.contains(QStringLiteral("cancelled")) && QFileInfo::exists(item.path),
                         qPrintable(item.path + QStringLiteral(": ") + item.reason));
            if (item.path != tree)
                QVERIFY2(QFileInfo::exists(m_dst + QStringLiteral("/cancelled/") + QFileInfo(item.path).fileName()),
                         qPrintable(item.path));
        }
        for (const QString &path : left)
            QVERIFY2(named.contains(path), qPrintable(path));
        QVERIFY(named.contains(tree));
        qInfo("%d of 120 files left, %d named, %d of them unconfirmed", int(left.size()), int(kept.size()), unconfirmed);
        QVERIFY(unconfirmed > 0);
        QVERIFY(waitFor([&]() { return failed.count() == 1; }));
        QVERIFY2(failed.at(0).at(1).toString().startsWith(QStringLiteral("Copied, but kept at the source: ")),
                 qPrintable(failed.at(0).at(1).toString()));

        // Refused: every file stays and is named, the move still ends.
        const QString locked = m_src + QStringLiteral("/locked");
        QVERIFY(QDir().mkpath(locked));
        const QByteArray mountPoint = QFile::encodeName(locked);
        if (::mount("nusk-locked", mountPoint.constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("cannot mount a tmpfs here: the refused deletes are not checked");
        auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
        const QStringList names = makeFiles(locked, 10);
        QVERIFY(!names.isEmpty());
        QCOMPARE(::mount("nusk-locked", mountPoint.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
        job = cut(locked);
        QVERIFY(job);
        finished = false;
        connect(job.data(), &VfsJob::jobFinished, this, [&] {
            finished = true;
            kept = job->leftOutItems();
        });
        QVERIFY(waitFor([&]() { return finished; }, 10000));
        QCOMPARE(kept.size(), names.size());
        for (const VfsLeftOutItem &item : qAsConst(kept)) {
            QVERIFY2(item.reason.contains(QStringLiteral("could not be deleted")), qPrintable(item.reason));
            QVERIFY(QFileInfo::exists(item.path));
        }
        QCOMPARE(QDir(m_dst + QStringLiteral("/locked")).entryList(QDir::Files).size(), names.size());
        QVERIFY(waitFor([&]() { return failed.count() == 2; }));
    }
};

QTEST_GUILESS_MAIN(tst_SourceDelete)
#include "tst_sourcedelete.moc"
