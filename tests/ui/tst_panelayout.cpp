// The two panes side by side as a window system draws them (a private X server with the
// window manager the screen scenes use; the test runs itself again there): a narrow pane's
// path bar still shows the folder it is in, and the rows and status lines of the two panes
// stand level whether one of them has tabs or a status message of two lines. Positions are
// compared with a pixel of slack; no size depends on the fonts of this machine.

#include "testutil_window.h"
#include "app/startup/testutil_xserver.h"

#include "filer/filer.h"
#include "filer/filerpane.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QDir>
#include <QQuickItem>
#include <QQuickWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QQuickItem *barItem(Filer *filer, const char *name)
{
    auto *bar = qobject_cast<QQuickWidget *>(filer->breadcrumb());
    return bar && bar->rootObject() ? bar->rootObject()->findChild<QQuickItem *>(QString::fromLatin1(name)) : nullptr;
}

// An item's place in the scene of its bar.
QRectF sceneRect(QQuickItem *item)
{
    return item ? item->mapRectToScene(QRectF(0, 0, item->width(), item->height())) : QRectF();
}

// The last crumb's text (the folder shown), once the strip has fitted its crumbs.
QQuickItem *lastCrumb(Filer *filer)
{
    QQuickItem *list = barItem(filer, "crumbList");
    if (!list)
        return nullptr;
    QQuickItem *item = nullptr;
    QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, item),
                              Q_ARG(int, list->property("count").toInt() - 1));
    return item ? item->findChild<QQuickItem *>(QStringLiteral("crumbText")) : nullptr;
}

int globalTop(QWidget *widget)
{
    return widget->mapToGlobal(QPoint(0, 0)).y();
}

} // namespace

class TestPaneLayout : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Program> m_program;

    FilerPane *pane(int index) const
    {
        const std::vector<QWidget *> panes = m_program->window()->panes();
        return qobject_cast<FilerPane *>(index == 0 ? panes.front() : panes.back());
    }

    // Both panes shown, each on `folder`, with its rows listed.
    bool bothOn(const QString &left, const QString &right)
    {
        m_program->window()->showAlternateFilerPane();
        for (const auto &[index, folder] : {std::pair<int, QString>{0, left}, {1, right}}) {
            Filer *filer = pane(index)->currentFiler();
            if (!showPath(filer, folder, [&] { return filer->sortModel()->rowCount(filer->currentView()->rootIndex()) > 0; },
                          10000))
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *folder : {"Documents/Letters", "Pictures/Iceland"})
            QVERIFY(QDir().mkpath(m_dir.filePath(QString::fromLatin1(folder))));
        m_program.reset(new Program);
        QVERIFY(m_program->start());
    }

    void cleanupTestCase() { m_program.reset(); }

    // 800 pixels wide, two panes: each path bar shows the folder it is in whole; the switch
    // and the view buttons keep their places beside it.
    void narrowPathBarShowsTheFolderWhole()
    {
        MainWindow *w = m_program->window();
        w->showNormal();
        w->resize(800, 560);
        QVERIFY(bothOn(m_dir.filePath(QStringLiteral("Documents")), m_dir.filePath(QStringLiteral("Pictures"))));
        QTRY_VERIFY(w->width() <= 800);
        for (int index : {0, 1}) {
            Filer *filer = pane(index)->currentFiler();
            const QString name = index == 0 ? QStringLiteral("Documents") : QStringLiteral("Pictures");
            QQuickItem *last = nullptr;
            QTRY_VERIFY((last = lastCrumb(filer)) && last->property("text").toString() == name);
            QQuickItem *strip = barItem(filer, "crumbList");
            // Fitted a moment after the crumbs are made.
            QTRY_VERIFY2(!last->property("truncated").toBool() && last->isVisible()
                             && sceneRect(strip).adjusted(-1, -1, 1, 1).contains(sceneRect(last)),
                         qPrintable(QStringLiteral("pane %1: \"%2\" %3 wide of %4, the strip %5 wide")
                                        .arg(index)
                                        .arg(name)
                                        .arg(last->width())
                                        .arg(last->property("implicitWidth").toReal())
                                        .arg(strip->width())));
            // The mark of the crumbs left out stands before it, where the room allows.
            if (barItem(filer, "crumbMark")->isVisible())
                QVERIFY(sceneRect(barItem(filer, "crumbMark")).right() <= sceneRect(last).left() + 1);
            const QRectF toggle = sceneRect(barItem(filer, "onlineSwitch"));
            const QRectF columns = sceneRect(barItem(filer, "columnModeButton"));
            const QRectF icons = sceneRect(barItem(filer, "iconModeButton"));
            QVERIFY(sceneRect(strip).right() <= toggle.left() + 1);
            QVERIFY(toggle.right() <= columns.left() + 1);
            QVERIFY(columns.right() <= icons.left() + 1);
            QVERIFY(icons.right() <= filer->breadcrumb()->width() + 1);
        }
    }

    // The left pane has two tabs, the right one one: both tab bars show, and the rows and the
    // status lines of the two panes stand level. A message of three lines in one pane's status
    // line takes the room it needs while it is shown; once it has gone, that status line is
    // one line high again, level with the other pane's.
    void panesStandLevelWithTabs()
    {
        MainWindow *w = m_program->window();
        w->resize(1120, 1);   // as low as it goes: no room to spare below the rows
        QVERIFY(bothOn(m_dir.path(), m_dir.path()));
        QVERIFY(QMetaObject::invokeMethod(pane(0), "newFilerTabWithPath", Q_ARG(QString, nullUuidString()),
                                          Q_ARG(QString, m_dir.filePath(QStringLiteral("Documents")))));
        QTRY_VERIFY(pane(0)->tabWidget()->tabBar()->isVisible() && pane(1)->tabWidget()->tabBar()->isVisible());
        Filer *left = pane(0)->currentFiler();
        Filer *right = pane(1)->currentFiler();
        QStatusBar *leftStatus = left->findChild<QStatusBar *>();
        QStatusBar *rightStatus = right->findChild<QStatusBar *>();
        const auto level = [&](const char *what, int a, int b) {
            return qAbs(a - b) <= 1 ? QString()
                                    : QStringLiteral("%1: %2 in the left pane, %3 in the right").arg(what).arg(a).arg(b);
        };
        auto rowsAndStatus = [&] {
            QString why = level("rows", globalTop(left->currentView()->viewport()),
                                globalTop(right->currentView()->viewport()));
            if (why.isEmpty())
                why = level("status line", globalTop(leftStatus), globalTop(rightStatus));
            if (why.isEmpty())
                why = level("status line height", leftStatus->height(), rightStatus->height());
            return why;
        };
        QTRY_VERIFY2(rowsAndStatus().isEmpty(), qPrintable(rowsAndStatus()));
        const int oneLine = rightStatus->height();
        QVERIFY2(oneLine <= 2 * rightStatus->fontMetrics().lineSpacing(), qPrintable(QString::number(oneLine)));

        QString longer = QStringLiteral("A message long enough to take three lines in the status line of a pane");
        while (rightStatus->fontMetrics().horizontalAdvance(longer) < 3 * rightStatus->width())
            longer += QStringLiteral(" and more");
        right->showStatusMessage(longer, 60000);
        QTRY_VERIFY(rightStatus->height() >= oneLine + rightStatus->fontMetrics().lineSpacing());
        right->showStatusMessage(QStringLiteral("2 items"), 0);
        QTRY_VERIFY2(rowsAndStatus().isEmpty(), qPrintable(rowsAndStatus()));
        QCOMPARE(rightStatus->height(), oneLine);
    }
};

int main(int argc, char **argv)
{
    return runOnXvfb(argc, argv, [](int &argc, char **argv) {
        WindowTestApp app(argc, argv);
        TestPaneLayout test;
        return app.exec(&test);
    });
}

#include "tst_panelayout.moc"
