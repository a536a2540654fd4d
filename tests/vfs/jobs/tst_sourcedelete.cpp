// The deletes that end a cut, between in-process peers over the real FSO client, parser and
// server: many out at once with a folder only after its content.

#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsdeletelane.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

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
};

QTEST_GUILESS_MAIN(tst_SourceDelete)
#include "tst_sourcedelete.moc"
