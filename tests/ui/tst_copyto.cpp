// Copy to and move to the other pane (F5, F6) when that pane shows a share of a second
// computer (a real nusk-peerhost): the destination is offered as the panes name it, what a
// person types is read the same way, a folder that is not there or may not be written is
// refused in the dialog, and a copy given a destination that computer cannot read fails at
// once instead of waiting to try again for ever. A share or a path that computer does not have
// is refused by what it says, not when the look-up runs out of time.

#include "othercomputer.h"
#include "testutil_window.h"

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
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace peerhosttest;

namespace {

QAction *shared(const char *id)
{
    return FilerActions::action(QString::fromLatin1(id));
}

QLineEdit *fieldOf(QDialog *dialog)
{
    return dialog->findChild<QLineEdit *>();
}

// What the dialog says under its field.
QString messageOf(QDialog *dialog)
{
    auto *label = dialog->findChild<QLabel *>(QStringLiteral("destinationMessage"));
    return label ? label->text() : QString();
}

// Types `text` into the dialog's field over what is there, as a person does, and presses
// Return.
void typeAndEnter(QDialog *dialog, const QString &text)
{
    QLineEdit *field = fieldOf(dialog);
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

} // namespace

class TestCopyTo : public QObject
{
    Q_OBJECT

private:
    OtherComputer m_other;
    QTemporaryDir m_files;
    std::unique_ptr<Program> m_program;
    IPeer *m_remote = nullptr;
    QString m_drop;      // the other computer's folder shared read and write, as "Drop"
    QString m_dropPath;  // its path here ("%shares/{…}")

    QString file(const QString &name) const { return m_files.filePath(name); }

    Filer *pane(bool first) const
    {
        const std::vector<QWidget *> panes = m_program->window()->panes();
        return qobject_cast<FilerPane *>(first ? panes.front() : panes.back())->currentFiler();
    }
    Filer *left() const { return pane(true); }
    Filer *right() const { return pane(false); }

    // `filer` on `path` of `peer`, listed.
    static bool showFolder(Filer *filer, IPeer *peer, const QString &path)
    {
        if (filer->peer() != peer)
            filer->setPeer(peer);
        return ::showPath(filer, path, {}, testutil::timeoutMs(30000));
    }

    // The right pane active on a local folder with `name` selected in it.
    bool selectLocal(const QString &name)
    {
        MainWindow *w = m_program->window();
        w->showAlternateFilerPane();
        Filer *source = right();
        IPeer *local = m_program->peerModel()->getPeerForUuid(kLocal);
        if (!showFolder(source, local, file(QStringLiteral("src"))))
            return false;
        if (!QTest::qWaitFor([&] { return source->sortModel()->rowCount(source->currentView()->rootIndex()) >= 1; }, testutil::timeoutMs(10000)))
            return false;
        source->setCurrentIndexToPath(file(QStringLiteral("src/") + name));
        return QTest::qWaitFor([] { return shared("filer.copy")->isEnabled(); }, testutil::timeoutMs(10000)) && w->activeFiler() == source;
    }

    // F5 with `script` run on the dialog while it is open; the dialog is closed afterwards
    // whatever the script did.
    void copyTo(const std::function<void(QDialog *)> &script)
    {
        MainWindow *w = m_program->window();
        bool opened = false;
        auto connection = connect(w, &MainWindow::copyToDialogOpened, this, [&](QDialog *dialog) {
            opened = true;
            QTimer::singleShot(0, dialog, [dialog, script] {
                QVERIFY(QTest::qWaitForWindowExposed(dialog));
                script(dialog);
                if (dialog->isVisible())
                    dialog->reject();
            });
        });
        shared("filer.copy-to")->trigger();
        disconnect(connection);
        QVERIFY(opened);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_other.start());
        m_drop = file(QStringLiteral("Drop"));
        for (const char *dir : {"Drop/many/deeper", "Archive", "src", "first", "second"})
            QVERIFY(QDir().mkpath(file(QString::fromLatin1(dir))));
        QVERIFY(files::writeFile(file(QStringLiteral("Drop/readme.txt")), "read me"));
        QVERIFY(files::writeFile(file(QStringLiteral("src/note.txt")), "hello"));
    }

    void init()
    {
        m_program.reset(new Program);
        QVERIFY(m_program->start());
        m_remote = m_other.pair(*m_program);
        QVERIFY(m_remote);
        if (m_dropPath.isEmpty()) {
            m_dropPath = m_other.share(m_drop, 7);
            QVERIFY(!m_other.share(file(QStringLiteral("Archive")), 5).isEmpty());   // read only
            QVERIFY(!m_dropPath.isEmpty());
        }
    }

    void cleanup()
    {
        qDeleteAll(jobWindows());
        m_program.reset();
    }


    // The other pane in a folder of a share: the field offers it by the share's name, and
    // the copy goes there; then to the share itself typed by its name, and to a folder below
    // it typed in the internal form.
    void destinationNamedAsThePanesNameIt()
    {
        QVERIFY(showFolder(left(), m_remote, m_dropPath + QStringLiteral("/many")));
        QVERIFY(selectLocal(QStringLiteral("note.txt")));
        QString offered;
        copyTo([&](QDialog *dialog) {
            offered = fieldOf(dialog)->text();
            QTest::keyClick(fieldOf(dialog), Qt::Key_Return);
            QTRY_VERIFY(!dialog->isVisible());
        });
        QCOMPARE(offered, QStringLiteral("Shares/Drop/many"));
        QTRY_VERIFY(QFile::exists(m_drop + QStringLiteral("/many/note.txt")));

        for (const QString &typed : {QStringLiteral("Shares/Drop"), m_dropPath + QStringLiteral("/many/deeper")}) {
            QVERIFY(selectLocal(QStringLiteral("note.txt")));
            copyTo([&](QDialog *dialog) {
                typeAndEnter(dialog, typed);
                QTRY_VERIFY2(!dialog->isVisible(), qPrintable(messageOf(dialog)));
            });
        }
        QTRY_VERIFY(QFile::exists(m_drop + QStringLiteral("/note.txt")));
        QTRY_VERIFY(QFile::exists(m_drop + QStringLiteral("/many/deeper/note.txt")));
    }

    // What cannot take the copy is refused while the dialog is open, naming the folder as
    // typed and the computer: a folder that is not there (as the share's name and as a path
    // of that computer), a file, a share this computer may only read, the shares themselves.
    // Nothing starts. A folder of this computer that no pane has listed yet is found, and
    // takes the copy.
    void refusedInTheDialog()
    {
        QVERIFY(showFolder(left(), m_remote, m_dropPath));
        QVERIFY(selectLocal(QStringLiteral("note.txt")));
        const QString on = m_remote->displayName();
        const QList<QPair<QString, QString>> cases = {
            {QStringLiteral("Shares/Drop/nothere"), qtTrId("copyto-refused-missing").arg(QStringLiteral("Shares/Drop/nothere"), on)},
            {QStringLiteral("/nothere/at/all"), qtTrId("copyto-refused-missing").arg(QStringLiteral("/nothere/at/all"), on)},
            {QStringLiteral("Shares/Drop/readme.txt"), qtTrId("copyto-refused-not-folder").arg(QStringLiteral("Shares/Drop/readme.txt"), on)},
            {QStringLiteral("Shares/Archive"), qtTrId("copyto-refused-read-only").arg(QStringLiteral("Shares/Archive"), on)},
            {QStringLiteral("Shares"), qtTrId("copyto-refused-read-only").arg(QStringLiteral("Shares"), on)},
        };
        // Where the copies that start go, in the order they start; told on the jobs' thread,
        // and shared with it past this test's end.
        struct Started
        {
            QMutex mutex;
            QStringList destinations;
        };
        auto started = std::make_shared<Started>();
        VfsJobModel *jobs = VfsJobModel::instance();
        QVERIFY(jobs);
        const auto listening = connect(
            jobs, &VfsJobModel::jobAdded, jobs,
            [started](VfsJob *job) {
                if (auto *copy = qobject_cast<VfsCopyJob *>(job)) {
                    QMutexLocker lock(&started->mutex);
                    started->destinations << copy->request().dstPath;
                }
            },
            Qt::DirectConnection);
        const auto stopListening = qScopeGuard([listening] { disconnect(listening); });
        QStringList said;
        copyTo([&](QDialog *dialog) {
            auto *ok = dialog->findChildren<QPushButton *>().value(0);
            for (const auto &c : cases) {
                typeAndEnter(dialog, c.first);
                QTRY_VERIFY(!messageOf(dialog).isEmpty() && messageOf(dialog) != qtTrId("copyto-looking").arg(c.first, on));
                said << messageOf(dialog);
                QVERIFY(dialog->isVisible());
                QVERIFY(ok && ok->isEnabled());
            }
        });
        QStringList expected;
        for (const auto &c : cases)
            expected << c.second;
        QCOMPARE(said, expected);

        // This computer in the other pane; a folder of it typed that nothing has listed.
        IPeer *local = m_program->peerModel()->getPeerForUuid(kLocal);
        QVERIFY(showFolder(left(), local, file(QStringLiteral("first"))));
        QVERIFY(selectLocal(QStringLiteral("note.txt")));
        copyTo([&](QDialog *dialog) {
            QCOMPARE(fieldOf(dialog)->text(), file(QStringLiteral("first")));
            typeAndEnter(dialog, file(QStringLiteral("second")));
            QTRY_VERIFY2(!dialog->isVisible(), qPrintable(messageOf(dialog)));
        });
        QTRY_VERIFY(QFile::exists(file(QStringLiteral("second/note.txt"))));
        // A job is listed before it starts, and in the order the dialogs were closed: the copy
        // that went is the first to start, so nothing started for what was refused.
        QMutexLocker lock(&started->mutex);
        QCOMPARE(started->destinations, QStringList{file(QStringLiteral("second"))});
        QVERIFY(!QFile::exists(m_drop + QStringLiteral("/nothere")));
    }

    // What that computer has already said answers the question, not the time the lookup
    // may take: a share it does not have, once it has listed its shares again, and a path
    // outside its shares, once it has said which drives it shares (none). Its model's clock
    // stands still here, so an answer that came from running out of time would never come.
    void answeredByWhatThatComputerSaid()
    {
        QVERIFY(showFolder(left(), m_remote, m_dropPath));
        qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel())->setClock([now = QDateTime::currentMSecsSinceEpoch()] { return now; });
        QVERIFY(selectLocal(QStringLiteral("note.txt")));
        const QString on = m_remote->displayName();
        const QStringList typed = {QStringLiteral("Shares/Nothere/x"), QStringLiteral("/home/someone/Music"),
                                   QStringLiteral("Shares/Nothere")};
        QStringList said, expected;
        copyTo([&](QDialog *dialog) {
            for (const QString &path : typed) {
                typeAndEnter(dialog, path);
                QTRY_VERIFY(!messageOf(dialog).isEmpty() && messageOf(dialog) != qtTrId("copyto-looking").arg(path, on));
                said << messageOf(dialog);
                expected << qtTrId("copyto-refused-missing").arg(path, on);
            }
        });
        QCOMPARE(said, expected);
    }

    // A destination that computer cannot take as a path (what the dialog once passed on as
    // typed): the copy fails at once and names it, it never pauses to try again.
    void unreadableDestinationFailsTheJob()
    {
        VfsManager manager;
        manager.setRetryDelay(100);   // a retry, were there one, would show at once
        VfsCopyDto dto;
        dto.uuid = newUuidString();
        dto.srcPeerUuid = kLocal;
        dto.dstPeerUuid = m_remote->uuid();
        dto.dstPath = QStringLiteral("Shares/Drop/many");
        VfsCopyItem item;
        item.path = file(QStringLiteral("src/note.txt"));
        item.type = VfsCopyItem::FileType;
        item.size = 5;
        dto.items.push_back(item);
        // An earlier test's window may still be closing: this job's is the one that is new.
        const QList<QQuickWindow *> before = jobWindows();
        QPointer<VfsCopyJob> job = manager.copy(dto);
        QVERIFY(job);
        QPointer<QQuickWindow> window;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (QQuickWindow *w : jobWindows())
                                         if (!before.contains(w))
                                             window = w;
                                     return !window.isNull();
                                 }()),
                                 testutil::timeoutMs(10000));
        // Tried again every 100 ms, it would never end.
        QTRY_COMPARE(window ? window->property("jobState").toInt() : -1, int(VfsJob::VfsJobStateAborted));
        auto *error = window->findChild<QQuickItem *>(QStringLiteral("errorMessage"));
        QVERIFY(error && error->isVisible());
        QVERIFY2(error->property("text").toString().startsWith(qtTrId("copy-error-dst-missing") + QLatin1Char('\n')),
                 qPrintable(error->property("text").toString()));
        QVERIFY(error->property("text").toString().contains(QLatin1String("Shares/Drop/many")));
    }
};

NUSK_WINDOW_TEST_MAIN(TestCopyTo)
#include "tst_copyto.moc"
