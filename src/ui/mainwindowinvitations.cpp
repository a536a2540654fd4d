// The window side of pairing: the create, add and active-invitations dialogs and the slots
// that feed and answer them. Codes and links are secrets: they never reach a log line.

#include "ui/mainwindow.h"

#include "app/base/log.h"
#include "com/lanbeacon.h"
#include "com/connectionmanager.h"
#include "db/dto.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "filer/filer.h"
#include "peers/invitation.h"
#include "peers/invitationmodel.h"
#include "peers/ipeer.h"
#include "peers/peerloader.h"
#include "peers/peermodel.h"
#include "peers/peertimings.h"
#include "ui/mainwindow_p.h"
#include "ui/nearbyinvitations.h"

#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QMessageBox>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTimer>
#include <QUuid>
#include <QVariant>
#include <QWindow>

namespace {

void invoke(QObject *object, const char *method)
{
    if (object)
        QMetaObject::invokeMethod(object, method);
}

// Shows a dialog in front of the window, with the keyboard: as a dialog of the window
// (window managers give a new window of its own no focus when it is not the user's latest
// click), and asked for it besides (without a window manager nobody else gives it).
void present(QObject *dialog, QWidget *owner)
{
    auto *window = qobject_cast<QWindow *>(dialog);
    if (window && owner && owner->windowHandle())
        window->setTransientParent(owner->windowHandle());
    invoke(dialog, "show");
    invoke(dialog, "raise");
    invoke(dialog, "requestActivate");
}

// How long a new invitation waits for the relay before it goes without it.
constexpr qint64 kRelayWaitMs = 5000;

bool isCode(const QString &password)
{
    return password.size() == 8;
}

// A link that opens with the code but whose invitation ran out: the inviter would refuse it.
bool isExpired(const InvitationRecord &record)
{
    return record.created + kInvitationLifetimeSecs <= QDateTime::currentSecsSinceEpoch();
}

// A link made on this computer: accepting it here would pair the computer with itself.
bool isOwn(IDatabase *database, const InvitationRecord &record)
{
    OwnKeyState state;
    const crypto::SigningKeyPair own = loadOwnKeyPair(database, &state);
    return own.isValid() && record.publicKey == own.publicKey;
}

// What the add dialog says about a link that opened with its code, or "" when it may be
// accepted.
const char *problemOf(IDatabase *database, bool decoded, const InvitationRecord &record)
{
    return !decoded ? "code" : isExpired(record) ? "expired" : isOwn(database, record) ? "own" : "";
}

// The name the computer list shows for a stored computer: "vm (2)" beside another "vm".
QString listedName(const QString &peerUuid, const QString &fallback)
{
    PeerModel *model = PeerModel::instance();
    IPeer *peer = model && !peerUuid.isEmpty() ? model->getPeerForUuid(peerUuid) : nullptr;
    if (!peer)
        return fallback;
    return peer->displayName().isEmpty() ? peer->name() : peer->displayName();
}

QString refusalText(const char *problem)
{
    if (qstrcmp(problem, "code") == 0)
        return qtTrId("inv-hint-bad-code");
    if (qstrcmp(problem, "expired") == 0)
        return qtTrId("inv-hint-expired");
    if (qstrcmp(problem, "own") == 0)
        return qtTrId("inv-hint-own");
    //% "The invitation could not be accepted."
    return qtTrId("inv-accept-failed");
}

} // namespace

void MainWindow::onCreateInvitation()
{
    if (!createInviteDialog() || !d->database)
        return;
    // A relay still being asked for would be missing from the link, and with it the only way
    // in from behind a symmetric NAT; a relay that works answers within a second.
    if (d->connectionManager && d->connectionManager->isAnnouncementPending()) {
        if (!d->invitationWait.isValid())
            d->invitationWait.start();
        if (d->invitationWait.elapsed() < kRelayWaitMs) {
            QTimer::singleShot(100, this, &MainWindow::onCreateInvitation);
            return;
        }
    }
    d->invitationWait.invalidate();
    PeerModel *model = PeerModel::instance();
    IPeer *own = model ? model->getPeerForUuid(nullUuidString()) : nullptr;

    const QString uuid = QUuid::createUuid().toString(QUuid::WithBraces).toLower();
    const QString code = uuid.mid(1, uuid.indexOf(QLatin1Char('-')) - 1);
    const std::vector<TransportDto> transports =
        d->connectionManager ? d->connectionManager->localTransports() : std::vector<TransportDto>();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const int deviceType = own ? own->deviceType() : 0;
    const QString name = own ? own->name() : QString();
    const QUrl link = encodeInvitationLink(d->database, deviceType & 0xff, uuid, name, code, now, transports);
    if (link.isEmpty()) {
        logPrintf(LogErr1, "could not build an invitation link");
        return;
    }
    d->createInviteDialog->setProperty("stored", false);
    d->createInviteDialog->setProperty("url", link.toString());
    d->createInviteDialog->setProperty("uuid", uuid);
    d->createInviteDialog->setProperty("password", code);
    present(d->createInviteDialog, this);
}

void MainWindow::onInviteCopyToClipboard(const QString &url)
{
    if (url.isEmpty())
        return;
    // A link that has left the dialog may be accepted any time: its invitation must exist by
    // then, whether or not "Create invitation" follows.
    QObject *dialog = d->createInviteDialog;
    if (dialog && url == dialog->property("url").toString()) {
        if (!storeInvitation(dialog->property("uuid").toString(), dialog->property("name").toString(),
                             dialog->property("password").toString()))
            return;
        dialog->setProperty("stored", true);
    }
    QGuiApplication::clipboard()->setText(url, QClipboard::Clipboard);
    logPrintf(LogNfo1, "copied an invitation link to the clipboard");
}

bool MainWindow::storeInvitation(const QString &uuid, const QString &name, const QString &password)
{
    if (!d->database || QUuid(uuid).isNull() || !isCode(password))
        return false;
    for (const InvitationDto &row : d->database->loadInvitations())
        if (row.uuid == uuid)
            return true;   // copied first, confirmed now: its time runs from the copy
    logPrintf(LogNfo1, "create invitation: %s, %s", qUtf8Printable(uuid), qUtf8Printable(name));
    InvitationDto row;
    row.uuid = uuid;
    row.name = name;
    row.password = password;
    row.timestamp = QDateTime::currentSecsSinceEpoch();
    row.expires = row.timestamp + kInvitationLifetimeSecs;
    return d->database->putInvitation(row);
}

void MainWindow::onInvitationCreate(const QString &uuid, const QString &name, const QString &url,
                                    const QString &password)
{
    Q_UNUSED(url)
    if (!d->database || QUuid(uuid).isNull() || !isCode(password))
        return;
    storeInvitation(uuid, name, password);
    showActiveInvitations();
}

void MainWindow::onAddInvitation()
{
    QQmlComponent component(engine(), QUrl(QStringLiteral("qrc:/qml/dialogs/ProcessInviteDialog.qml")));
    QObject *dialog = component.create(engine()->rootContext());
    if (!dialog) {
        logPrintf(LogErr1, "failed to load the add dialog: %s", qUtf8Printable(component.errorString()));
        return;
    }
    if (d->processInviteDialog)
        d->processInviteDialog->deleteLater();
    d->processInviteDialog = dialog;
    connect(dialog, SIGNAL(textChanged(QString, QString)), this, SLOT(addInviteTextChanged(QString, QString)));
    connect(dialog, SIGNAL(addRemote(QString, QString)), this, SLOT(addRemoteByInvitationUrl(QString, QString)));
    dialog->setProperty("nearby", d->nearbyInvitations);
    present(dialog, this);
}

void MainWindow::listenForNearbyInvitations()
{
    com::LanBeacon *beacon = d->connectionManager ? d->connectionManager->lanBeacon() : nullptr;
    if (d->nearbyListening || !beacon)
        return;
    d->nearbyListening = true;
    NearbyInvitations::attach(beacon, this, [this](const QVariantList &computers) {
        d->nearbyInvitations = computers;
        if (d->processInviteDialog)
            d->processInviteDialog->setProperty("nearby", computers);
    });
}

void MainWindow::listenForInviterAnswers()
{
    PeerLoader *loader = PeerLoader::instance();
    if (d->inviterAnswersHeard || !loader)
        return;
    d->inviterAnswersHeard = true;
    connect(loader, &PeerLoader::inviterAnswered, this, &MainWindow::showInviterAnswer, Qt::QueuedConnection);
}

void MainWindow::showInviterAnswer(const QString &name, int answer, const QString &peerUuid)
{
    if (answer == PeerLoader::InviterPaired) {
        const QString text = qtTrId("inv-paired").arg(listedName(peerUuid, name));
        if (Filer *filer = activeFiler())
            filer->showStatusMessage(text, 10000);
        Q_EMIT inviterAnswered(answer, text);
        return;
    }
    const QString text = qtTrId(answer == PeerLoader::InviterRefused ? "inv-answer-refused" : "inv-answer-silent").arg(name);
    if (Filer *filer = activeFiler())
        filer->showStatusMessage(text, 10000);   // in place of "Contacting ..."
    auto *box = new QMessageBox(QMessageBox::Warning, qtTrId("inv-answer-title"), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("inviterAnswer"));
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    Q_EMIT inviterAnswered(answer, text);
}

void MainWindow::addInviteTextChanged(const QString &text, const QString &password)
{
    const QString link = text.trimmed();
    const int check = ++d->inviteCheck;   // an answer still on its way is stale from now on
    QObject *dialog = d->processInviteDialog;
    // `problem` names what is wrong ("link", "code", "expired", "own"), once there is
    // something to judge: a link that is not one, a whole code that does not open it, or an
    // invitation this computer cannot accept.
    auto show = [dialog](bool checking, bool valid, const char *problem) {
        if (!dialog)
            return;
        dialog->setProperty("checking", checking);
        dialog->setProperty("expired", qstrcmp(problem, "expired") == 0);
        dialog->setProperty("problem", QString::fromLatin1(problem));
        dialog->setProperty("valid", valid);
    };
    if (!link.isEmpty() && !isInvitationLinkForm(link)) {
        show(false, false, "link");
        return;
    }
    if (link.isEmpty() || !isCode(password)) {
        // A code alone is kept for invitations announced on the local network.
        show(false, link.isEmpty() && isCode(password), "");
        return;
    }
    IDatabase *database = d->database;
    auto judge = [database](bool ok, const InvitationRecord &record) { return problemOf(database, ok, record); };
    if (link == d->checkedText && password == d->checkedPassword) {
        const char *problem = judge(d->checkedOk, d->checkedRecord);
        show(false, !*problem, problem);
        return;
    }
    show(true, false, "");
    decodeInvitationLinkAsync(link, password, this, [this, check, link, password, show, judge](bool ok, const InvitationRecord &record) {
        d->checkedText = link;
        d->checkedPassword = password;
        d->checkedOk = ok;
        d->checkedRecord = record;
        if (check != d->inviteCheck)
            return;
        const char *problem = judge(ok, record);
        show(false, !*problem, problem);
        Q_EMIT invitationChecked(!*problem);
    });
}

void MainWindow::addRemoteByInvitationUrl(const QString &text, const QString &password)
{
    if (Filer *filer = activeFiler())
        filer->gotoPath(QStringLiteral("%machinelist"));
    if (!d->database || !isCode(password))
        return;
    const QString link = text.trimmed();
    if (link.isEmpty()) {
        Q_EMIT invitationAccepted(storeInvitationPassword(d->database, password));
        return;
    }
    auto accept = [this, password](bool ok, const InvitationRecord &record) {
        // Refused past its end as well: the inviter would not admit it.
        const char *problem = problemOf(d->database, ok, record);
        const bool stored = !*problem && d->database && acceptDecodedInvitation(d->database, record, password);
        // The person now looks at the computer list: what happens is said there, at once.
        Filer *filer = activeFiler();
        if (!stored) {
            if (filer)
                filer->showStatusMessage(refusalText(problem), 10000);
        } else if (const QString known = d->database->findPeerByKey(record.publicKey); known.isEmpty()) {
            if (filer)
                filer->showStatusMessage(qtTrId("inv-contacting").arg(record.name), peerTimings().inviterAnswerMs);
        } else if (filer) {
            filer->showStatusMessage(qtTrId("inv-paired").arg(listedName(known, record.name)), 10000);   // known already
        }
        Q_EMIT invitationAccepted(stored);
    };
    if (link == d->checkedText && password == d->checkedPassword)
        accept(d->checkedOk, d->checkedRecord);
    else
        decodeInvitationLinkAsync(link, password, this, accept);
}

void MainWindow::deleteInvitation(const QString &uuid)
{
    if (d->database)
        d->database->deleteInvitation(uuid);
}

void MainWindow::showActiveInvitations()
{
    present(activeInvitationsDialog(), this);
}

void MainWindow::onInvitationRowsChanged(bool removed)
{
    InvitationModel *model = InvitationModel::instance();
    const bool any = model && model->rowCount() > 0;
    if (d->activeInvitationsAction)
        d->activeInvitationsAction->setEnabled(any);
    if (removed && !any)
        invoke(d->activeInvitationsDialog, "hide");
}
