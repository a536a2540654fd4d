// One window per copy job, fed from the real job on the network thread: progress, the
// question for a name clash with its answers, a question already pending when a window
// opens, windows that go with their job, and the question about an item the destination
// refuses with the list of what was left out.

#include "testutil_catalogue.h"
#include "testutil_window.h"

#include "vfs/jobs/vfscopyjob.h"
#include "ui/jobwindow.h"
#include "ui/mainwindow.h"
#include "vfs/jobs/vfsmanager.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <sys/mount.h>

namespace {

bool write(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// This computer reaches its own files over its own link; copies wait until it is up.
bool localLinkUp(Program &p)
{
    IPeer *local = p.peerModel()->getPeerForUuid(nullUuidString());
    return local && local->linkState() == IPeer::LinkUp;
}

void click(QQuickWindow *window, const char *name)
{
    QVERIFY2(clickItem(window, name), name);
}

// A copy on this computer of one item into the folder `dstPath`.
VfsCopyDto localCopy(const QString &path, int type, quint64 size, const QString &dstPath)
{
    VfsCopyDto dto;
    dto.uuid = newUuidString();
    dto.srcPeerUuid = dto.dstPeerUuid = nullUuidString();
    dto.dstPath = dstPath;
    VfsCopyItem item;
    item.path = path;
    item.type = type;
    item.size = size;
    dto.items.push_back(item);
    return dto;
}

// Copies a.txt, b.txt and c.txt from src onto files of the same names in dst (both made in
// `dir`).
VfsCopyDto clashes(const QTemporaryDir &dir, QString *dstOut)
{
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    *dstOut = dst;
    if (!QDir().mkpath(src) || !QDir().mkpath(dst))
        return VfsCopyDto();
    VfsCopyDto dto;
    dto.uuid = newUuidString();
    dto.srcPeerUuid = dto.dstPeerUuid = nullUuidString();
    dto.dstPath = dst;
    for (const char *name : {"a.txt", "b.txt", "c.txt"}) {
        if (!write(src + "/" + name, QByteArray("new ") + name) || !write(dst + "/" + name, "old"))
            return VfsCopyDto();
        VfsCopyItem item;
        item.path = src + "/" + name;
        item.type = VfsCopyItem::FileType;
        item.size = quint64(QFileInfo(item.path).size());
        item.mtime = QFileInfo(item.path).lastModified().toMSecsSinceEpoch();
        dto.items.push_back(item);
    }
    return dto;
}

} // namespace

// What a move's window shows after its count of deleted sources changed, once its bindings
// have followed.
class DeleteCountWatcher : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        int deleted = 0;
        int total = 0;
        int jobState = 0;
        bool visible = false;
        QString progress;
        QString title;
        double percent = 0;
    };

    explicit DeleteCountWatcher(QQuickWindow *window) : m_window(window)
    {
        const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("changed()"));
        for (const char *name : {"sourcesToDelete", "sourcesDeleted", "jobState"}) {
            const int index = window->metaObject()->indexOfProperty(name);
                connected = index >= 0 && connect(window, window->metaObject()->property(index).notifySignal(), this, slot);
        }
    }

    bool connected = false;
    QList<Seen> seen;

public Q_SLOTS:
    void changed()
    {
        if (!m_pending)
            QTimer::singleShot(0, this, &DeleteCountWatcher::capture);
        m_pending = true;
    }

private:
    void capture()
    {
        m_pending = false;
        Seen s;
        s.deleted = m_window->property("sourcesDeleted").toInt();
        s.total = m_window->property("sourcesToDelete").toInt();
        s.jobState = m_window->property("jobState").toInt();
        s.visible = m_window->isVisible();
        s.progress = m_window->findChild<QQuickItem *>("copyProgress")->property("text").toString();
        s.title = m_window->title();
        s.percent = m_window->findChild<QQuickItem *>("jobView")->property("shownPercent").toReal();
        seen << s;
    }

    QQuickWindow *m_window;
    bool m_pending = false;
};

class TestJobWindows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        // A case that failed half-way leaves no window to the next.
        qDeleteAll(jobWindows());
    }

    void questionAndReplaceAll()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        QString dst;
        const VfsCopyDto dto = clashes(dir, &dst);
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(dto);
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        QVERIFY(!window->property("userPrompt").toString().isEmpty());
        QTRY_VERIFY(window->findChild<QQuickItem *>("question")->isVisible());
        // Titled with its question, not only with the program's name.
        QCOMPARE(window->title(), qtTrId("copy-q-title-replace"));

        // A window opened while the question is pending shows it at once.
        VfsCopyJob *raw = job.data();
        QMetaObject::invokeMethod(raw, [raw, &p] { p.window()->onVfsJobAdded(raw); }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(jobWindows().size(), 2);
        QQuickWindow *late = jobWindows().first() == window ? jobWindows().last() : jobWindows().first();
        QTRY_COMPARE(late->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion));
        QCOMPARE(late->property("userPrompt"), window->property("userPrompt"));

        // Replace all answers this clash and the two after it.
        click(window, "overWriteAllButton");
        // The job ends and deletes itself; its windows go with it, unanswered or not.
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            QCOMPARE(read(dst + "/" + name), QByteArray("new ") + name);
        QTRY_COMPARE(jobWindows().size(), 0);
    }

    // The clash question names both files with size and time and comes to the front each
    // time it is asked; "Skip all" leaves every clash of the job as it was.
    void clashQuestionInFrontAndSkipAll()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        QString dst;
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(clashes(dir, &dst));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        const QStringList prompt = window->property("userPrompt").toString().split('\n');
        QCOMPARE(prompt.size(), 4);
        QCOMPARE(prompt.at(1), QStringLiteral("c.txt"));   // the items are taken from the back
        QVERIFY2(prompt.at(2).startsWith("Existing: 3 byte"), qPrintable(prompt.at(2)));
        QVERIFY2(prompt.at(3).startsWith("Replacement: 9 byte"), qPrintable(prompt.at(3)));
        QVERIFY(window->findChild<QQuickItem *>("skipAllButton")->isVisible());
        QVERIFY(window->width() >= window->findChild<QQuickItem *>("jobView")->property("neededWidth").toReal());

        // The main window in front; the next question brings the job's window back.
        p.window()->activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), p.window()->windowHandle());
        click(window, "skipButton");
        QTRY_COMPARE(window->property("userPrompt").toString().split('\n').value(1), QStringLiteral("b.txt"));
        QTRY_COMPARE(QGuiApplication::focusWindow(), window);

        click(window, "skipAllButton");
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            QCOMPARE(read(dst + "/" + name), QByteArray("old"));
    }

    // Copies that run at once open their windows apart, each a step further down and to the
    // right, all of them on the screen: none hides another. A step a closed window left is
    // taken again.
    void windowsOfCopiesAtOnceAreCascaded()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dirs[3];
        VfsManager manager;
        QList<QPointer<VfsCopyJob>> jobs;
        QList<QQuickWindow *> windows;
        for (QTemporaryDir &dir : dirs) {
            QString dst;
            jobs << manager.copy(clashes(dir, &dst));
            QVERIFY(jobs.last());
            QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), jobs.size(), 10000);
            for (QQuickWindow *window : jobWindows())
                if (!windows.contains(window))
                    windows << window;
            QTRY_COMPARE_WITH_TIMEOUT(windows.last()->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
            QVERIFY(QTest::qWaitForWindowExposed(windows.last()));
        }
        const QRect screen = windows.first()->screen()->availableGeometry();
        for (int i = 0; i < windows.size(); ++i) {
            const QRect frame = windows[i]->frameGeometry();
            QVERIFY2(screen.contains(frame), qPrintable(QStringLiteral("window %1 at %2,%3").arg(i).arg(frame.x()).arg(frame.y())));
            if (i == 0)
                continue;
            const QPoint step = windows[i]->position() - windows[i - 1]->position();
            QVERIFY2(step.x() >= 16 && step.y() >= 16,
                     qPrintable(QStringLiteral("window %1 is %2,%3 from the one before").arg(i).arg(step.x()).arg(step.y())));
        }
        // The first one goes; the next copy's window takes its place.
        const QPoint first = windows.first()->position();
        click(windows.first(), "skipAllButton");
        QTRY_VERIFY_WITH_TIMEOUT(!jobs.first(), 10000);
        QTRY_COMPARE(jobWindows().size(), 2);
        QTemporaryDir more;
        QString dst;
        jobs << manager.copy(clashes(more, &dst));
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 3, 10000);
        QQuickWindow *next = nullptr;
        for (QQuickWindow *window : jobWindows())
            if (window != windows[1] && window != windows[2])
                next = window;
        QVERIFY(next);
        QTRY_COMPARE_WITH_TIMEOUT(next->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        QTRY_COMPARE(next->position(), first);
        for (QQuickWindow *window : jobWindows())
            click(window, "skipAllButton");
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 0, 10000);
    }

    // Title, text and bar tell one figure.
    void progressFromOneFigure()
    {
        Program p;
        QVERIFY(p.start());
        QQmlComponent component(p.window()->engine(), QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
        std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow *>(component.create()));
        QVERIFY(window);
        window->setProperty("bytesTotal", QStringLiteral("315 MB"));
        window->setProperty("jobState", int(VfsJob::VfsJobStateRunning));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->setProperty("percentDone", 64.6);
        QCOMPARE(window->title(), QStringLiteral("64 % done"));
        QCOMPARE(window->findChild<QQuickItem *>("copyProgress")->property("text").toString(),
                 QStringLiteral("64 % of 315 MB copied"));
        QQuickItem *bar = window->findChild<QQuickItem *>("progressBar");
        QQuickItem *handle = window->findChild<QQuickItem *>("progressHandle");
        QTRY_COMPARE(qRound(100 * (bar->width() + handle->x()) / bar->width()), 65);
    }

    // A move's window stays through the deletes of its sources and counts them in its text,
    // bar and title until the move has ended; the sources a move keeps are listed with why
    // until the window is closed.
    void moveWindowCountsTheDeletes()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        const QString tree = dir.filePath("tree");
        QVERIFY(QDir().mkpath(tree) && QDir().mkpath(dir.filePath("dst")));
        // The large file keeps the copy going until the window is watched.
        QVERIFY(write(tree + "/large.bin", QByteArray(32 * 1024 * 1024, 'l')));
        for (int i = 0; i < 500; ++i)
            QVERIFY(write(tree + QStringLiteral("/s%1").arg(i), QByteArray(100 + i, 's')));
        VfsManager manager;
        VfsCopyDto dto = localCopy(tree, VfsCopyItem::DirectoryType, 0, dir.filePath("dst"));
        dto.deleteSource = true;
        QPointer<VfsCopyJob> job = manager.copy(dto);
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        DeleteCountWatcher watcher(window);
        QVERIFY(watcher.connected);
        QTRY_VERIFY(window->property("moving").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!job, 20000);
        QTRY_COMPARE(jobWindows().size(), 0);
        QVERIFY(!QFileInfo::exists(tree));
        QCOMPARE(QDir(dir.filePath("dst/tree")).entryList(QDir::Files).size(), 501);

        // While it deletes the window says so, counting the 501 files as the copy did (their
        // folder goes too, uncounted); it is done after.
        int whileDeleting = 0;
        for (const DeleteCountWatcher::Seen &s : qAsConst(watcher.seen)) {
            QVERIFY(s.visible);
            if (s.total == 0)
                continue; // still copying
            QCOMPARE(s.total, 501);
            if (s.jobState != int(VfsJob::VfsJobStateRunning))
                continue;
            ++whileDeleting;
            QCOMPARE(s.progress, QStringLiteral("%1 of 501 original files deleted").arg(s.deleted));
            QCOMPARE(s.percent, 100.0 * s.deleted / 501);
            QCOMPARE(s.title, QStringLiteral("Deleting originals: %1 %").arg(int(s.percent)));
        }
        QVERIFY(whileDeleting > 0);
        QCOMPARE(watcher.seen.last().deleted, 501);
        QCOMPARE(watcher.seen.last().jobState, int(VfsJob::VfsJobStateFinished));

        // Sources on a read-only disk: copied, kept, and listed once the move has ended.
        const QString locked = dir.filePath("locked");
        QVERIFY(QDir().mkpath(locked));
        const QByteArray mountPoint = QFile::encodeName(locked);
        if (::mount("nusk-locked", mountPoint.constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("cannot mount a tmpfs here: the kept sources are not checked");
        auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
        for (const char *name : {"a.txt", "b.txt"})
            QVERIFY(write(locked + "/" + name, name));
        QCOMPARE(::mount("nusk-locked", mountPoint.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
        dto = localCopy(locked, VfsCopyItem::DirectoryType, 0, dir.filePath("dst"));
        dto.deleteSource = true;
        job = manager.copy(dto);
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateFinished), 10000);
        QTRY_VERIFY(window->findChild<QQuickItem *>("leftOutPanel")->isVisible());
        QCOMPARE(window->title(), qtTrId("copy-title-done-errors"));
        QCOMPARE(window->findChild<QQuickItem *>("leftOutHeading")->property("text").toString(),
                 QStringLiteral("2 items could not be moved:"));
        QStringList lines = window->property("leftOut").toString().split('\n');
        lines.sort();
        QCOMPARE(lines, QStringList({locked + "/a.txt \u2014 copied, but it could not be deleted at the source",
                                     locked + "/b.txt \u2014 copied, but it could not be deleted at the source"}));
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
        QCOMPARE(jobWindows().size(), 1);
        click(window, "closeButton");
        QTRY_COMPARE(jobWindows().size(), 0);
        QCOMPARE(read(locked + "/a.txt"), QByteArray("a.txt"));
    }

    // A question that comes while the window shows the running copy widens the window to
    // its buttons, in English and in German: every button shows its whole text inside the
    // window, and the window's own limits admit that width.
    void clashQuestionButtonsFit_data()
    {
        QTest::addColumn<QString>("catalogue");
        QTest::newRow("en") << QString();
        QTest::newRow("de") << QStringLiteral(":/i18n/nusk_de.qm");
    }

    void clashQuestionButtonsFit()
    {
        QFETCH(QString, catalogue);
        const testutil::ScopedCatalogue language(catalogue);
        QVERIFY(language.isValid());
        Program p;
        QVERIFY(p.start());
        QQmlComponent component(p.window()->engine(), QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
        std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow *>(component.create()));
        QVERIFY(window);
        window->setProperty("bytesTotal", QStringLiteral("210 MB"));
        window->setProperty("userActions", int(VfsJob::UserActionAbort));
        window->setProperty("jobState", int(VfsJob::VfsJobStateRunning));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));

        // As the job's reader sends a clash: the answers, the prompt, then the state. Each
        // time the window asks for a new size, its declared limits admit that size (a window
        // manager holds a window to them and would refuse it).
        auto withinLimits = [&window] {
            return window->minimumWidth() <= window->width() && window->width() <= window->maximumWidth()
                   && window->minimumHeight() <= window->height() && window->height() <= window->maximumHeight();
        };
        auto limits = [&window] {
            return QStringLiteral("%1x%2, limits %3x%4..%5x%6")
                .arg(window->width()).arg(window->height())
                .arg(window->minimumWidth()).arg(window->minimumHeight())
                .arg(window->maximumWidth()).arg(window->maximumHeight());
        };
        window->setProperty("userActions", int(VfsJob::UserActionAbort | VfsJob::UserActionSkip
                                               | VfsJob::UserActionOverwrite | VfsJob::UserActionSkipAll));
        QVERIFY2(withinLimits(), qPrintable(limits()));
        window->setProperty("userPrompt", QStringLiteral("%1\nreport.pdf\n%2\n%3")
                                              .arg(qtTrId("file-copy-q-overwrite"),
                                                   qtTrId("file-copy-q-existing").arg(QStringLiteral("4.2 MB")),
                                                   qtTrId("file-copy-q-replacement").arg(QStringLiteral("4.3 MB"))));
        QVERIFY2(withinLimits(), qPrintable(limits()));
        window->setProperty("jobState", int(VfsJob::VfsJobStateQuestion));
        QVERIFY2(withinLimits(), qPrintable(limits()));
        QTRY_VERIFY(window->findChild<QQuickItem *>("question")->isVisible());
        QVERIFY2(withinLimits(), qPrintable(limits()));
        for (const char *name : {"cancelButton", "skipButton", "skipAllButton", "overWriteAllButton", "overWriteButton"}) {
            auto *button = window->findChild<QQuickItem *>(QString::fromLatin1(name));
            QVERIFY2(button && button->isVisible(), name);
            QTRY_VERIFY2(button->implicitWidth() <= button->width() + 0.5, name);
            QTRY_VERIFY2(button->mapToScene(QPointF(0, 0)).x() >= 0, name);
            QTRY_VERIFY2(button->mapToScene(QPointF(button->width(), 0)).x() <= window->width() + 0.5, name);
        }
    }

    // In German one file of one byte reads "1 Byte" and "1 Datei" wherever the window shows
    // them: the total, both sizes of the clash question, the count before the copy starts.
    void germanSingularsOfTheRealJob()
    {
        QTranslator german;
        QVERIFY(german.load(QStringLiteral(":/i18n/nusk_de.qm")));
        QCoreApplication::installTranslator(&german);
        auto removeTranslator = qScopeGuard([&] { QCoreApplication::removeTranslator(&german); });
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("dst")));
        QVERIFY(write(dir.filePath("one"), "1") && write(dir.filePath("dst/one"), "x"));
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(localCopy(dir.filePath("one"), VfsCopyItem::FileType, 1, dir.filePath("dst")));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        QCOMPARE(window->property("bytesTotal").toString(), QStringLiteral("1 Byte"));
        const QStringList prompt = window->property("userPrompt").toString().split('\n');
        QVERIFY2(prompt.value(2).startsWith("Vorhanden: 1 Byte,"), qPrintable(prompt.value(2)));
        QVERIFY2(prompt.value(3).startsWith("Ersatz: 1 Byte,"), qPrintable(prompt.value(3)));
        QCOMPARE(window->property("totalFilesCount").toInt(), 1);
        // The text of the counting pass, from the figures the job sent.
        window->setProperty("jobState", int(VfsJob::VfsJobStateInit));
        QCOMPARE(window->findChild<QQuickItem *>("copyProgress")->property("text").toString(),
                 QStringLiteral("1 Byte in 1 Datei zu kopieren"));
        window->close();
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
    }

    // An item the destination refuses (a read-only mount) is asked about with Skip, Skip
    // all, Retry and Cancel; Skip goes on with the rest, and the finished job's window
    // lists what was left out until it is closed.
    void refusedItemSkippedAndListed()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        const QString src = dir.filePath("tree"), locked = dir.filePath("dst/tree/locked");
        QVERIFY(QDir().mkpath(src + "/locked") && QDir().mkpath(locked));
        QVERIFY(write(src + "/a.txt", "a") && write(src + "/locked/b.txt", "b"));
        const QByteArray mountPoint = QFile::encodeName(locked);
        if (::mount("nusk-locked", mountPoint.constData(), "tmpfs", MS_RDONLY, "size=1m") != 0)
            QSKIP("cannot mount a tmpfs here: the refused item is not checked");
        auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(localCopy(src, VfsCopyItem::DirectoryType, 0, dir.filePath("dst")));
        QVERIFY(job);
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        QVERIFY(window->property("userPrompt").toString().contains(locked));
        QCOMPARE(window->title(), qtTrId("copy-q-title-failure"));
        for (const char *name : {"cancelButton", "skipButton", "skipAllButton", "retryButton"})
            QTRY_VERIFY2(window->findChild<QQuickItem *>(name)->isVisible(), name);
        QVERIFY(!window->findChild<QQuickItem *>("overWriteButton")->isVisible());

        // Skip, and again for any later refusal, until it finishes.
        auto state = [window] { return window->property("jobState").toInt(); };
        for (int skips = 0; state() != int(VfsJob::VfsJobStateFinished) && skips < 5; ++skips) {
            QTRY_VERIFY_WITH_TIMEOUT(state() == int(VfsJob::VfsJobStateQuestion)
                                         || state() == int(VfsJob::VfsJobStateFinished), 10000);
            if (state() == int(VfsJob::VfsJobStateFinished))
                break;
            const QString asked = window->property("userPrompt").toString();
            click(window, "skipButton");
            QTRY_VERIFY(state() != int(VfsJob::VfsJobStateQuestion) || window->property("userPrompt").toString() != asked);
        }
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateFinished), 10000);
        QCOMPARE(read(dir.filePath("dst/tree/a.txt")), QByteArray("a"));
        QVERIFY(window->property("leftOut").toString().contains(src + "/locked/b.txt"));
        QTRY_VERIFY(window->findChild<QQuickItem *>("leftOutPanel")->isVisible());
        QCOMPARE(window->title(), qtTrId("copy-title-done-errors"));

        // The window outlives its job until it is closed.
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
        QTest::qWait(100);
        QCOMPARE(jobWindows().size(), 1);
        click(window, "closeButton");
        QTRY_COMPARE(jobWindows().size(), 0);
    }

    // A copy that failed (its source vanished) keeps its window until it is seen: titled as
    // a failure, naming why and the item, closed by its Close button or by Escape; the job
    // goes with it.
    void failedCopyNamedAndClosable()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("dst")));
        VfsManager manager;
        for (const bool byEscape : {false, true}) {
            const QString gone = dir.filePath(byEscape ? "vanished" : "gone.txt");
            QPointer<VfsCopyJob> job = manager.copy(localCopy(gone, VfsCopyItem::FileType, 5, dir.filePath("dst")));
            QVERIFY(job);
            QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
            QQuickWindow *window = jobWindows().first();
            QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateAborted), 10000);
            QTRY_COMPARE(window->title(), QStringLiteral("Copy failed"));
            auto *message = window->findChild<QQuickItem *>("errorMessage");
            QTRY_VERIFY(message->isVisible());
            QCOMPARE(message->property("text").toString(), QStringLiteral("The source no longer exists.\n") + gone);
            if (byEscape) {
                window->requestActivate();
                QTRY_COMPARE(QGuiApplication::focusWindow(), window);
                QTest::keyClick(window, Qt::Key_Escape);
            } else {
                click(window, "abortedCloseButton");
            }
            QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
            QTRY_COMPARE(jobWindows().size(), 0);
        }
    }

    // A job that ends with a word and no item listed (a move whose destination did not
    // confirm its disk keeps every source; a source kept changing): the window stays with
    // that word until it is closed, titled as a job that finished with errors. A job that
    // ends without one goes.
    void finishedWithOnlyANoteStays()
    {
        Program p;
        QVERIFY(p.start());
        const QString note = QStringLiteral("The destination did not confirm in time that the copy is on its disk; "
                                            "the sources were kept.");
        for (const bool withNote : {true, false}) {
            QPointer<JobWindow> jobWindow = new JobWindow(p.window()->engine());
            jobWindow->build();
            QPointer<QQuickWindow> window = jobWindow->window();
            QVERIFY(window);
            jobWindow->setValue(QStringLiteral("moving"), true);
            jobWindow->setValue(QStringLiteral("jobState"), int(VfsJob::VfsJobStateRunning));
            jobWindow->setValue(QStringLiteral("userPrompt"), withNote ? note : QString());
            jobWindow->setValue(QStringLiteral("jobState"), int(VfsJob::VfsJobStateFinished));
            jobWindow->onJobGone();
            // A window that goes, goes now.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (!withNote) {
                QVERIFY(!jobWindow);
                continue;
            }
            QVERIFY2(jobWindow && window, "the window went with its note unseen");
            auto *shown = window->findChild<QQuickItem *>("finishNote");
            QVERIFY(shown);
            QTRY_VERIFY(shown->isVisible());
            QCOMPARE(shown->property("text").toString(), note);
            QVERIFY(!window->findChild<QQuickItem *>("leftOutHeading")->isVisible());
            QCOMPARE(window->title(), qtTrId("copy-title-done-errors"));
            QVERIFY(window->isVisible());
            click(window, "closeButton");
            QTRY_VERIFY(!jobWindow);
        }
    }

    // Closing a running job's window cancels that job, and only that one.
    void closingCancels()
    {
        Program p;
        QVERIFY(p.start());
        QTRY_VERIFY_WITH_TIMEOUT(localLinkUp(p), 10000);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("dst")));
        QVERIFY(write(dir.filePath("big"), QByteArray(8 * 1024 * 1024, 'x')));
        QVERIFY(write(dir.filePath("dst/big"), "old"));
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(localCopy(dir.filePath("big"), VfsCopyItem::FileType, 8 * 1024 * 1024,
                                                          dir.filePath("dst")));
        QTRY_COMPARE_WITH_TIMEOUT(jobWindows().size(), 1, 10000);
        QQuickWindow *window = jobWindows().first();
        QTRY_COMPARE_WITH_TIMEOUT(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion), 10000);
        window->close();
        QTRY_VERIFY_WITH_TIMEOUT(!job, 10000);
        QTRY_COMPARE(jobWindows().size(), 0);
        QCOMPARE(read(dir.filePath("dst/big")), QByteArray("old"));
    }
};

NUSK_WINDOW_TEST_MAIN(TestJobWindows)
#include "tst_jobwindows.moc"
