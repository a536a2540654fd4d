#include "vfs/server/trash.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The keys of a .trashinfo file, checked against the layout every freedesktop trash reads.
QHash<QString, QByteArray> parseTrashInfo(const QByteArray &text)
{
    QHash<QString, QByteArray> keys;
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != "[Trash Info]")
        return keys;
    for (const QByteArray &line : lines.mid(1)) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            keys.insert(QString::fromLatin1(line.left(eq)), line.mid(eq + 1));
    }
    return keys;
}

quint8 trashIt(const QString &path, bool isLocal = true)
{
    quint8 status = 0xFF;
    deleteToRecycleBin(isLocal, &status, path);
    return status;
}

} // namespace

class TstTrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void fileGoesToHomeTrashWithInfo();
    void sameNameTwiceKeepsBoth();
    void directoriesAndLinks();
    void sharesTheTrashWithGio();
    void failuresAreReported_data();
    void failuresAreReported();
    void unusableTrashIsReported();
    void otherMountUsesItsOwnTrash();
    void unsafeTrashDirectoriesAreRefused();
    void sharedTrashOfAnotherUserIsNotUsed();
    void longNameFitsTheInfoFile();
    void concurrentSameNamesGetDistinctEntries();

private:
    QTemporaryDir *m_root = nullptr;
    QString m_work;
    QString m_trash;
    QByteArray m_savedDataHome;
};

void TstTrash::init()
{
    m_root = new QTemporaryDir;
    QVERIFY(m_root->isValid());
    m_work = m_root->filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(m_work));
    m_savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root->filePath(QStringLiteral("data"))));
    m_trash = m_root->filePath(QStringLiteral("data/Trash"));
    QCOMPARE(trash::homeTrashDirectory(), m_trash);
}

void TstTrash::cleanup()
{
    if (m_savedDataHome.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", m_savedDataHome);
    delete m_root;
    m_root = nullptr;
}

void TstTrash::fileGoesToHomeTrashWithInfo()
{
    const QString name = QStringLiteral("Bericht über 100% #1.txt");
    const QString file = m_work + QLatin1Char('/') + name;
    QVERIFY(writeFile(file, "content"));

    QCOMPARE(trashIt(file, false), quint8(0));
    QVERIFY(!QFile::exists(file));
    QCOMPARE(readFile(m_trash + QStringLiteral("/files/") + name), QByteArray("content"));

    const QByteArray info = readFile(m_trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo"));
    const QHash<QString, QByteArray> keys = parseTrashInfo(info);
    QVERIFY2(keys.contains(QStringLiteral("Path")), info.constData());
    const QByteArray path = keys.value(QStringLiteral("Path"));
    QVERIFY(!path.contains(' ') && !path.contains('#')); // escaped as in URLs
    QCOMPARE(QString::fromUtf8(QByteArray::fromPercentEncoding(path)), QFileInfo(m_work).canonicalFilePath() + QLatin1Char('/') + name);
    const QByteArray date = keys.value(QStringLiteral("DeletionDate"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$")).match(QString::fromLatin1(date)).hasMatch(),
             date.constData());
    QVERIFY(qAbs(QDateTime::fromString(QString::fromLatin1(date), Qt::ISODate).secsTo(QDateTime::currentDateTime())) < 600);

    // Made private to the user, like every freedesktop trash.
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(m_trash + QStringLiteral("/files")).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0700));
}

void TstTrash::sameNameTwiceKeepsBoth()
{
    QString first;
    QString second;
    QVERIFY(writeFile(m_work + QStringLiteral("/a.txt"), "one"));
    QVERIFY(trash::moveToTrash(m_work + QStringLiteral("/a.txt"), &first));
    QVERIFY(writeFile(m_work + QStringLiteral("/a.txt"), "two"));
    QVERIFY(trash::moveToTrash(m_work + QStringLiteral("/a.txt"), &second));
    QVERIFY(first != second);
    QCOMPARE(readFile(first), QByteArray("one"));
    QCOMPARE(readFile(second), QByteArray("two"));
    const QString secondName = QFileInfo(second).fileName();
    QVERIFY(secondName.endsWith(QStringLiteral(".txt")));
    QVERIFY(QFile::exists(m_trash + QStringLiteral("/info/") + secondName + QStringLiteral(".trashinfo")));
    QCOMPARE(QDir(m_trash + QStringLiteral("/info")).entryList(QDir::Files).size(), 2);
}

void TstTrash::directoriesAndLinks()
{
    const QString dir = m_work + QStringLiteral("/folder");
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/sub")));
    QVERIFY(writeFile(dir + QStringLiteral("/sub/x"), "x"));
    const QString target = m_work + QStringLiteral("/target");
    QVERIFY(writeFile(target, "kept"));
    const QString link = m_work + QStringLiteral("/link");
    QVERIFY(QFile::link(target, link));

    QCOMPARE(trashIt(dir + QLatin1Char('/')), quint8(0)); // a trailing slash names the same folder
    QCOMPARE(readFile(m_trash + QStringLiteral("/files/folder/sub/x")), QByteArray("x"));
    QCOMPARE(trashIt(link), quint8(0));
    QVERIFY(QFileInfo(m_trash + QStringLiteral("/files/link")).isSymLink());
    QCOMPARE(readFile(target), QByteArray("kept")); // the link went, not what it points to
}

void TstTrash::sharesTheTrashWithGio()
{
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        QSKIP("gio is not installed");
    QVERIFY(writeFile(m_work + QStringLiteral("/same.txt"), "by gio"));
    if (QProcess::execute(gio, {QStringLiteral("trash"), m_work + QStringLiteral("/same.txt")}) != 0)
        QSKIP("gio cannot trash here");
    // gio used the same trash directory...
    QCOMPARE(readFile(m_trash + QStringLiteral("/files/same.txt")), QByteArray("by gio"));
    const QByteArray gioInfo = readFile(m_trash + QStringLiteral("/info/same.txt.trashinfo"));

    // ...and ours neither overwrites gio's item nor writes a different info layout.
    QVERIFY(writeFile(m_work + QStringLiteral("/same.txt"), "by us"));
    QString ours;
    QVERIFY(trash::moveToTrash(m_work + QStringLiteral("/same.txt"), &ours));
    QCOMPARE(readFile(m_trash + QStringLiteral("/files/same.txt")), QByteArray("by gio"));
    QCOMPARE(readFile(ours), QByteArray("by us"));
    const QByteArray ourInfo = readFile(m_trash + QStringLiteral("/info/") + QFileInfo(ours).fileName()
                                        + QStringLiteral(".trashinfo"));
    QStringList ourKeys = parseTrashInfo(ourInfo).keys();
    QStringList gioKeys = parseTrashInfo(gioInfo).keys();
    ourKeys.sort();
    gioKeys.sort();
    QCOMPARE(ourKeys, gioKeys);
    QCOMPARE(parseTrashInfo(ourInfo).value(QStringLiteral("Path")), parseTrashInfo(gioInfo).value(QStringLiteral("Path")));
}

void TstTrash::failuresAreReported_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("/nonexistent-nusk-test/file");
    QTest::newRow("relative") << QStringLiteral("work");
    QTest::newRow("root") << QStringLiteral("/");
    QTest::newRow("NUL inside") << QStringLiteral("/tmp") + QChar(0) + QStringLiteral("x");
}

void TstTrash::failuresAreReported()
{
    QFETCH(QString, path);
    QCOMPARE(trashIt(path), quint8(1));
    QVERIFY(!QFileInfo::exists(m_trash + QStringLiteral("/info")) || QDir(m_trash + QStringLiteral("/info")).isEmpty());
    deleteToRecycleBin(true, nullptr, path); // no status byte: nothing to crash on
}

void TstTrash::unusableTrashIsReported()
{
    // The data directory is a file, so no trash can be made in it.
    QVERIFY(writeFile(m_root->filePath(QStringLiteral("data")), "not a directory"));
    const QString file = m_work + QStringLiteral("/keep.txt");
    QVERIFY(writeFile(file, "still here"));
    QCOMPARE(trashIt(file), quint8(1));
    QCOMPARE(readFile(file), QByteArray("still here"));

    // A trash folder into its own trash cannot go either.
    QVERIFY(QFile::remove(m_root->filePath(QStringLiteral("data"))));
    QVERIFY(QDir().mkpath(m_trash));
    QCOMPARE(trashIt(m_root->filePath(QStringLiteral("data"))), quint8(1));
    QVERIFY(QFileInfo(m_trash).isDir());
    QVERIFY(QDir(m_trash + QStringLiteral("/info")).isEmpty());
}

void TstTrash::otherMountUsesItsOwnTrash()
{
    // /dev/shm is a separate file system on most machines: its items go to its own
    // .Trash-$uid, with paths recorded relative to it.
    const QString shm = QStringLiteral("/dev/shm");
    struct stat a;
    struct stat b;
    if (::stat("/dev/shm", &a) != 0 || ::stat(QFile::encodeName(m_root->path()).constData(), &b) != 0
        || a.st_dev == b.st_dev || ::access("/dev/shm", W_OK) != 0)
        QSKIP("no writable second file system");
    const QString own = shm + QStringLiteral("/.Trash-") + QString::number(::getuid());
    const bool ownExisted = QFileInfo::exists(own);
    QTemporaryDir sub(shm + QStringLiteral("/nusk-trash-XXXXXX"));
    QVERIFY(sub.isValid());
    const QString file = sub.filePath(QStringLiteral("f.bin"));
    QVERIFY(writeFile(file, "shm"));

    QString trashedAs;
    const bool ok = trash::moveToTrash(file, &trashedAs);
    const QString infoPath = own + QStringLiteral("/info/") + QFileInfo(trashedAs).fileName() + QStringLiteral(".trashinfo");
    const QByteArray info = readFile(infoPath);
    if (ok) {
        QFile::remove(trashedAs);
        QFile::remove(infoPath);
    }
    if (!ownExisted)
        QDir(own).removeRecursively();
    QVERIFY(ok);
    QCOMPARE(QFileInfo(trashedAs).path(), own + QStringLiteral("/files"));
    QCOMPARE(parseTrashInfo(info).value(QStringLiteral("Path")),
             QFileInfo(sub.path()).fileName().toUtf8() + "/f.bin");
}

void TstTrash::unsafeTrashDirectoriesAreRefused()
{
    const QString file = m_work + QStringLiteral("/keep.txt");
    QVERIFY(writeFile(file, "still here"));
    QVERIFY(QDir().mkpath(m_trash + QStringLiteral("/files")));
    QVERIFY(QDir().mkpath(m_trash + QStringLiteral("/info")));
    const QByteArray files = QFile::encodeName(m_trash + QStringLiteral("/files"));
    const QByteArray info = QFile::encodeName(m_trash + QStringLiteral("/info"));

    // Writable by everyone without the sticky bit: anyone could swap what lies in it.
    QVERIFY(::chmod(info.constData(), 0777) == 0);
    QCOMPARE(trashIt(file), quint8(1));
    QCOMPARE(readFile(file), QByteArray("still here"));
    QVERIFY(QDir(m_trash + QStringLiteral("/info")).isEmpty());
    QVERIFY(::chmod(info.constData(), 0700) == 0);

    // Owned by someone else (another account than the one running the test, root or not).
    if (::chown(files.constData(), ::geteuid() + 1, ::getegid() + 1) == 0) {
        QCOMPARE(trashIt(file), quint8(1));
        QCOMPARE(readFile(file), QByteArray("still here"));
        QVERIFY(QDir(m_trash + QStringLiteral("/info")).isEmpty());
        QVERIFY(::chown(files.constData(), ::getuid(), ::getgid()) == 0);
    }

    // The trash itself a link to a directory elsewhere.
    QVERIFY(QDir(m_trash).removeRecursively());
    const QString elsewhere = m_root->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::link(elsewhere, m_trash));
    QCOMPARE(trashIt(file), quint8(1));
    QCOMPARE(readFile(file), QByteArray("still here"));
    QVERIFY(QDir(elsewhere).isEmpty());

    // Sound again: the same file goes.
    QVERIFY(QFile::remove(m_trash));
    QCOMPARE(trashIt(file), quint8(0));
}

void TstTrash::sharedTrashOfAnotherUserIsNotUsed()
{
    // An administrator's sticky $topdir/.Trash where someone else made our $uid directory
    // first: our items go to .Trash-$uid instead.
    struct stat a;
    struct stat b;
    if (::stat("/dev/shm", &a) != 0 || ::stat(QFile::encodeName(m_root->path()).constData(), &b) != 0
        || a.st_dev == b.st_dev || ::access("/dev/shm", W_OK) != 0)
        QSKIP("no writable second file system");
    if (QFileInfo::exists(QStringLiteral("/dev/shm/.Trash")))
        QSKIP("/dev/shm/.Trash is in use");
    const QString uid = QString::number(::getuid());
    const QString own = QStringLiteral("/dev/shm/.Trash-") + uid;
    const bool ownExisted = QFileInfo::exists(own);
    QVERIFY(QDir().mkpath(QStringLiteral("/dev/shm/.Trash/") + uid));
    ::chmod("/dev/shm/.Trash", 01777);
    const QByteArray foreign = QFile::encodeName(QStringLiteral("/dev/shm/.Trash/") + uid);
    const bool canChown = ::chown(foreign.constData(), ::geteuid() + 1, ::getegid() + 1) == 0
                          && ::chmod(foreign.constData(), 0777) == 0;

    QTemporaryDir sub(QStringLiteral("/dev/shm/nusk-trash-XXXXXX"));
    QVERIFY(sub.isValid());
    const QString file = sub.filePath(QStringLiteral("g.bin"));
    QVERIFY(writeFile(file, "shm"));
    QString trashedAs;
    const bool ok = trash::moveToTrash(file, &trashedAs);
    const QStringList inForeign = QDir(QFile::decodeName(foreign) + QStringLiteral("/files")).entryList(QDir::Files);
    QDir(QStringLiteral("/dev/shm/.Trash")).removeRecursively();
    if (ok) {
        QFile::remove(trashedAs);
        QFile::remove(own + QStringLiteral("/info/") + QFileInfo(trashedAs).fileName() + QStringLiteral(".trashinfo"));
    }
    if (!ownExisted)
        QDir(own).removeRecursively();
    if (!canChown)
        QSKIP("cannot give a directory to another user here");
    QVERIFY(ok);
    QVERIFY(inForeign.isEmpty());
    QCOMPARE(QFileInfo(trashedAs).path(), own + QStringLiteral("/files"));
}

void TstTrash::longNameFitsTheInfoFile()
{
    // 250 bytes, the last ones two-byte characters: fine as a name, too long with ".trashinfo".
    const QString name = QString(240, QLatin1Char('n')) + QStringLiteral("ééé.txt");
    QCOMPARE(QFile::encodeName(name).size(), 250);
    const QString file = m_work + QLatin1Char('/') + name;
    QVERIFY(writeFile(file, "long"));
    QString first;
    QVERIFY(trash::moveToTrash(file, &first));
    QVERIFY(writeFile(file, "long again"));
    QString second;
    QVERIFY(trash::moveToTrash(file, &second));
    QVERIFY(first != second);
    QCOMPARE(readFile(first), QByteArray("long"));
    QCOMPARE(readFile(second), QByteArray("long again"));
    for (const QString &entry : {first, second}) {
        const QByteArray entryName = QFile::encodeName(QFileInfo(entry).fileName());
        QCOMPARE(QString::fromUtf8(entryName).toUtf8(), entryName); // no character cut in half
        const QByteArray info = readFile(m_trash + QStringLiteral("/info/") + QFileInfo(entry).fileName()
                                         + QStringLiteral(".trashinfo"));
        QCOMPARE(QString::fromUtf8(QByteArray::fromPercentEncoding(parseTrashInfo(info).value(QStringLiteral("Path")))),
                 QFileInfo(m_work).canonicalFilePath() + QLatin1Char('/') + name);
    }
}

void TstTrash::concurrentSameNamesGetDistinctEntries()
{
    const int count = 8;
    QStringList sources;
    for (int i = 0; i < count; ++i) {
        const QString dir = m_work + QStringLiteral("/d%1").arg(i);
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(writeFile(dir + QStringLiteral("/same.txt"), QByteArray::number(i)));
        sources << dir + QStringLiteral("/same.txt");
    }
    QList<QFuture<QString>> runs;
    for (const QString &source : sources) {
        runs << QtConcurrent::run([source] {
            QString trashedAs;
            return trash::moveToTrash(source, &trashedAs) ? trashedAs : QString();
        });
    }
    QSet<QString> entries;
    for (int i = 0; i < count; ++i) {
        const QString entry = runs[i].result();
        QVERIFY(!entry.isEmpty());
        entries.insert(entry);
        QCOMPARE(readFile(entry), QByteArray::number(i));
        // Each entry's info names the file that is in it.
        const QByteArray info = readFile(m_trash + QStringLiteral("/info/") + QFileInfo(entry).fileName()
                                         + QStringLiteral(".trashinfo"));
        QVERIFY(QByteArray::fromPercentEncoding(parseTrashInfo(info).value(QStringLiteral("Path")))
                    .endsWith(QStringLiteral("/d%1/same.txt").arg(i).toUtf8()));
    }
    QCOMPARE(entries.size(), count);
    QCOMPARE(QDir(m_trash + QStringLiteral("/info")).entryList(QDir::Files).size(), count);
}

QTEST_GUILESS_MAIN(TstTrash)
#include "tst_trash.moc"
