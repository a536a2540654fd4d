// Copies into a destination that other copies write to at the same time, and into a FUSE
// file system (bindfs), whose flush reaches the data only file by file: between in-process
// peers over the real FSO client, parser and server.

#include "testutil_jobs.h"
#include "../../testutil_fuse.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace testjobs;

namespace {

const QString kUuidA = QStringLiteral("{00000000-0000-0000-0000-00000000000a}");
const QString kUuidB = QStringLiteral("{00000000-0000-0000-0000-00000000000b}");
const QString kUuidD = QStringLiteral("{00000000-0000-0000-0000-00000000000d}");

VfsCopyItem fileItem(const QString &path)
{
    VfsCopyItem i;
    i.path = path;
    i.type = VfsCopyItem::FileType;
    i.size = quint64(QFileInfo(path).size());
    return i;
}

// A copy job between two test peers, and what happened to it.
struct Copy
{
    QPointer<VfsCopyJob> job;
    bool finished = false;
    bool aborted = false;
    VfsCopyResult result;
    QByteArray atEnd;          // the destination file as the job reported it finished
    QList<int> askedAtErrors;  // the job's error count at each question
};

} // namespace

class tst_CopyDestination : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    std::unique_ptr<TestPeer> m_a;
    std::unique_ptr<TestPeer> m_b;
    std::unique_ptr<TestPeer> m_d;
    QString m_src;
    QString m_dst;

    // Starts a copy of `items` from A to `dst` into `folder`; `watched` is the destination
    // file read when it finishes; `answer` takes the questions.
    void start(Copy &copy, TestPeer *dst, std::vector<VfsCopyItem> items, const QString &folder,
               const QString &watched, const std::function<void(VfsCopyJob *)> &answer, bool move = false)
    {
        VfsCopyDto dto;
        dto.srcPeerUuid = m_a->uuid();
        dto.dstPeerUuid = dst->uuid();
        dto.items = std::move(items);
        dto.dstPath = folder;
        dto.deleteSource = move;
        copy.job = new VfsCopyJob;
        VfsCopyJob *job = copy.job;
        job->setPeers(m_a.get(), dst);
        job->setRequest(dto);
        job->setRetryDelay(50);
        job->setDeleteDelays(0, 0);
        connect(job, &VfsCopyJob::copyCompleted, this, [&copy, watched](VfsCopyDto, VfsCopyResult r) {
            copy.result = r;
            copy.atEnd = readFile(watched);
        });
        connect(job, &VfsJob::jobFinished, this, [&copy] { copy.finished = true; });
        connect(job, &VfsJob::jobAborted, this, [&copy] { copy.aborted = true; });
        connect(job, &VfsJob::jobUpdated, this, [&copy, job, answer] {
            if (job->state() != VfsJob::VfsJobStateQuestion || !answer)
                return;
            copy.askedAtErrors << job->errorCount();
            answer(job);
        });
        job->start();
    }

    static bool ended(const Copy &copy) { return copy.finished || copy.aborted; }

    void settle()
    {
        // Every handle the jobs opened is closed again.
        QVERIFY(waitFor([&]() {
            return m_a->server()->openFileCount() == 0 && m_b->server()->openFileCount() == 0
                   && m_d->server()->openFileCount() == 0;
        }, 5000));
    }

    QStringList hiddenFiles(const QString &folder) const
    {
        return QDir(folder).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        static int n = 0;
        const QString base = m_tmp.filePath(QString::number(++n));
        m_src = base + QStringLiteral("/src");
        m_dst = base + QStringLiteral("/dst");
        QVERIFY(QDir().mkpath(m_src) && QDir().mkpath(m_dst));
        m_a.reset(new TestPeer(kUuidA));
        m_b.reset(new TestPeer(kUuidB));
        m_d.reset(new TestPeer(kUuidD));
        for (TestPeer *p : {m_a.get(), m_b.get(), m_d.get()}) {
            p->client()->setRequestTimeout(3000);
            p->client()->setTransferTimeout(3000);
        }
    }

    void cleanup()
    {
        m_a.reset();
        m_b.reset();
        m_d.reset();
    }

    // Two copies at once of two different files of one name into one folder (IMG_0001.JPG
    // from two camera cards), through one computer's server or two: each writes only its own
    // hidden file, the one that comes second waits for the first and is then asked, and each
    // that reports the file finished has its own file there.
    void twoFilesOfOneNameAtOnce_data()
    {
        QTest::addColumn<bool>("twoComputers");
        QTest::newRow("through one computer") << false;
        QTest::newRow("through two computers") << true;
    }
    void twoFilesOfOneNameAtOnce()
    {
        QFETCH(bool, twoComputers);
        const QString one = m_src + QStringLiteral("/card1/IMG_0001.JPG");
        const QString two = m_src + QStringLiteral("/card2/IMG_0001.JPG");
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/card1")) && QDir().mkpath(m_src + QStringLiteral("/card2")));
        QVERIFY(writeFile(one, pattern(3000000, 1)));
        QVERIFY(writeFile(two, pattern(2500000, 2)));
        const QString target = m_dst + QStringLiteral("/IMG_0001.JPG");
        Copy first, second;
        // The one that is asked replaces the other's file, once that one has finished.
        QList<QPointer<VfsCopyJob>> waiting;
        auto replaceOnceAlone = [&](VfsCopyJob *job) {
            if (ended(first) || ended(second))
                job->replaceCurrentItem();
            else
                waiting << job;
        };
        start(first, m_b.get(), {fileItem(one)}, m_dst, target, replaceOnceAlone);
        start(second, twoComputers ? m_d.get() : m_b.get(), {fileItem(two)}, m_dst, target, replaceOnceAlone);
        QVERIFY(waitFor([&] {
            if (ended(first) || ended(second)) {
                for (const QPointer<VfsCopyJob> &job : waiting)
                    if (job)
                        job->replaceCurrentItem();
                waiting.clear();
            }
            return ended(first) && ended(second);
        }, 60000));
        QVERIFY(first.finished && second.finished);
        QCOMPARE(first.atEnd, readFile(one));
        QCOMPARE(second.atEnd, readFile(two));
        QCOMPARE(first.askedAtErrors.size() + second.askedAtErrors.size(), 1);
        const QByteArray last = first.askedAtErrors.isEmpty() ? readFile(two) : readFile(one);
        QCOMPARE(readFile(target), last);
        QCOMPARE(hiddenFiles(m_dst), QStringList());
        settle();
    }

    // The real name taken by another file while the copy wrote its own: asked at once, as at
    // the start, never after a pause. Skip keeps the other file and removes the copy's hidden
    // one; Replace puts the copy there.
    void nameTakenAtTheEndIsAsked_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("skip") << false;
        QTest::newRow("replace") << true;
    }
    void nameTakenAtTheEndIsAsked()
    {
        QFETCH(bool, replace);
        const QString source = m_src + QStringLiteral("/late.bin");
        QVERIFY(writeFile(source, pattern(400000, 7)));
        const QString target = m_dst + QStringLiteral("/late.bin");
        bool appeared = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_WRITE_FILE && !appeared)
                appeared = writeFile(target, "appeared meanwhile");
        };
        Copy copy;
        start(copy, m_b.get(), {fileItem(source)}, m_dst, target, [replace](VfsCopyJob *job) {
            if (replace)
                job->replaceCurrentItem();
            else
                job->skipCurrentItem();
        });
        QVERIFY(waitFor([&] { return ended(copy); }, 60000));
        m_b->onRequest = nullptr;
        QVERIFY(appeared);
        QVERIFY(copy.finished);
        QCOMPARE(copy.askedAtErrors, QList<int>({0}));
        QCOMPARE(readFile(target), replace ? readFile(source) : QByteArray("appeared meanwhile"));
        QCOMPARE(copy.result.files.contains(source), replace);
        QCOMPARE(hiddenFiles(m_dst), QStringList());
        settle();
    }

    // Into a FUSE file system (bindfs): before a copy or a move says it is done, every file
    // it wrote there got a flush of its own (FSYNC), as syncfs reaches none of them.
    void eachFileFlushedOnFuseBeforeTheEnd_data()
    {
        QTest::addColumn<bool>("move");
        QTest::newRow("copy") << false;
        QTest::newRow("move") << true;
    }
    void eachFileFlushedOnFuseBeforeTheEnd()
    {
        QFETCH(bool, move);
        if (!testutil::FuseMount::available())
            QSKIP("no /dev/fuse: FUSE file systems cannot be mounted here");
        const QString backing = m_dst + QStringLiteral("/backing");
        const QString mount = m_dst + QStringLiteral("/bindfs");
        QVERIFY(QDir().mkpath(backing) && QDir().mkpath(mount));
        testutil::FuseMount bindfs;
        QVERIFY(bindfs.mount(QStringLiteral("bindfs"), {QStringLiteral("-d"), backing, mount}, mount));
        std::vector<VfsCopyItem> items;
        QHash<QString, QByteArray> contents;
        for (int i = 0; i < 12; ++i) {
            // Half of them small enough for one request each, half of several blocks.
            const QString name = QStringLiteral("f%1.bin").arg(i);
            contents.insert(name, pattern(i % 2 ? 1000 + i : 200000 + i, i));
            QVERIFY(writeFile(m_src + QLatin1Char('/') + name, contents.value(name)));
            items.push_back(fileItem(m_src + QLatin1Char('/') + name));
        }
        Copy copy;
        start(copy, m_b.get(), items, mount, QString(), {}, move);
        QVERIFY(waitFor([&] { return ended(copy); }, 60000));
        QVERIFY(copy.finished);
        QCOMPARE(copy.result.files.size(), contents.size());

        // What bindfs was asked up to now: it names a file by its descriptor (fh) when it
        // flushes it, and by its path when it opens or makes it.
        const QString marker = mount + QStringLiteral("/marker");
        const int fd = ::open(QFile::encodeName(marker).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::fsync(fd), 0);
        ::close(fd);
        static const QRegularExpression opened(QStringLiteral("^\\s*(?:create|open)\\[(\\d+)\\] flags: \\S+ (\\S+)"));
        static const QRegularExpression flushed(QStringLiteral("^\\s*fsync\\[(\\d+)\\]"));
        QSet<QString> flushedNames;
        bool markerSeen = false;
        QVERIFY(waitFor([&] {
            QHash<QString, QString> pathOf;
            flushedNames.clear();
            for (const QByteArray &raw : bindfs.output().split('\n')) {
                const QString line = QString::fromUtf8(raw);
                const QRegularExpressionMatch open = opened.match(line);
                if (open.hasMatch())
                    pathOf.insert(open.captured(1), open.captured(2));
                const QRegularExpressionMatch sync = flushed.match(line);
                if (!sync.hasMatch())
                    continue;
                QString name = pathOf.value(sync.captured(1)).mid(1);
                if (name == QStringLiteral("marker")) {
                    markerSeen = true;
                    return true;
                }
                // Written under its hidden name, flushed under either.
                if (VfsCopyJob::isPartialName(name))
                    name = name.mid(1, name.size() - 1 - int(qstrlen(".nusk-part")));
                flushedNames.insert(name);
            }
            return false;
        }, 20000));
        QVERIFY(markerSeen);
        for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
            QVERIFY2(flushedNames.contains(it.key()), qPrintable(it.key()));
            QCOMPARE(readFile(backing + QLatin1Char('/') + it.key()), it.value());
            QCOMPARE(QFileInfo::exists(m_src + QLatin1Char('/') + it.key()), !move);
        }
        bindfs.unmount();
        settle();
    }
};

QTEST_GUILESS_MAIN(tst_CopyDestination)
#include "tst_copydestination.moc"
