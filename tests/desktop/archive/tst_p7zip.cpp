#include "app/base/translations.h"
#include "desktop/common/desktopresources.h"
#include "desktop/archive/extractdialog.h"
#include "desktop/archive/p7zip.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// Archives made here with 7z and Python's zipfile, extracted by the real 7-Zip.
class TstP7Zip : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QByteArray m_path;
    Translations m_translations;

    QString path(const QString& rel) const { return m_tmp.filePath(rel); }

    void python(const QString& script)
    {
        QProcess p;
        p.setWorkingDirectory(path(QStringLiteral("src")));
        p.start(QStringLiteral("python3"), {QStringLiteral("-c"), script});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
    }

    void sh(const QString& command)
    {
        QProcess p;
        p.setWorkingDirectory(path(QStringLiteral("src")));
        p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    }

    // Every entry below dir, relative, sorted, hidden ones included.
    static QStringList tree(const QString& dir)
    {
        QStringList out;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << QDir(dir).relativeFilePath(it.next());
        out.sort();
        return out;
    }

    // Runs one extraction to its end; returns the reported path, or empty on failure.
    QString extract(const QString& archive, const QString& dest, QString* error = nullptr)
    {
        auto* job = new P7Zip(archive, nullptr);
        QPointer<P7Zip> guard(job);
        QSignalSpy done(job, &P7Zip::extracted);
        QSignalSpy failed(job, &P7Zip::failedExtracting);
        QSignalSpy messages(job, &P7Zip::errorMessage);
        if (!job->start(dest)) {
            if (error)
                *error = job->errorString();
            delete job;
            return QString();
        }
        [&] { QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000); }();
        if (error && !failed.isEmpty())
            *error = messages.isEmpty() ? QStringLiteral("cancelled") : messages.last().first().toString();
        return done.isEmpty() ? QString() : done.first().first().toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        initDesktopResources();
        m_translations.install(QLocale(QStringLiteral("en_US")));
        m_path = qgetenv("PATH");
        QDir().mkpath(path(QStringLiteral("src/docs/sub")));
        QDir().mkpath(path(QStringLiteral("dest")));
        sh(QStringLiteral("echo one > docs/a.txt && echo two > docs/sub/b.txt && echo r > report.pdf"
                          " && 7z a -bso0 docs.7z docs && 7z a -bso0 report.zip report.pdf"));
        python(QStringLiteral(
            "import zipfile, stat\n"
            "with zipfile.ZipFile('x.zip','w') as z:\n"
            "    z.writestr('a.txt','a'); z.writestr('report.pdf','r')\n"
            "with zipfile.ZipFile('evil.zip','w') as z:\n"
            "    z.writestr('ok.txt','ok'); z.writestr('../evil','x')\n"
            "with zipfile.ZipFile('abs.zip','w') as z:\n"
            "    z.writestr('%1','x')\n"
            "with zipfile.ZipFile('link.zip','w') as z:\n"
            "    zi = zipfile.ZipInfo('etc'); zi.external_attr = (stat.S_IFLNK | 0o777) << 16\n"
            "    z.writestr(zi, '/etc'); z.writestr('etc/pwned','x')\n"
            "with zipfile.ZipFile('big.zip','w', zipfile.ZIP_DEFLATED) as z:\n"
            "    z.writestr('one.bin', bytes(4000000)); z.writestr('two.bin', bytes(4000000))\n"
            "data = open('big.zip','rb').read()\n"
            "open('trunc.zip','wb').write(data[:len(data)//2])\n").arg(path(QStringLiteral("abs-target"))));
        sh(QStringLiteral("ln -s /etc elink && tar cf link.tar elink docs"));
        python(QStringLiteral(
            "import zipfile\n"
            "with zipfile.ZipFile('modes.zip','w') as z:\n"
            "    for name, mode in (('m/tool', 0o100755), ('m/priv', 0o100640), ('m/ro/', 0o40555), ('m/ro/doc', 0o100444)):\n"
            "        zi = zipfile.ZipInfo(name); zi.external_attr = mode << 16 | (0x10 if name.endswith('/') else 0)\n"
            "        z.writestr(zi, '' if name.endswith('/') else 'x')\n"));
    }

    void namesAndProgress()
    {
        for (const char* yes : {"Photos.ZIP", "a.tar.gz", "b.7z", "c.xz", "d.lzma", "e.bz2"})
            QVERIFY2(P7Zip::isSupportedArchive(QString::fromLatin1(yes)), yes);
        for (const char* no : {"a.tar", "a.tgz", "a.rar", "zip"})
            QVERIFY2(!P7Zip::isSupportedArchive(QString::fromLatin1(no)), no);
        QVERIFY(P7Zip::isExtractable(QStringLiteral("{00000000-0000-0000-0000-000000000000}"), QStringLiteral("a.zip")));
        QVERIFY(!P7Zip::isExtractable(QStringLiteral("{11111111-0000-0000-0000-000000000000}"), QStringLiteral("a.zip")));

        QCOMPARE(P7Zip::parseProgress("\b\b\b\b  42% 3 - name"), 42);
        QCOMPARE(P7Zip::parseProgress("100%"), 100);
        QCOMPARE(P7Zip::parseProgress("\b\b7%"), -1);
        QCOMPARE(P7Zip::parseProgress("abc%"), -1);
        QCOMPARE(P7Zip::parseProgress("250% ..."), -1);
        QCOMPARE(P7Zip::parseProgress("  0M Scan"), -1);

        const QString dir = path(QStringLiteral("names"));
        QDir().mkpath(dir);
        for (const char* f : {"backup.tar.gz", "scan.2020.pdf", "notes.final.r2.txt", "README"})
            QFile(dir + QLatin1Char('/') + QLatin1String(f)).open(QIODevice::WriteOnly);
        QCOMPARE(P7Zip::freeName(dir, QStringLiteral("backup.tar.gz"), false), QStringLiteral("backup (1).tar.gz"));
        QCOMPARE(P7Zip::freeName(dir, QStringLiteral("scan.2020.pdf"), false), QStringLiteral("scan.2020 (1).pdf"));
        QCOMPARE(P7Zip::freeName(dir, QStringLiteral("notes.final.r2.txt"), false), QStringLiteral("notes.final (1).r2.txt"));
        QCOMPARE(P7Zip::freeName(dir, QStringLiteral("README"), false), QStringLiteral("README (1)"));
        QCOMPARE(P7Zip::freeName(dir, QStringLiteral("new.txt"), false), QStringLiteral("new.txt"));
    }

    void extractsWithoutOverwriting()
    {
        const QString dest = path(QStringLiteral("dest"));
        QCOMPARE(extract(path(QStringLiteral("src/docs.7z")), dest), dest + QStringLiteral("/docs"));
        QCOMPARE(extract(path(QStringLiteral("src/docs.7z")), dest), dest + QStringLiteral("/docs (1)"));
        QCOMPARE(extract(path(QStringLiteral("src/report.zip")), dest), dest + QStringLiteral("/report.pdf"));
        QCOMPARE(extract(path(QStringLiteral("src/report.zip")), dest), dest + QStringLiteral("/report (1).pdf"));
        QCOMPARE(extract(path(QStringLiteral("src/x.zip")), dest), dest + QStringLiteral("/x"));
        QCOMPARE(extract(path(QStringLiteral("src/x.zip")), dest), dest + QStringLiteral("/x (1)"));
        // No temporary folder stays behind, and the first copies are untouched.
        QCOMPARE(tree(dest), (QStringList{"docs", "docs (1)", "docs (1)/a.txt", "docs (1)/sub", "docs (1)/sub/b.txt",
                                          "docs/a.txt", "docs/sub", "docs/sub/b.txt", "report (1).pdf", "report.pdf",
                                          "x", "x (1)", "x (1)/a.txt", "x (1)/report.pdf", "x/a.txt", "x/report.pdf"}));
    }

    // Extracted items get the archive's modes less the user's umask, as `cp` gives them:
    // folders too, a read-only one once its files are in it.
    void modesKeptLessUmask()
    {
        const QString dest = path(QStringLiteral("modes"));
        QDir().mkpath(dest);
        const mode_t userMask = ::umask(027);
        const QString out = extract(path(QStringLiteral("src/modes.zip")), dest);
        ::umask(userMask);
        QCOMPARE(out, dest + QStringLiteral("/m"));
        auto mode = [&](const char* rel) {
            struct stat st;
            return ::stat(QFile::encodeName(out + QLatin1Char('/') + QLatin1String(rel)).constData(), &st) == 0
                       ? int(st.st_mode & 07777) : -1;
        };
        QCOMPARE(mode("tool"), 0750);
        QCOMPARE(mode("priv"), 0640);
        QCOMPARE(mode("ro"), 0550);
        QCOMPARE(mode("ro/doc"), 0440);
        QFile::setPermissions(out + QStringLiteral("/ro"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // Names in the output folder swapped after the check for links (here by the hook that runs
    // right before the modes are set): a symbolic link to a file and to a folder outside, and
    // a second name of a file outside. What lies outside keeps its mode.
    void modesNeverSetThroughLinks()
    {
        const QString outside = path(QStringLiteral("outside"));
        QDir().mkpath(outside + QStringLiteral("/dir"));
        for (const char* name : {"secret", "hard", "dir/doc"}) {
            QFile f(outside + QLatin1Char('/') + QLatin1String(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
        QFile::setPermissions(outside + QStringLiteral("/dir"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        auto mode = [](const QString& p) {
            struct stat st;
            return ::lstat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };

        P7Zip::setBeforeModesHookForTesting([&](const QString& outDir) {
            const QByteArray m = QFile::encodeName(outDir + QStringLiteral("/m/"));
            const QByteArray o = QFile::encodeName(outside + QLatin1Char('/'));
            QCOMPARE(::unlink(m + "tool"), 0);
            QCOMPARE(::symlink(o + "secret", m + "tool"), 0);
            QCOMPARE(::unlink(m + "priv"), 0);
            QCOMPARE(::link(o + "hard", m + "priv"), 0);
            QCOMPARE(::rename(m + "ro", m + "ro-was"), 0);
            QCOMPARE(::symlink(o + "dir", m + "ro"), 0);
        });
        const QString dest = path(QStringLiteral("linked"));
        QDir().mkpath(dest);
        const mode_t userMask = ::umask(022);
        const QString out = extract(path(QStringLiteral("src/modes.zip")), dest);
        ::umask(userMask);
        P7Zip::setBeforeModesHookForTesting(nullptr);
        QCOMPARE(out, dest + QStringLiteral("/m"));
        QCOMPARE(mode(outside + QStringLiteral("/secret")), 0600);
        QCOMPARE(mode(outside + QStringLiteral("/hard")), 0600);
        QCOMPARE(mode(outside + QStringLiteral("/dir")), 0700);
        QCOMPARE(mode(outside + QStringLiteral("/dir/doc")), 0600);
        // What was not swapped still gets its mode.
        QCOMPARE(mode(out + QStringLiteral("/ro-was/doc")), 0444);
        QFile::setPermissions(out + QStringLiteral("/ro-was"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void hostileArchivesAreRefused_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("message");
        QTest::newRow("dot-dot") << "evil.zip" << "\"../evil\" points outside";
        QTest::newRow("absolute") << "abs.zip" << "points outside";
        QTest::newRow("symlink zip") << "link.zip" << "\"etc\" is a link";
        QTest::newRow("symlink tar") << "link.tar" << "\"elink\" is a link";
        QTest::newRow("truncated") << "trunc.zip" << "trunc.zip";
    }
    void hostileArchivesAreRefused()
    {
        QFETCH(QString, archive);
        QFETCH(QString, message);
        const QString dest = path(QStringLiteral("hostile/") + QString::fromLatin1(QTest::currentDataTag()));
        QDir().mkpath(dest);
        QString error;
        QCOMPARE(extract(path(QStringLiteral("src/") + archive), dest, &error), QString());
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(message), qPrintable(error));
        QCOMPARE(tree(dest), QStringList());
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("hostile/evil"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("abs-target"))));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/etc/pwned")));
    }

    // A listing that names less than the archive holds (here: another archive's) must not let
    // the extraction overwrite what the destination already has.
    void underReportingListingOverwritesNothing()
    {
        const QString bin = path(QStringLiteral("liarbin"));
        QDir().mkpath(bin);
        QFile fake(bin + QStringLiteral("/7z"));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/sh\n"
                   "if [ \"$1\" = l ]; then exec /usr/bin/7z l -ba -slt -- \"$LIE\"; fi\n"
                   "exec /usr/bin/7z \"$@\"\n");
        fake.close();
        fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
        qputenv("PATH", bin.toUtf8() + ":" + m_path);
        qputenv("LIE", path(QStringLiteral("src/report.zip")).toUtf8());

        const QString dest = path(QStringLiteral("liar"));
        QDir().mkpath(dest);
        QFile mine(dest + QStringLiteral("/a.txt"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.write("mine");
        mine.close();
        // Listed as the single file report.pdf; really a.txt and report.pdf.
        const QString result = extract(path(QStringLiteral("src/x.zip")), dest);
        qputenv("PATH", m_path);
        qunsetenv("LIE");
        QCOMPARE(result, dest + QStringLiteral("/x"));
        QCOMPARE(tree(dest), (QStringList{"a.txt", "x", "x/a.txt", "x/report.pdf"}));
        QVERIFY(mine.open(QIODevice::ReadOnly));
        QCOMPARE(mine.readAll(), QByteArray("mine"));
    }

    // A 7-Zip that lists like the real one but extracts slowly, or vanishes after listing.
    void cancelAndMissingProgramCleanUp()
    {
        const QString bin = path(QStringLiteral("fakebin"));
        QDir().mkpath(bin);
        QFile fake(bin + QStringLiteral("/7z"));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/sh\n"
                   "if [ \"$1\" = l ]; then [ -n \"$VANISH\" ] && rm -f \"$0\"; exec /usr/bin/7z \"$@\"; fi\n"
                   "for a in \"$@\"; do case \"$a\" in -o*) mkdir -p \"${a#-o}\" && echo part > \"${a#-o}/one.bin\";; esac; done\n"
                   "printf '  15%% 1 - one.bin'; sleep 30\n");
        fake.close();
        fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
        qputenv("PATH", bin.toUtf8() + ":" + m_path);

        const QString dest = path(QStringLiteral("cancel"));
        QDir().mkpath(dest);
        auto* job = new P7Zip(path(QStringLiteral("src/big.zip")), nullptr);
        QPointer<P7Zip> guard(job);
        auto* dialog = new ExtractDialog(job, nullptr);
        QPointer<ExtractDialog> dialogGuard(dialog);
        QSignalSpy progress(job, &P7Zip::extractProgress);
        QSignalSpy failed(job, &P7Zip::failedExtracting);
        QVERIFY(job->start(dest));
        QTRY_COMPARE(progress.count(), 1);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Extract archive  15%"));
        QTRY_VERIFY(dialog->isVisible());   // still running after the delay
        dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        QCOMPARE(dialog->state(), int(ExtractDialog::StateCancelled));
        QTRY_VERIFY(guard.isNull());
        QCOMPARE(failed.count(), 1);
        QTRY_VERIFY(dialogGuard.isNull());
        QCOMPARE(tree(dest), QStringList());

        // The owner goes mid-extraction: 7-Zip is ended and its half-written folder removed.
        {
            QObject owner;
            auto* orphan = new P7Zip(path(QStringLiteral("src/big.zip")), &owner);
            QSignalSpy started(orphan, &P7Zip::extractProgress);
            QVERIFY(orphan->start(dest));
            QTRY_COMPARE(started.count(), 1);
            QCOMPARE(tree(dest).size(), 2);   // the fresh folder with the first file
        }
        QCOMPARE(tree(dest), QStringList());

        // The program disappears between listing and extraction: the start error ends it.
        QVERIFY(fake.open(QIODevice::ReadOnly));
        fake.close();
        qputenv("VANISH", "1");
        QString error;
        QCOMPARE(extract(path(QStringLiteral("src/big.zip")), dest, &error), QString());
        QCOMPARE(error, QStringLiteral("7-Zip could not be started."));
        QCOMPARE(tree(dest), QStringList());
        qunsetenv("VANISH");

        // No 7-Zip at all: refused with a message, and the message box shows it.
        qputenv("PATH", bin.toUtf8());
        auto* none = new P7Zip(path(QStringLiteral("src/docs.7z")), nullptr);
        new ExtractDialog(none, nullptr);
        QVERIFY(!none->start(dest));
        QVERIFY(none->errorString().contains(QStringLiteral("not installed")));
        delete none;
        QMessageBox* box = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == ExtractDialog::errorBoxName() && w->isVisible())
                box = qobject_cast<QMessageBox*>(w);
        }
        QVERIFY(box);
        QVERIFY(box->text().contains(QStringLiteral("not installed")));
        box->close();
        qputenv("PATH", m_path);
    }

    void dialogSizeAndDelay()
    {
        auto* job = new P7Zip(QString(), nullptr);
        ExtractDialog dialog(job, nullptr);
        const int titleWidth = dialog.minimumWidth();
        job->startExtracting(QStringLiteral("short.zip"), 30000000);
        QCOMPARE(dialog.minimumWidth(), titleWidth);
        QTest::qWait(100);
        QVERIFY(!dialog.isVisible());   // small archives wait a second
        const QString longName = QString(200, QLatin1Char('n')) + QStringLiteral(".zip");
        job->startExtracting(longName, 30000001);
        QVERIFY(dialog.minimumWidth() > dialog.fontMetrics().horizontalAdvance(longName));
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isVisible(), 500);
        job->extracted(QString());
        QCOMPARE(dialog.state(), int(ExtractDialog::StateDone));
        dialog.close();   // after the end: no abort
        QCOMPARE(dialog.state(), int(ExtractDialog::StateDone));
        delete job;
    }
};

QTEST_MAIN(TstP7Zip)
#include "tst_p7zip.moc"
