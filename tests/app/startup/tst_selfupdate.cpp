// The file moves of the update hand-over, on temporary install directories.

#include "app/startup/selfupdate.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

bool writeFile(const QString& path, const QByteArray& content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return false;
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_inst = m_dir->path() + "/inst";
        QVERIFY(writeFile(m_inst + "/nusk", "old program", true));
        QVERIFY(writeFile(m_inst + "/lib/old.so", "old lib"));
        QVERIFY(writeFile(m_inst + "/keep.txt", "untouched"));
        QVERIFY(writeFile(m_inst + "/update.zip", "zip"));
        QVERIFY(writeFile(m_inst + "/update/nusk", "new program", true));
        QVERIFY(writeFile(m_inst + "/update/lib/old.so", "new lib"));
        QVERIFY(writeFile(m_inst + "/update/themes/new.qml", "new file"));
    }

    void detection()
    {
        SelfUpdate fromUpdate(m_inst + "/update", "nusk");
        QVERIFY(fromUpdate.isRunningFromUpdate());
        QCOMPARE(fromUpdate.installDir(), QDir::cleanPath(m_inst));
        QCOMPARE(fromUpdate.installedProgram(), QDir::cleanPath(m_inst) + "/nusk");
        QCOMPARE(fromUpdate.updateProgram(), QDir::cleanPath(m_inst) + "/update/nusk");

        SelfUpdate installed(m_inst, "nusk");
        QVERIFY(!installed.isRunningFromUpdate());
        QCOMPARE(installed.installDir(), QDir::cleanPath(m_inst));
        QVERIFY(!installed.install());

        // A directory that just happens to be called "update", with no installed program
        // above it, is a normal installation.
        QVERIFY(writeFile(m_dir->path() + "/other/update/nusk", "x", true));
        SelfUpdate lonely(m_dir->path() + "/other/update", "nusk");
        QVERIFY(!lonely.isRunningFromUpdate());
        QCOMPARE(lonely.installDir(), QDir::cleanPath(m_dir->path() + "/other/update"));
    }

    void installMovesReplacedFilesToRollback()
    {
        // A rollback left by an interrupted earlier hand-over.
        QVERIFY(writeFile(m_inst + "/rollback/stale.txt", "stale"));

        SelfUpdate su(m_inst + "/update", "nusk");
        QVERIFY2(su.install(), qPrintable(su.errorString()));

        QCOMPARE(readFile(m_inst + "/nusk"), QByteArray("new program"));
        QVERIFY(QFileInfo(m_inst + "/nusk").isExecutable());
        QCOMPARE(readFile(m_inst + "/lib/old.so"), QByteArray("new lib"));
        QCOMPARE(readFile(m_inst + "/themes/new.qml"), QByteArray("new file"));
        QCOMPARE(readFile(m_inst + "/keep.txt"), QByteArray("untouched"));
        QCOMPARE(readFile(m_inst + "/update.zip"), QByteArray("zip"));

        QCOMPARE(readFile(m_inst + "/rollback/nusk"), QByteArray("old program"));
        QCOMPARE(readFile(m_inst + "/rollback/lib/old.so"), QByteArray("old lib"));
        QVERIFY(!QFileInfo::exists(m_inst + "/rollback/themes/new.qml")); // nothing replaced
        QVERIFY(!QFileInfo::exists(m_inst + "/rollback/stale.txt"));
        QVERIFY(!QFileInfo::exists(m_inst + "/update/nusk"));
    }

    void failedInstallPutsEverythingBack()
    {
        // "zz" sorts last: the program and the library are moved before the failure.
        QVERIFY(QDir().mkpath(m_inst + "/zz"));
        QVERIFY(writeFile(m_inst + "/update/zz", "file where a directory is"));

        SelfUpdate su(m_inst + "/update", "nusk");
        QVERIFY(!su.install());
        QVERIFY(!su.errorString().isEmpty());

        QCOMPARE(readFile(m_inst + "/nusk"), QByteArray("old program"));
        QCOMPARE(readFile(m_inst + "/lib/old.so"), QByteArray("old lib"));
        QVERIFY(!QFileInfo::exists(m_inst + "/themes/new.qml"));
        QCOMPARE(readFile(m_inst + "/update/nusk"), QByteArray("new program"));
        QCOMPARE(readFile(m_inst + "/update/lib/old.so"), QByteArray("new lib"));
        QCOMPARE(readFile(m_inst + "/update/themes/new.qml"), QByteArray("new file"));
        QVERIFY(QFileInfo(m_inst + "/zz").isDir());
        QVERIFY(!QFileInfo::exists(m_inst + "/rollback/nusk"));
    }

    void normalStartRemovesLeftovers()
    {
        QVERIFY(writeFile(m_inst + "/rollback/nusk", "older"));
        // A symbolic link as "update" goes, its target stays.
        QVERIFY(writeFile(m_dir->path() + "/elsewhere/precious", "keep"));

        SelfUpdate su(m_inst, "nusk");
        su.removeLeftovers();
        QVERIFY(!QFileInfo::exists(m_inst + "/update"));
        QVERIFY(!QFileInfo::exists(m_inst + "/rollback"));
        QCOMPARE(readFile(m_inst + "/update.zip"), QByteArray("zip"));
        QCOMPARE(readFile(m_inst + "/nusk"), QByteArray("old program"));

        QVERIFY(QFile::link(m_dir->path() + "/elsewhere", m_inst + "/update"));
        su.removeLeftovers();
        QVERIFY(!QFileInfo(m_inst + "/update").isSymLink());
        QCOMPARE(readFile(m_dir->path() + "/elsewhere/precious"), QByteArray("keep"));

        su.removeLeftovers(); // nothing left: no harm
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_inst;
};

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
