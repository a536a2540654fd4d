// A folder big enough that the server keys, sorts and encodes it on several pool threads:
// the pages together still hold every entry once, in the order one collator gives, with each
// entry's own attributes.

#include "tst_serverharness.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <random>

#include <sys/stat.h>

class TestServerListing : public QObject
{
    Q_OBJECT

private slots:
    void bigFolderInOneOrderWithOwnAttributes()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString dir = QDir(tmp.path()).canonicalPath();

        // Names in random order of creation, mixed case, numbers of different widths, and
        // folders among them.
        QStringList files, folders;
        for (int i = 0; i < 4500; ++i) {
            const QString name = QStringLiteral("%1item-%2").arg(i % 3 ? "" : "Big ").arg(i * 7919 % 100003);
            if (i % 25 == 0)
                folders << name;
            else
                files << name + QStringLiteral(".txt");
        }
        std::vector<QString> creation(files.begin(), files.end());
        std::shuffle(creation.begin(), creation.end(), std::mt19937(7));
        for (const QString &name : creation) {
            QFile file(dir + '/' + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(name.size(), 'x')); // each file's size is its name's length
        }
        for (const QString &name : folders)
            QVERIFY(QDir(dir).mkdir(name));
        const QString tool = files.first();
        QVERIFY(::chmod(QFile::encodeName(dir + '/' + tool).constData(), 0755) == 0);

        QCollator collator;
        const auto byCollator = [&](const QString &a, const QString &b) { return collator.compare(a, b) < 0; };
        std::sort(folders.begin(), folders.end(), byCollator);
        std::sort(files.begin(), files.end(), byCollator);

        ServerHarness h(true);
        const ServerHarness::Listing l = h.list(dir);
        QCOMPARE(l.lastStatus, std::uint8_t(FSO_STATUS_COMPLETE));
        QVERIFY(l.pages > 3);
        QStringList names;
        for (const VfsDirectoryEntry &e : l.entries)
            names << e.name;
        QCOMPARE(names, folders + files);

        for (const VfsDirectoryEntry &e : l.entries) {
            const bool folder = e.type == FSO_ENTRY_DIRECTORY;
            QCOMPARE(folder, !e.name.endsWith(QLatin1String(".txt")));
            QCOMPARE(e.size, folder ? std::uint64_t(0) : std::uint64_t(e.name.size()));
            QVERIFY(e.modifyTime > 0);
            QVERIFY(e.mode & FSO_MODE_READABLE);
            QCOMPARE(bool(e.mode & FSO_MODE_EXECUTABLE), folder || e.name == tool);
            QCOMPARE(e.fileIndex != 0, folder);
        }
    }
};

QTEST_GUILESS_MAIN(TestServerListing)
#include "tst_serverlisting.moc"
