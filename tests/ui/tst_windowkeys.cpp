// Keys a person presses in the main window and in a copy job's window, under the window
// manager the screen scenes use (openbox) on a private X server: keys that cannot do what
// they stand for say why in the status line, Escape answers a question as Cancel does, a
// double-click on a computer's page stays there, and copy to and move to closed without going
// on leave the clipboard as the person had left it. The keys are real X key events sent to the
// window that has the focus, the clicks a real mouse's. The test starts the X server and runs
// itself again on it; a second computer is a real nusk-peerhost.

#include "othercomputer.h"
#include "testutil_window.h"
#include "app/startup/testutil_xserver.h"

#include "filer/filer.h"
#include "filer/filerpane.h"
#include "filer/fileractions.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QQuickItem>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace peerhosttest;

namespace {

constexpr quint32 kF5 = 0xffc2;
constexpr quint32 kF6 = 0xffc3;

// Counts the mouse releases that reach `target`, before any filter of its own can drop them.
struct ReleaseCount : QObject
{
    explicit ReleaseCount(QObject *target) : m_target(target) { qApp->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_target && event->type() == QEvent::MouseButtonRelease)
            ++count;
        return false;
    }
    QObject *m_target;
    int count = 0;
};

// The visible item below `item` that shows `text`.
QQuickItem *shownText(QQuickItem *item, const QString &text)
{
    if (!item || !item->isVisible())
        return nullptr;
    if (item->property("text").toString() == text)
        return item;
    for (QQuickItem *child : item->childItems())
        if (QQuickItem *found = shownText(child, text))
            return found;
    return nullptr;
}

// What the person put on the clipboard before F5 or F6, and how the question ends.
enum class Before { Copied, Cut, Nothing };
enum class Ending { Escape, CloseButton, Refused };

} // namespace

Q_DECLARE_METATYPE(Before)
Q_DECLARE_METATYPE(Ending)

class TestWindowKeys : public QObject
{
    Q_OBJECT

private:
    XServer m_x{qEnvironmentVariable("DISPLAY")};
    OtherComputer m_other;
    QTemporaryDir m_files;
    std::unique_ptr<Program> m_program;
    IPeer *m_remote = nullptr;
    QString m_album;   // the other computer's folder, shared read only

    QString file(const QString &name) const { return m_files.filePath(name); }

    // The right pane active on `path` of `peer` with `name` current and selected, its view
    // holding the keyboard in the active window.
    Filer *selectIn(IPeer *peer, const QString &path, const QString &name)
    {
        MainWindow *w = m_program->window();
        w->showAlternateFilerPane();
        Filer *filer = qobject_cast<FilerPane *>(w->panes().back())->currentFiler();
        filer->setPeer(peer);
        if (!showPath(filer, path, [&] { return filer->sortModel()->rowCount(filer->currentView()->rootIndex()) > 0; },
                      testutil::timeoutMs(30000)))
            return nullptr;
        filer->setCurrentIndexToPath(path + QLatin1Char('/') + name);
        w->activateWindow();
        filer->currentView()->setFocus();
        const bool ready = QTest::qWaitFor([&] {
            return w->isActiveWindow() && filer->currentView()->hasFocus() && !m_x.focusedTitle().isEmpty()
                   && filer->currentView()->selectionModel()->hasSelection();
        }, testutil::timeoutMs(10000));
        if (!ready)
            qWarning("no keyboard focus in the pane's view (active %d, focus %d, title \"%s\", selection %d)",
                     int(w->isActiveWindow()), int(filer->currentView()->hasFocus()), m_x.focusedTitle().constData(),
                     int(filer->currentView()->selectionModel()->hasSelection()));
        return ready ? filer : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_other.start());
        const QString album = file(QStringLiteral("Album"));
        QVERIFY(files::writeFile(album + QStringLiteral("/garden.png"), QByteArray("\x89PNG\r\n\x1a\n", 8)));
        m_program.reset(new Program);
        QVERIFY(m_program->start());
        m_remote = m_other.pair(*m_program);
        QVERIFY(m_remote);
        m_album = m_other.share(album, 5);
        QVERIFY(!m_album.isEmpty());
    }

    void cleanupTestCase()
    {
        m_program.reset();
    }

    // F5 and F6 put the selection on the clipboard only to take it where the person says:
    // a question they close (Escape, its window's close button) or one that is refused
    // leaves the clipboard as Ctrl+C or Ctrl+X had left it, or empty, with its marks; Ctrl+V
    // in the other pane then brings what the person had put there, or nothing.
    void closedCopyToLeavesTheClipboard_data()
    {
        QTest::addColumn<Before>("before");
        QTest::addColumn<quint32>("key");
        QTest::addColumn<Ending>("ending");
        QTest::newRow("copied, F5, Escape") << Before::Copied << kF5 << Ending::Escape;
        QTest::newRow("copied, F6, Escape") << Before::Copied << kF6 << Ending::Escape;
        QTest::newRow("cut, F5, Escape") << Before::Cut << kF5 << Ending::Escape;
        QTest::newRow("cut, F6, close button") << Before::Cut << kF6 << Ending::CloseButton;
        QTest::newRow("copied, F5, close button") << Before::Copied << kF5 << Ending::CloseButton;
        QTest::newRow("nothing, F5, Escape") << Before::Nothing << kF5 << Ending::Escape;
        QTest::newRow("nothing, F6, close button") << Before::Nothing << kF6 << Ending::CloseButton;
        QTest::newRow("copied, F6 refused") << Before::Copied << kF6 << Ending::Refused;
        QTest::newRow("cut, F5 refused") << Before::Cut << kF5 << Ending::Refused;
    }

    void closedCopyToLeavesTheClipboard()
    {
        QFETCH(Before, before);
        QFETCH(quint32, key);
        QFETCH(Ending, ending);
        const QString dir = file(QStringLiteral("clip%1").arg(QTest::currentDataTag()).remove(QLatin1Char(',')));
        const QString src = dir + QStringLiteral("/src"), dst = dir + QStringLiteral("/dst");
        QVERIFY(QDir().mkpath(dst));
        QVERIFY(files::writeFile(src + QStringLiteral("/a.txt"), "a") && files::writeFile(src + QStringLiteral("/b.txt"), "b"));
        MainWindow *w = m_program->window();
        IPeer *local = m_program->peerModel()->getPeerForUuid(kLocal);
        Filer *target = qobject_cast<FilerPane *>(w->panes().front())->currentFiler();
        target->setPeer(local);
        QVERIFY(showPath(target, dst, {}, testutil::timeoutMs(10000)));
        auto *model = qobject_cast<VfsModel *>(local->vfsFileSystemModel());
        auto marked = [&](const char *name) {
            return bool(model->indexForPath(src + QLatin1Char('/') + QLatin1String(name)).data(VfsModel::FlagsRole).toInt()
                        & VfsModel::CopyMarkFlag);
        };
        QAction *paste = FilerActions::action(QStringLiteral("filer.paste"));

        // a.txt copied or cut; or, for nothing, the copy key refused on no selection.
        Filer *source = selectIn(local, src, QStringLiteral("a.txt"));
        QVERIFY(source);
        if (before == Before::Nothing) {
            source->currentView()->selectionModel()->clearSelection();
            QTRY_VERIFY(!FilerActions::action(QStringLiteral("filer.copy"))->isEnabled());
            source->showStatusMessage(QString(), 0);   // the refusal is this one's
        }
        QVERIFY(m_x.key(before == Before::Cut ? 'x' : 'c', xkeys::Control));
        if (before == Before::Nothing)
            QTRY_COMPARE(source->statusText(), qtTrId("copy-refused-nothing"));
        else
            QTRY_VERIFY(marked("a.txt"));
        QCOMPARE(paste->isEnabled(), before != Before::Nothing);

        // F5 or F6 on b.txt, or on what it refuses: a file only readable here, or nothing.
        // The question runs its own event loop: it is answered from there, by keys.
        const QByteArray title = qtTrId(key == kF6 ? "title-move-to" : "title-copy-to").toUtf8();
        bool asked = false, answered = false;
        auto opened = connect(w, &MainWindow::copyToDialogOpened, this, [&](QDialog *dialog) {
            asked = true;
            QTimer::singleShot(0, dialog, [&, dialog] {
                QPointer<QDialog> open(dialog);
                if (QTest::qWaitFor([&] { return m_x.focusedTitle() == title; }, testutil::timeoutMs(10000))) {
                    if (ending == Ending::Escape)
                        answered = m_x.key(xkeys::Escape);
                    else
                        answered = QTest::qWaitFor([&] { return m_x.closeWindows(title) == 1; }, testutil::timeoutMs(10000));
                }
                // One the keys leave open is closed here: the test goes on, and fails.
                if (!answered || !QTest::qWaitFor([&] { return !open || !open->isVisible(); }, testutil::timeoutMs(10000))) {
                    qWarning("the question stayed open (asked to close: %d)", int(answered));
                    answered = false;
                    if (open)
                        open->reject();
                }
            });
        });
        if (ending == Ending::Refused && key == kF6) {
            QVERIFY(selectIn(m_remote, m_album, QStringLiteral("garden.png")));
        } else {
            source->setCurrentIndexToPath(src + QStringLiteral("/b.txt"));
            if (ending == Ending::Refused)
                source->currentView()->selectionModel()->clearSelection();
        }
        w->activeFiler()->showStatusMessage(QString(), 0);   // a refusal is this key's
        QVERIFY(m_x.key(key));
        if (ending == Ending::Refused) {
            const char *why = key == kF6 ? "move-refused-write" : "copy-refused-nothing";
            QTRY_COMPARE(w->activeFiler()->statusText(), qtTrId(why));
        } else {
            QTRY_VERIFY(asked);
        }
        disconnect(opened);
        QCOMPARE(answered, ending != Ending::Refused);
        QCOMPARE(asked, ending != Ending::Refused);
        QCOMPARE(marked("a.txt"), before != Before::Nothing);
        QVERIFY(!marked("b.txt"));
        QCOMPARE(paste->isEnabled(), before != Before::Nothing);

        // Ctrl+V in the other pane, once the window manager gave the window its focus back
        // from the question: a key before that goes to no window.
        QSignalSpy jobs(VfsJobModel::instance(), &VfsJobModel::jobAdded);
        QTRY_VERIFY(w->isActiveWindow() && w->activeFiler() == source && source->currentView()->hasFocus());
        QVERIFY(m_x.key(xkeys::Tab));
        QTRY_VERIFY(w->activeFiler() == target && target->currentView()->hasFocus());
        QVERIFY(m_x.key('v', xkeys::Control));
        if (before == Before::Nothing) {
            // Tab once more: once it is done, so is Ctrl+V before it.
            QVERIFY(m_x.key(xkeys::Tab));
            QTRY_VERIFY(w->activeFiler() != target);
            QCOMPARE(jobs.count(), 0);
        } else {
            QTRY_COMPARE(files::readFile(dst + QStringLiteral("/a.txt")), QByteArray("a"));
            QTRY_COMPARE(QFile::exists(src + QStringLiteral("/a.txt")), before == Before::Copied);
            QCOMPARE(jobs.count(), 1);
        }
        QVERIFY(!QFile::exists(dst + QStringLiteral("/b.txt")));
        QVERIFY(QFile::exists(src + QStringLiteral("/b.txt")));
        QTRY_VERIFY(VfsJobModel::instance()->rowCount() == 0);
        qDeleteAll(jobWindows());
    }

    // F6 on an item this computer may only read: the status line says why nothing moves,
    // as the cut key does, in the words of a move.
    void moveToOnAReadOnlyItemSaysWhy()
    {
        Filer *filer = selectIn(m_remote, m_album, QStringLiteral("garden.png"));
        QVERIFY(filer);
        bool asked = false;
        connect(m_program->window(), &MainWindow::copyToDialogOpened, this, [&](QDialog *dialog) {
            asked = true;
            QTimer::singleShot(0, dialog, &QDialog::reject);
        });
        QVERIFY(m_x.key(kF6));
        QTRY_COMPARE(filer->statusText(), qtTrId("move-refused-write"));
        QVERIFY(!asked);
        disconnect(m_program->window(), &MainWindow::copyToDialogOpened, this, nullptr);
    }

    // Space on a picture of the other computer: no preview is made, and the status line says
    // that previews are made of this computer's files only.
    void previewOfAnotherComputersPictureSaysWhy()
    {
        Filer *filer = selectIn(m_remote, m_album, QStringLiteral("garden.png"));
        QVERIFY(filer);
        filer->showStatusMessage(QString(), 0);
        QVERIFY(!FilerActions::action(QStringLiteral("filer.preview"))->isEnabled());
        QVERIFY(m_x.key(' '));
        QTRY_COMPARE(filer->statusText(), qtTrId("filer-msg-preview-local-only"));
    }

    // A double-click on a tile of the other computer's shared items opens the share, and that
    // is all: its second click does not land on the list that comes up under the pointer
    // (no row is selected, none opened). The clicks are a real mouse's.
    void doubleClickOnASharedItemOpensItOnly()
    {
        const QString rows = file(QStringLiteral("Rows"));
        for (int i = 0; i < 40; ++i)
            QVERIFY(QDir().mkpath(rows + QStringLiteral("/folder %1").arg(i, 2, 10, QLatin1Char('0'))));
        const QString shared = m_other.share(rows, 5);
        QVERIFY(!shared.isEmpty());
        MainWindow *w = m_program->window();
        w->showAlternateFilerPane();
        Filer *filer = qobject_cast<FilerPane *>(w->panes().back())->currentFiler();
        filer->setPeer(m_remote);
        // Known to the program once it has shown it.
        QVERIFY(showPath(filer, shared, [&] { return filer->sortModel()->rowCount(filer->currentView()->rootIndex()) == 40; },
                         testutil::timeoutMs(30000)));
        filer->showPeerView();
        QQuickWidget *page = nullptr;
        for (QQuickWidget *candidate : filer->findChildren<QQuickWidget *>())
            if (candidate->source().toString().endsWith(QLatin1String("PeerView.qml")))
                page = candidate;
        QVERIFY(page && page->rootObject());
        QMetaObject::invokeMethod(page->rootObject(), "showPeerShares");
        QQuickItem *tile = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((tile = shownText(page->rootObject(), QStringLiteral("Rows"))), 10000);
        const QPoint at = page->mapToGlobal(tile->mapToScene(QPointF(tile->width() / 2, tile->height() / 2)).toPoint());
        w->activateWindow();
        QTRY_VERIFY(w->isActiveWindow());

        // The second click comes once the list shows, well within the double-click time.
        const int interval = QApplication::doubleClickInterval();
        QApplication::setDoubleClickInterval(testutil::timeoutMs(3000));
        auto restore = qScopeGuard([interval] { QApplication::setDoubleClickInterval(interval); });
        QVERIFY(m_x.click(at));
        QTRY_VERIFY(filer->currentPage() == Filer::FilesPage && filer->path() == shared);
        QWidget *viewport = filer->currentView()->viewport();
        QTRY_VERIFY(filer->currentView()->indexAt(viewport->mapFromGlobal(at)).isValid());
        ReleaseCount releases(viewport);
        QVERIFY(m_x.click(at));
        QTRY_COMPARE(releases.count, 1);   // the whole second click has come
        QCOMPARE(filer->path(), shared);
        QVERIFY(!filer->currentView()->selectionModel()->hasSelection());

        // A click of its own, on the next row, selects as ever.
        const QPoint next = at + QPoint(0, filer->currentView()->visualRect(filer->currentView()->indexAt(viewport->mapFromGlobal(at))).height());
        QVERIFY(m_x.click(next));
        QTRY_VERIFY(filer->currentView()->selectionModel()->hasSelection());
    }

    // Escape in the question whether to replace a file ends the copy as its Cancel does;
    // the file there stays as it was.
    void escapeAnswersTheReplaceQuestionWithCancel()
    {
        QVERIFY(QDir().mkpath(file(QStringLiteral("src"))) && QDir().mkpath(file(QStringLiteral("dst"))));
        QVERIFY(files::writeFile(file(QStringLiteral("src/a.txt")), "new"));
        QVERIFY(files::writeFile(file(QStringLiteral("dst/a.txt")), "old"));
        VfsCopyDto dto;
        dto.uuid = newUuidString();
        dto.srcPeerUuid = dto.dstPeerUuid = kLocal;
        dto.dstPath = file(QStringLiteral("dst"));
        VfsCopyItem item;
        item.path = file(QStringLiteral("src/a.txt"));
        item.type = VfsCopyItem::FileType;
        item.size = 3;
        dto.items.push_back(item);
        VfsManager manager;
        QPointer<VfsCopyJob> job = manager.copy(dto);
        QVERIFY(job);
        QTRY_COMPARE(jobWindows().size(), 1);
        QPointer<QQuickWindow> window = jobWindows().first();
        QTRY_COMPARE(window->property("jobState").toInt(), int(VfsJob::VfsJobStateQuestion));
        window->requestActivate();
        QTRY_COMPARE(m_x.focusedTitle(), qtTrId("copy-q-title-replace").toUtf8());
        QVERIFY(m_x.key(xkeys::Escape));
        QTRY_VERIFY(!job);
        QCOMPARE(files::readFile(file(QStringLiteral("dst/a.txt"))), QByteArray("old"));
    }
};

int main(int argc, char **argv)
{
    return runOnXvfb(argc, argv, [](int &argc, char **argv) {
        WindowTestApp app(argc, argv);
        TestWindowKeys test;
        return app.exec(&test);
    });
}

#include "tst_windowkeys.moc"
