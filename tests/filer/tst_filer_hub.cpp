// Browsers in two panes under one hub, on the local computer's real file model: the shared
// actions follow the browser that is active now, a rename edit is sent once, and the
// applications related to the selection come from the active browser only.

#include "desktop/apps/applauncher.h"
#include "filer/filer.h"
#include "filer/fileractions.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "peers/ipeer.h"
#include "testutil_filer.h"
#include "db/sqlitedatabase.h"
#include "vfs/models/vfsmodel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QHBoxLayout>
#include <QTemporaryDir>
#include <QtTest>

using namespace filertest;

class TestFilerHub : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void actionsFollowTheActiveBrowser();
    void renameSentOnce();
    void relatedAppsFromActiveBrowserOnly();

private:
    void select(Filer *filer, const QString &name);
    bool enabled(const char *id) { return FilerActions::action(QString::fromLatin1(id))->isEnabled(); }

    QTemporaryDir m_tmp;
    QString m_dir;
    std::unique_ptr<LocalNetwork> m_net;
    QWidget *m_top = nullptr;
    FilerHub *m_hub = nullptr;
    FilerPane *m_left = nullptr;
    FilerPane *m_right = nullptr;
};

void TestFilerHub::select(Filer *filer, const QString &name)
{
    QAbstractItemView *view = filer->currentView();
    spinUntil([&] {
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
            if (view->model()->index(r, 0, view->rootIndex()).data(VfsModel::NameRole).toString() == name)
                return true;
        return false;
    });
    view->selectionModel()->clearSelection();
    for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r) {
        const QModelIndex index = view->model()->index(r, 0, view->rootIndex());
        if (index.data(VfsModel::NameRole).toString() == name)
            view->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

void TestFilerHub::initTestCase()
{
    initFilerViewResources();
    m_dir = QDir(m_tmp.path()).canonicalPath();
    QVERIFY(writeFile(m_dir + QStringLiteral("/a.txt"), 10));
    QVERIFY(writeFile(m_dir + QStringLiteral("/b.txt"), 20));
    m_net = std::make_unique<LocalNetwork>();
    QVERIFY(m_net->start());
    m_top = new QWidget;
    m_hub = new FilerHub(m_top);
    m_left = new FilerPane(nullptr, m_net->database(), m_hub, m_top);
    m_right = new FilerPane(nullptr, m_net->database(), m_hub, m_top);
    auto *layout = new QHBoxLayout(m_top);
    layout->addWidget(m_left);
    layout->addWidget(m_right);
    m_hub->setActiveFilerPane(m_left);
    m_top->resize(1400, 700);
    m_top->show();
    m_left->restoreFilerSettings();
    m_right->restoreFilerSettings();
    QTRY_VERIFY(m_left->currentFiler() && m_right->currentFiler());
    for (Filer *filer : {m_left->currentFiler(), m_right->currentFiler()}) {
        filer->setPeer(m_net->localPeer());
        filer->gotoPath(m_dir);
        QTRY_COMPARE(filer->path(), m_dir);
    }
}

void TestFilerHub::cleanupTestCase()
{
    delete m_top;
    m_net.reset();
}

void TestFilerHub::actionsFollowTheActiveBrowser()
{
    Filer *left = m_left->currentFiler();
    Filer *right = m_right->currentFiler();
    m_hub->setActiveFilerPane(m_left);
    QTRY_COMPARE(m_hub->activeFiler(), left);
    select(left, QStringLiteral("a.txt"));
    QVERIFY(enabled("filer.cut") && enabled("filer.rename") && enabled("filer.new-folder"));

    // The other pane shows the computer list: nothing there to cut, rename or make.
    right->showMachineList();
    m_hub->setActiveFilerPane(m_right);
    QCOMPARE(m_hub->activeFiler(), right);
    QVERIFY(!enabled("filer.cut"));
    QVERIFY(!enabled("filer.rename"));
    QVERIFY(!enabled("filer.new-folder"));
    // An inactive browser's selection leaves the actions alone.
    select(left, QStringLiteral("b.txt"));
    QVERIFY(!enabled("filer.cut"));

    m_hub->setActiveFilerPane(m_left);
    QVERIFY(enabled("filer.cut"));
    right->gotoPath(m_dir);
    QTRY_COMPARE(right->path(), m_dir);
}

void TestFilerHub::renameSentOnce()
{
    m_hub->setActiveFilerPane(m_left);
    VfsModel *model = m_net->localModel();
    const QModelIndex b = model->indexForPath(m_dir + QStringLiteral("/b.txt"));
    QVERIFY(b.isValid());
    // Both browsers hear the model's edit; only the active one sends the request.
    model->setData(b, QStringLiteral("b2.txt"), Qt::EditRole);
    QCOMPARE(int(m_hub->clipboard()->pendingMoves.size()), 1);
    QTRY_VERIFY(QFile::exists(m_dir + QStringLiteral("/b2.txt")));
    QTRY_VERIFY(m_hub->clipboard()->pendingMoves.empty());
}

void TestFilerHub::relatedAppsFromActiveBrowserOnly()
{
    AppLauncher *launcher = AppLauncher::instance();
    m_hub->setActiveFilerPane(m_left);
    select(m_left->currentFiler(), QStringLiteral("a.txt"));
    const std::vector<QString> chosen = launcher->selectedPaths();
    QCOMPARE(chosen, std::vector<QString>{m_dir + QStringLiteral("/a.txt")});
    // The other pane's selection never replaces it.
    select(m_right->currentFiler(), QStringLiteral("b2.txt"));
    QCOMPARE(launcher->selectedPaths(), chosen);
}

QTEST_MAIN(TestFilerHub)
#include "tst_filer_hub.moc"
