// A path typed into the path bar of a pane that shows a second computer (a real
// nusk-peerhost), as a person types it: a share named before that computer's shares were
// listed is looked up and opened, in English and German; a share or a folder it does not
// have is answered by what it says, not by the time a look-up may take; and the status line
// never holds the answer to an earlier path while a new one is looked for.

#include "othercomputer.h"
#include "testutil_catalogue.h"
#include "testutil_window.h"

#include "filer/breadcrumb.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "vfs/models/vfsmodel.h"

#include <QAction>
#include <QDateTime>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QtTest>

using namespace peerhosttest;

class TestPathBar : public QObject
{
    Q_OBJECT

private:
    OtherComputer m_other;
    QTemporaryDir m_files;
    std::unique_ptr<Program> m_program;
    IPeer *m_remote = nullptr;
    QString m_dropPath;   // the other computer's shared folder "Drop", as the model names it

    Filer *left() const { return qobject_cast<FilerPane *>(m_program->window()->panes().front())->currentFiler(); }
    VfsModel *remoteModel() const { return qobject_cast<VfsModel *>(m_remote->vfsFileSystemModel()); }

    // The program started afresh (with the catalogue installed now) and paired. The pane
    // the test used is left on this computer: the next start brings back no share of the
    // other one.
    bool startProgram()
    {
        if (m_program)
            left()->gotoPath(QStringLiteral("%home"));
        m_program.reset();
        m_program.reset(new Program);
        if (!m_program->start())
            return false;
        m_remote = m_other.pair(*m_program);
        return m_remote != nullptr;
    }

    // Ctrl+L in `filer`, `text` typed over what the bar offers, and Return.
    static bool typeInBar(Filer *filer, const QString &text)
    {
        auto *bar = filer->findChild<TopNavigation *>();
        auto *edit = filer->findChild<QAction *>(QStringLiteral("editPathAction"));
        if (!bar || !edit)
            return false;
        edit->trigger();
        if (bar->rootObject()->property("state").toString() != QLatin1String("pathedit"))
            return false;
        QTest::keyClicks(bar, text);
        QTest::keyClick(bar, Qt::Key_Return);
        return true;
    }

    static QString notFound(const QString &typed) { return qtTrId("filer-path-not-found").arg(typed); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_other.start());
        QVERIFY(QDir().mkpath(m_files.filePath(QStringLiteral("Drop/inside"))));
        QVERIFY(startProgram());
        m_dropPath = m_other.share(m_files.filePath(QStringLiteral("Drop")), 7);
        QVERIFY(!m_dropPath.isEmpty());
    }

    void cleanupTestCase() { m_program.reset(); }

    // Right after a start the pane shows the other computer's page, and nothing has listed
    // its shares: a share typed by its shown name, with a folder below it or alone, is
    // opened all the same.
    void shareTypedBeforeTheSharesAreListed_data()
    {
        QTest::addColumn<QString>("catalogue");
        QTest::addColumn<QString>("below");
        QTest::newRow("en") << QString() << QString();
        QTest::newRow("de, a folder below") << QStringLiteral(":/i18n/nusk_de.qm") << QStringLiteral("/inside");
    }

    void shareTypedBeforeTheSharesAreListed()
    {
        QFETCH(QString, catalogue);
        QFETCH(QString, below);
        const testutil::ScopedCatalogue language(catalogue);
        QVERIFY(language.isValid());
        QVERIFY(startProgram());
        Filer *filer = left();
        filer->setPeer(m_remote);
        QTRY_COMPARE(filer->currentPage(), Filer::PeerViewPage);
        const VfsEntry *shares = remoteModel()->findEntry(QStringLiteral("%shares"));
        QVERIFY(shares && !shares->fetched && !shares->fetching);

        QVERIFY(typeInBar(filer, qtTrId("place-shares") + QStringLiteral("/Drop") + below));
        QTRY_COMPARE(filer->path(), m_dropPath + below);
        QCOMPARE(filer->currentPage(), Filer::FilesPage);
    }

    // A share or a folder that computer does not have is said as soon as it has listed its
    // shares again, or said which drives it shares (none): its model's clock stands still
    // here, so an answer that came from running out of time would never come. While a new
    // path is looked for, the answer about the one before is gone; the pane stays where it is.
    void missingAnsweredByThatComputerNothingStale()
    {
        QVERIFY(startProgram());
        Filer *filer = left();
        filer->setPeer(m_remote);
        QVERIFY(showPath(filer, m_dropPath, {}, testutil::timeoutMs(30000)));
        remoteModel()->setClock([now = QDateTime::currentMSecsSinceEpoch()] { return now; });
        QString before;
        for (const QString &typed : {QStringLiteral("Shares/Nix"), QStringLiteral("Shares/Nix2"),
                                     QStringLiteral("/nothere/at/all"), QStringLiteral("Shares/Drop/nothere")}) {
            QVERIFY(typeInBar(filer, typed));
            if (!before.isEmpty())
                QVERIFY2(filer->statusText() != notFound(before), qPrintable(typed));
            QTRY_COMPARE(filer->statusText(), notFound(typed));
            QCOMPARE(filer->path(), m_dropPath);
            before = typed;
        }
    }
};

NUSK_WINDOW_TEST_MAIN(TestPathBar)
#include "tst_pathbar.moc"
