// Pairing through the window's dialogs, with a second real program (nusk-peerhost): the
// window accepts the other computer's invitation through the add dialog and both see each
// other up; the window's own invitation opens on the other computer and is stored as soon as
// its link leaves the dialog; wrong and expired invitations say so and store nothing; an
// accepted invitation always ends with an answer, also when the inviter refuses or is silent.

#include "testutil_peerhost.h"
#include "testutil_window.h"

#include "filer/filer.h"

#include "db/sqlitedatabase.h"
#include "peers/invitation.h"
#include "peers/peerloader.h"
#include "peers/peertimings.h"

#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QGuiApplication>
#include <QMessageBox>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

using namespace peerhosttest;

namespace {

QQuickItem *item(QObject *window, const char *name)
{
    return window ? window->findChild<QQuickItem *>(QString::fromLatin1(name)) : nullptr;
}

void click(QObject *window, const char *name)
{
    auto *quick = qobject_cast<QQuickWindow *>(window);
    QQuickItem *button = item(window, name);
    QVERIFY2(quick && button, name);
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(quick, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

// Pastes the link and types the code, as a user does in the add dialog.
void fillAddDialog(QObject *dialog, const QString &link, const QString &code)
{
    auto *window = qobject_cast<QQuickWindow *>(dialog);
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    item(dialog, "linkInput")->setProperty("readOnly", false);
    item(dialog, "linkInput")->setProperty("text", link);
    QQuickItem *codeField = item(dialog, "passwordEdit")->property("input").value<QQuickItem *>();
    QVERIFY(codeField);
    codeField->forceActiveFocus();
    window->requestActivate();
    for (const QChar c : code)
        QTest::keyClick(window, c.toLatin1());
    QCOMPARE(item(dialog, "passwordEdit")->property("text").toString(), code);
}

QString hint(QObject *dialog)
{
    return item(dialog, "hintText")->property("text").toString();
}

// What the active pane shows above the computer list, where the person looks after Accept;
// empty while that line is hidden.
QString notice(MainWindow *w)
{
    auto *line = w->activeFiler() ? w->activeFiler()->findChild<QLabel *>(QStringLiteral("pageNotice")) : nullptr;
    return line && line->isVisible() ? line->text() : QString();
}

} // namespace

class TestInvitations : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_hostDir;
    std::unique_ptr<Host> m_host;

private Q_SLOTS:
    void initTestCase()
    {
        PeerTimings timings;
        timings.retryInitialMs = 150;
        timings.retryMaxMs = 600;
        timings.inviterAnswerMs = 1500;
        setPeerTimings(timings);
        m_host.reset(new Host(m_hostDir.path(), freePort()));
        QVERIFY(m_host->start());
    }

    void cleanupTestCase() { m_host.reset(); }

    // The other computer invites; the window takes the link and the code through its add
    // dialog; both end up with a link that is up.
    void acceptThroughTheAddDialog()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        QVERIFY(w->addInvitationAction()->isEnabled());

        const QStringList invitation = m_host->invite(QStringLiteral("c0ffee42"));
        QCOMPARE(invitation.size(), 2);

        w->addInvitationAction()->trigger();
        QObject *dialog = w->processInviteDialog();
        QVERIFY(dialog);
        auto *quick = qobject_cast<QQuickWindow *>(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(quick));
        // It opens as the window's dialog with the keyboard in the link box: a paste and
        // typing land there without a click.
        QCOMPARE(quick->transientParent(), w->windowHandle());
        QTRY_COMPARE(QGuiApplication::focusWindow(), quick);
        QTRY_VERIFY(item(dialog, "linkInput")->hasActiveFocus());
        QGuiApplication::clipboard()->setText(QStringLiteral("hel"));
        QTest::keySequence(quick, QKeySequence::Paste);
        QTest::keyClick(quick, Qt::Key_L);
        QTest::keyClick(quick, Qt::Key_O);
        QCOMPARE(item(dialog, "linkInput")->property("text").toString(), QStringLiteral("hello"));
        QTRY_COMPARE(hint(dialog), QStringLiteral("This is not an invitation link. Paste the whole link as it was sent."));
        item(dialog, "linkInput")->setProperty("text", QString());
        // Tab in the link box moves on to the code; nothing judged before there is something.
        item(dialog, "linkInput")->setProperty("readOnly", false);
        item(dialog, "linkInput")->forceActiveFocus();
        quick->requestActivate();
        QTest::keyClick(quick, Qt::Key_Tab);
        QCOMPARE(item(dialog, "linkInput")->property("text").toString(), QString());
        QVERIFY(item(dialog, "passwordEdit")->hasActiveFocus());
        QCOMPARE(hint(dialog), QString());
        // Not a link: the link is named.
        item(dialog, "linkInput")->setProperty("text", QStringLiteral("hello"));
        QTRY_COMPARE(hint(dialog), QStringLiteral("This is not an invitation link. Paste the whole link as it was sent."));
        // A wrong code: the code is named, and its field marked.
        fillAddDialog(dialog, invitation[0], QStringLiteral("c0ffee43"));
        QTRY_COMPARE(hint(dialog), QStringLiteral("The code does not open this invitation. Check the code."));
        QVERIFY(item(dialog, "passwordEdit")->property("showError").toBool());
        // Only the error is red; the field's explanation below it keeps its quiet colour.
        QObject *explanation = item(dialog, "passwordEdit")->findChild<QObject *>(QStringLiteral("descriptionText"));
        QVERIFY(explanation);
        QVERIFY(explanation->property("color") != item(dialog, "hintText")->property("color"));
        QVERIFY(!item(dialog, "addButton")->isEnabled());
        dialog->setProperty("visible", false);

        // The right one: ready, then accepted.
        w->addInvitationAction()->trigger();
        QTRY_VERIFY(w->processInviteDialog() != dialog);
        dialog = w->processInviteDialog();
        fillAddDialog(dialog, invitation[0], QStringLiteral("c0ffee42"));
        QTRY_COMPARE(hint(dialog), QStringLiteral("Looks good, ready to connect."));
        QTRY_VERIFY(item(dialog, "addButton")->isEnabled());
        QSignalSpy accepted(w, &MainWindow::invitationAccepted);
        QSignalSpy answered(w, &MainWindow::inviterAnswered);
        // What the pane shows the moment each step is reported.
        QString shownOnAccept;
        QString shownOnAnswer;
        connect(w, &MainWindow::invitationAccepted, w, [&] { shownOnAccept = notice(w); });
        connect(w, &MainWindow::inviterAnswered, w, [&] { shownOnAnswer = notice(w); });
        // Enter in the code field accepts.
        QTest::keyClick(qobject_cast<QQuickWindow *>(dialog), Qt::Key_Return);
        QTRY_COMPARE(accepted.count(), 1);
        QCOMPARE(accepted.first().first().toBool(), true);
        // The pane went to the computer list, and says there whom it contacts, then the outcome.
        QCOMPARE(w->activeFiler()->currentPage(), Filer::MachineListPage);
        QVERIFY2(QRegularExpression("^Contacting .+ …$").match(shownOnAccept).hasMatch(), qPrintable(shownOnAccept));
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 10000);
        QCOMPARE(answered.first().first().toInt(), int(PeerLoader::InviterPaired));
        QCOMPARE(shownOnAnswer, answered.first().at(1).toString());
        QVERIFY(shownOnAnswer.startsWith("Paired with "));

        QTRY_VERIFY_WITH_TIMEOUT(p.database()->loadPeers(QStringLiteral("nusk")).size() == 2, 10000);
        QString hostUuid;
        for (const PeerDto &peer : p.database()->loadPeers(QStringLiteral("nusk")))
            if (peer.uuid != nullUuidString())
                hostUuid = peer.uuid;
        QTRY_VERIFY_WITH_TIMEOUT(p.peerModel()->getPeerForUuid(hostUuid)
                                     && p.peerModel()->getPeerForUuid(hostUuid)->linkState() == IPeer::LinkUp,
                                 20000);
        // Named as the computer list names it: both computers run here under one host name,
        // and the list numbers the second one.
        IPeer *host = p.peerModel()->getPeerForUuid(hostUuid);
        QVERIFY2(!host->displayName().isEmpty() && host->displayName() != host->name(), qPrintable(host->name()));
        QCOMPARE(shownOnAnswer, QStringLiteral("Paired with %1.").arg(host->displayName()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_host->remotePeers().isEmpty() && m_host->remotePeers().first().state == 3, 20000);

        // The network switch closes the link (on the network thread), and opens it again.
        w->setNetworkEnabled(false);
        QTRY_VERIFY_WITH_TIMEOUT(p.peerModel()->getPeerForUuid(hostUuid)->linkState() != IPeer::LinkUp, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(m_host->remotePeers().first().state != 3, 10000);
        w->setNetworkEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(p.peerModel()->getPeerForUuid(hostUuid)->linkState() == IPeer::LinkUp, 20000);
    }

    // The window invites: the dialog shows the code (the uuid's first group) and the link;
    // nothing is stored while the link stays in the dialog; the link opens on the other computer with
    // that code and with no other.
    void createInTheWindow()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        QVERIFY(!w->activeInvitationsAction()->isEnabled());

        w->createInvitationAction()->trigger();
        QObject *dialog = w->createInviteDialog();
        QString uuid = dialog->property("uuid").toString();
        QString code = dialog->property("password").toString();
        QString link = dialog->property("url").toString();
        QCOMPARE(code, uuid.mid(1, 8));
        QVERIFY(QRegularExpression("^[0-9a-f]{8}$").match(code).hasMatch());
        QCOMPARE(dialog->property("name").toString(), uuid.section('-', 2, 2));
        QVERIFY(link.startsWith("nusk:"));
        QVERIFY(p.database()->loadInvitations().empty());

        QGuiApplication::clipboard()->setText("before");
        w->onInviteCopyToClipboard(QString());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        auto *window = qobject_cast<QQuickWindow *>(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(window));

        // Cancelled before the link left the dialog: nothing stored.
        click(dialog, "cancelButton");
        QVERIFY(!dialog->property("visible").toBool());
        QVERIFY(p.database()->loadInvitations().empty());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        w->createInvitationAction()->trigger();
        QVERIFY(dialog->property("uuid").toString() != uuid);
        uuid = dialog->property("uuid").toString();
        code = dialog->property("password").toString();
        link = dialog->property("url").toString();
        QVERIFY(QTest::qWaitForWindowExposed(window));

        // The link leaves the dialog (Ctrl+C in the link box): its invitation is stored then.
        QSignalSpy added(p.database(), &IDatabase::addedInvitation);
        item(dialog, "linkText")->forceActiveFocus();
        window->requestActivate();
        QTest::keySequence(window, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), link);
        QTRY_COMPARE(p.database()->loadInvitations().size(), size_t(1));
        QCOMPARE(added.count(), 1);
        QVERIFY(item(dialog, "acceptHint")->property("text").toString().startsWith("Copied. The invitation is stored"));
        click(dialog, "copyButton");
        QCOMPARE(QGuiApplication::clipboard()->text(), link);

        click(dialog, "createButton");
        QTRY_COMPARE(p.database()->loadInvitations().size(), size_t(1));
        QCOMPARE(added.count(), 1);
        const InvitationDto stored = p.database()->loadInvitations().front();
        QCOMPARE(stored.uuid, uuid);
        QCOMPARE(stored.password, code);
        QCOMPARE(stored.expires - stored.timestamp, kInvitationLifetimeSecs);
        QTRY_VERIFY(w->activeInvitationsAction()->isEnabled());
        QVERIFY(w->activeInvitationsDialog()->property("visible").toBool());
        // The list judges expiry against the time it is shown, not the time it was made.
        QObject *list = w->activeInvitationsDialog()->findChild<QObject *>("invList");
        QVERIFY(list);
        list->setProperty("now", 0.0);
        w->activeInvitationsDialog()->setProperty("visible", false);
        w->activeInvitationsAction()->trigger();
        QTRY_VERIFY(list->property("now").toDouble() > 1.0e12);
        // The same invitation confirmed again stays one row and is announced once.
        w->onInvitationCreate(uuid, stored.name, link, code);
        QCOMPARE(p.database()->loadInvitations().size(), size_t(1));
        QCOMPARE(added.count(), 1);

        // The other computer, kept off the network, opens the link with its code only.
        QVERIFY(m_host->ok("net off"));
        QString status;
        m_host->cmd("accept " + link + " 0badc0de", &status);
        QVERIFY(status.startsWith("error"));
        QVERIFY(m_host->ok("accept " + link + " " + code));

        // Deleting the last invitation disables the entry and hides the list.
        w->deleteInvitation(uuid);
        QTRY_VERIFY(!w->activeInvitationsAction()->isEnabled());
        QVERIFY(!w->activeInvitationsDialog()->property("visible").toBool());
        QVERIFY(m_host->ok("net on"));
    }

    // An invitation past its 72 hours opens with its code but is refused before anything is
    // stored; a code alone is kept for invitations announced on the local network.
    void expiredAndCodeOnly()
    {
        QTemporaryDir otherDir;
        QString expiredLink;
        {
            SqliteDatabase other(otherDir.path());
            const qint64 old = QDateTime::currentSecsSinceEpoch() - kInvitationLifetimeSecs - 3600;
            expiredLink = encodeInvitationLink(&other, 1, newUuidString(), "old", "0ddba11a", old, {}).toString();
        }
        QVERIFY(!expiredLink.isEmpty());

        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        const size_t peersBefore = p.database()->loadPeers(QStringLiteral("nusk")).size();
        w->addInvitationAction()->trigger();
        QObject *dialog = w->processInviteDialog();
        fillAddDialog(dialog, expiredLink, QStringLiteral("0ddba11a"));
        QTRY_COMPARE(hint(dialog), QStringLiteral("This invitation has expired. Ask for a new one."));
        QVERIFY(!item(dialog, "addButton")->isEnabled());
        QSignalSpy accepted(w, &MainWindow::invitationAccepted);
        w->addRemoteByInvitationUrl(expiredLink, QStringLiteral("0ddba11a"));
        QTRY_COMPARE(accepted.count(), 1);
        QCOMPARE(accepted.first().first().toBool(), false);
        QCOMPARE(p.database()->loadPeers(QStringLiteral("nusk")).size(), peersBefore);

        // 7 or 9 characters: not valid, nothing decoded.
        w->addInviteTextChanged(expiredLink, QStringLiteral("0ddba11"));
        QVERIFY(!dialog->property("valid").toBool());
        w->addInviteTextChanged(QString(), QStringLiteral("12345678"));
        QVERIFY(dialog->property("valid").toBool());
        w->addRemoteByInvitationUrl(QString(), QStringLiteral("12345678"));
        QCOMPARE(p.database()->loadPeers(QStringLiteral("nusk")).size(), peersBefore);
    }

    // Accepting always ends with an answer shown: the inviter no longer knows the invitation,
    // or nobody answers at the link's addresses within the answer time.
    void acceptedInvitationAlwaysAnswered()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        const size_t peersBefore = p.database()->loadPeers(QStringLiteral("nusk")).size();
        QSignalSpy answered(w, &MainWindow::inviterAnswered);

        // A computer this one has never met (the shared host is known from the tests above).
        QTemporaryDir strangerDir;
        Host stranger(strangerDir.path(), freePort());
        QVERIFY(stranger.start());
        const QStringList invitation = stranger.invite(QStringLiteral("5eed5eed"));
        QCOMPARE(invitation.size(), 2);
        QVERIFY(stranger.ok("uninvite " + invitation[1]));
        w->addRemoteByInvitationUrl(invitation[0], QStringLiteral("5eed5eed"));
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 10000);
        QCOMPARE(answered.first().first().toInt(), int(PeerLoader::InviterRefused));
        QVERIFY(answered.first().at(1).toString().contains("no longer knows this invitation"));
        auto *box = w->findChild<QMessageBox *>(QStringLiteral("inviterAnswer"));
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->text(), answered.first().at(1).toString());
        // The computer list behind it says so too.
        QCOMPARE(w->activeFiler()->currentPage(), Filer::MachineListPage);
        QCOMPARE(notice(w), answered.first().at(1).toString());
        box->close();
        QCOMPARE(p.database()->loadPeers(QStringLiteral("nusk")).size(), peersBefore);

        // Nobody listens where the link points.
        QTemporaryDir otherDir;
        QString silentLink;
        {
            SqliteDatabase other(otherDir.path());
            TransportDto nowhere;
            nowhere.type = QStringLiteral("tcp");
            nowhere.host = QStringLiteral("127.0.0.1");
            nowhere.port = freePort();
            silentLink = encodeInvitationLink(&other, 1, newUuidString(), "gone", "0ddba11a",
                                              QDateTime::currentSecsSinceEpoch(), {nowhere}).toString();
        }
        QElapsedTimer waited;
        waited.start();
        w->addRemoteByInvitationUrl(silentLink, QStringLiteral("0ddba11a"));
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 2, 10000);
        QCOMPARE(answered.last().first().toInt(), int(PeerLoader::InviterSilent));
        QVERIFY(answered.last().at(1).toString().startsWith("gone did not answer"));
        QVERIFY(waited.elapsed() < 5000);
        QCOMPARE(p.database()->loadPeers(QStringLiteral("nusk")).size(), peersBefore);
    }

    // The create dialog by keyboard alone: it opens as the window's dialog with the keyboard
    // on "Create invitation", and Enter presses it. Selecting in the link box publishes
    // nothing (no X primary selection). Its link, accepted on this same computer, is refused
    // at once: in the add dialog, and on the computer list when accepted all the same.
    void ownInvitationByKeyboard()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        const size_t invitationsBefore = p.database()->loadInvitations().size();
        const size_t peersBefore = p.database()->loadPeers(QStringLiteral("nusk")).size();

        w->createInvitationAction()->trigger();
        auto *create = qobject_cast<QQuickWindow *>(w->createInviteDialog());
        QVERIFY(create);
        QVERIFY(QTest::qWaitForWindowExposed(create));
        QCOMPARE(create->transientParent(), w->windowHandle());
        QTRY_COMPARE(QGuiApplication::focusWindow(), create);
        QTRY_VERIFY(item(create, "createButton")->hasActiveFocus());
        const QString link = create->property("url").toString();
        const QString code = create->property("password").toString();

        // Ctrl+A and Shift+End in the link box select nothing, so nothing reaches the
        // selection (where X has one).
        QClipboard *clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection())
            clipboard->setText(QStringLiteral("before"), QClipboard::Selection);
        item(create, "linkText")->forceActiveFocus();
        QTest::keySequence(create, QKeySequence::SelectAll);
        QCOMPARE(item(create, "linkText")->property("selectedText").toString(), QString());
        QTest::keyClick(create, Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(item(create, "linkText")->property("selectedText").toString(), QString());
        if (clipboard->supportsSelection())
            QCOMPARE(clipboard->text(QClipboard::Selection), QStringLiteral("before"));
        QCOMPARE(p.database()->loadInvitations().size(), invitationsBefore);

        // Tab goes on to Cancel and to Create; Enter presses Create.
        QTest::keyClick(create, Qt::Key_Tab);
        QVERIFY(item(create, "cancelButton")->hasActiveFocus());
        QTest::keyClick(create, Qt::Key_Tab);
        QVERIFY(item(create, "createButton")->hasActiveFocus());
        QTest::keyClick(create, Qt::Key_Return);
        QTRY_COMPARE(p.database()->loadInvitations().size(), invitationsBefore + 1);
        QVERIFY(!create->isVisible());
        w->activeInvitationsDialog()->setProperty("visible", false);

        // The own link in the add dialog.
        const QString own = QStringLiteral("This invitation was made on this computer. Accept it on the other computer.");
        w->addInvitationAction()->trigger();
        QObject *dialog = w->processInviteDialog();
        fillAddDialog(dialog, link, code);
        QTRY_COMPARE(hint(dialog), own);
        QVERIFY(!item(dialog, "addButton")->isEnabled());
        dialog->setProperty("visible", false);
        QSignalSpy accepted(w, &MainWindow::invitationAccepted);
        w->addRemoteByInvitationUrl(link, code);
        QTRY_COMPARE(accepted.count(), 1);
        QCOMPARE(accepted.first().first().toBool(), false);
        QCOMPARE(notice(w), own);
        QCOMPARE(p.database()->loadPeers(QStringLiteral("nusk")).size(), peersBefore);
        w->deleteInvitation(create->property("uuid").toString());
    }

    // Two computers of one name: this one keeps the plain name and the other its number,
    // also after this program starts again (its own peer is then loaded after the others).
    void sameNamesKeepTheirNumbersAcrossARestart()
    {
        const QString name = QStringLiteral("twin");
        QTemporaryDir twinDir;
        {
            SqliteDatabase twinDatabase(twinDir.path());
            QVERIFY(twinDatabase.putPeerAttribute({nullUuidString(), peerAttrName(), name}));
        }
        Host twin(twinDir.path(), freePort());
        QVERIFY(twin.start());
        const QStringList invitation = twin.invite(QStringLiteral("7e1a7e1a"));
        QCOMPARE(invitation.size(), 2);

        auto shownNames = [name](Program &p, QString *twinUuid) {
            QStringList shown;
            for (IPeer *peer : p.peerModel()->peers()) {
                if (peer->name() != name)
                    continue;
                shown << peer->displayName();
                if (!peer->isLocal())
                    *twinUuid = peer->uuid();
            }
            return shown;
        };
        QString twinUuid;
        {
            Program p;
            QVERIFY(p.database()->putPeerAttribute({nullUuidString(), peerAttrName(), name}));
            QVERIFY(p.start());
            QSignalSpy answered(p.window(), &MainWindow::inviterAnswered);
            p.window()->setNetworkEnabled(true);
            p.window()->addRemoteByInvitationUrl(invitation[0], QStringLiteral("7e1a7e1a"));
            QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 10000);
            QCOMPARE(answered.first().first().toInt(), int(PeerLoader::InviterPaired));
            QTRY_COMPARE(shownNames(p, &twinUuid).size(), 2);
            QCOMPARE(p.peerModel()->getPeerForUuid(nullUuidString())->displayName(), name);
            QCOMPARE(p.peerModel()->getPeerForUuid(twinUuid)->displayName(), name + " (2)");
        }
        Program again;
        QVERIFY(again.start());
        QString twinAgain;
        QTRY_COMPARE(shownNames(again, &twinAgain).size(), 2);
        QCOMPARE(twinAgain, twinUuid);
        QTRY_COMPARE(again.peerModel()->getPeerForUuid(nullUuidString())->displayName(), name);
        QTRY_COMPARE(again.peerModel()->getPeerForUuid(twinUuid)->displayName(), name + " (2)");
        // This computer's page (its tab and button in the bar) shows the plain name too.
        again.window()->onPeerSelected2(nullUuidString());
        QTRY_COMPARE(again.window()->activeFiler()->windowTitle(), name);
        again.database()->deletePeerAttribute({nullUuidString(), peerAttrName(), QString()});
    }
};

NUSK_WINDOW_TEST_MAIN(TestInvitations)
#include "tst_invitations.moc"
