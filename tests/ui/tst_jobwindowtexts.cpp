// The words of a copy job's window as a person reads them, in English and in German: a title
// for every state that begins as a title does, and a move's list of kept sources read whole
// at the window's own width.

#include "testutil_catalogue.h"
#include "testutil_window.h"

#include "vfs/jobs/vfsjob.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

namespace {

const int kAnswer = int(VfsJob::UserActionAbort | VfsJob::UserActionSkip | VfsJob::UserActionOverwrite);

} // namespace

class TestJobWindowTexts : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Program> m_program;

    std::unique_ptr<QQuickWindow> jobPane()
    {
        QQmlComponent component(m_program->window()->engine(), QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
        std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow *>(component.create()));
        if (window) {
            window->setProperty("bytesTotal", QStringLiteral("210 MB"));
            window->show();
        }
        return window;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_program.reset(new Program);
        QVERIFY(m_program->start());
    }

    void cleanupTestCase() { m_program.reset(); }

    void languages_data()
    {
        QTest::addColumn<QString>("catalogue");
        QTest::newRow("en") << QString();
        QTest::newRow("de") << QStringLiteral(":/i18n/nusk_de.qm");
    }

    // Every state's title starts with a capital letter, as window titles do (German nouns
    // aside, these are the first word of a title).
    void titlesAreCapitalised_data() { languages_data(); }
    void titlesAreCapitalised()
    {
        QFETCH(QString, catalogue);
        const testutil::ScopedCatalogue language(catalogue);
        QVERIFY(language.isValid());
        auto window = jobPane();
        QVERIFY(window);
        struct Case
        {
            VfsJob::VfsJobState state;
            int leftOut;
            int actions;
        };
        const Case cases[] = {
            {VfsJob::VfsJobStateInit, 0, 0},         {VfsJob::VfsJobStateRunning, 0, 0},
            {VfsJob::VfsJobStatePaused, 0, 0},       {VfsJob::VfsJobStateQuestion, 0, kAnswer},
            {VfsJob::VfsJobStateFinished, 0, 0},     {VfsJob::VfsJobStateFinished, 2, 0},
            {VfsJob::VfsJobStateAborted, 0, 0},      {VfsJob::VfsJobStateAborted, 0, int(VfsJob::UserActionAbort)},
        };
        QStringList lowerCase;
        for (const Case &c : cases) {
            window->setProperty("userActions", c.actions);
            window->setProperty("leftOutCount", c.leftOut);
            window->setProperty("jobState", int(c.state));
            const QString title = window->title();
            // "12 % done" begins with its figure.
            if (title.isEmpty() || (!title.at(0).isUpper() && !title.at(0).isDigit()))
                lowerCase << QStringLiteral("%1: \"%2\"").arg(int(c.state)).arg(title);
        }
        QVERIFY2(lowerCase.isEmpty(), qPrintable(lowerCase.join(QStringLiteral(", "))));
    }

    // A move that keeps a source whose path is long: its line wraps inside the list at the
    // window's width; nothing of it runs out of sight sideways.
    void keptListWraps_data() { languages_data(); }
    void keptListWraps()
    {
        QFETCH(QString, catalogue);
        const testutil::ScopedCatalogue language(catalogue);
        QVERIFY(language.isValid());
        auto window = jobPane();
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QString line = QStringLiteral("Shares/Shared/Pictures/Iceland 2024/IMG_4711.png on studio \u2014 ")
                             + qtTrId("move-kept-undeleted");
        window->setProperty("moving", true);
        window->setProperty("leftOutCount", 2);
        window->setProperty("leftOut", line + QLatin1Char('\n') + line);
        window->setProperty("jobState", int(VfsJob::VfsJobStateFinished));
        auto *list = window->findChild<QQuickItem *>(QStringLiteral("leftOutList"));
        QVERIFY(list);
        QTRY_VERIFY(list->isVisible() && list->width() > 0);
        // Longer than a line at this width, so it has to wrap to be read whole.
        QVERIFY(list->property("lineCount").toInt() > 2);
        const QRectF shown = list->mapRectToScene(QRectF(0, 0, list->width(), list->height()));
        QVERIFY2(shown.right() <= window->width() + 0.5, qPrintable(QString::number(shown.right())));
        QVERIFY2(list->property("contentWidth").toReal() <= list->width(),
                 qPrintable(QStringLiteral("%1 of %2").arg(list->property("contentWidth").toReal()).arg(list->width())));
    }
};

NUSK_WINDOW_TEST_MAIN(TestJobWindowTexts)
#include "tst_jobwindowtexts.moc"
