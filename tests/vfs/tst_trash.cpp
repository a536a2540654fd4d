#include "vfs/trash.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
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

QTEST_GUILESS_MAIN(TstTrash)
#include "tst_trash.moc"
