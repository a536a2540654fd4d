// The add dialog lists the computers on the local network that announce an open invitation:
// a real announcement, sent to the beacon's port while the dialog is open, shows up by name as
// plain text; with nobody announcing there is nothing to see. The test runs in a network
// namespace of its own, so only its own program listens on the beacon's port.

#include "testutil_window.h"

#include "com/connectionmanager.h"
#include "com/lanbeacon.h"

#include <QAction>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUdpSocket>
#include <QtTest>

#include <sched.h>
#include <unistd.h>

namespace {

void collectNames(QQuickItem *item, QStringList *names, QList<QQuickItem *> *labels)
{
    if (item->objectName() == QLatin1String("nearbyName") && item->isVisible()) {
        names->append(item->property("text").toString());
        labels->append(item);
    }
    for (QQuickItem *child : item->childItems())
        collectNames(child, names, labels);
}

QStringList shownNames(QObject *dialog, QList<QQuickItem *> *labels = nullptr)
{
    QStringList names;
    QList<QQuickItem *> found;
    if (auto *window = qobject_cast<QQuickWindow *>(dialog))
        collectNames(window->contentItem(), &names, &found);
    if (labels)
        *labels = found;
    return names;
}

} // namespace

class TestNearbyInvitations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root for a network namespace of its own");
        if (unshare(CLONE_NEWNET) != 0)
            QSKIP("cannot make a network namespace (unshare)");
        QProcess ip;
        ip.start(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
        if (!ip.waitForFinished(5000) || ip.exitCode() != 0)
            QSKIP("iproute2 (ip) cannot bring up the namespace's loopback");
    }

    void announcedComputerShownInTheAddDialog()
    {
        Program p;
        QVERIFY(p.start());
        MainWindow *w = p.window();
        w->setNetworkEnabled(true);
        w->addInvitationAction()->trigger();
        QObject *dialog = w->processInviteDialog();
        QVERIFY(QTest::qWaitForWindowExposed(qobject_cast<QQuickWindow *>(dialog)));
        QQuickItem *section = dialog->findChild<QQuickItem *>(QStringLiteral("nearbySection"));
        QVERIFY(section);
        QVERIFY(shownNames(dialog).isEmpty());
        // The list's room is kept while it is empty: nothing below moves when a name comes.
        QQuickItem *accept = dialog->findChild<QQuickItem *>(QStringLiteral("addButton"));
        const QPointF acceptAt = accept->mapToScene(QPointF());

        // Markup in a name is the name, not formatting.
        const QString name = QStringLiteral("Study <b>PC</b>");
        const QByteArray datagram = com::LanBeacon::encode(QByteArray(16, 'n'), {name, 2, 4100, 4101});
        QUdpSocket sender;
        QTRY_VERIFY_WITH_TIMEOUT((sender.writeDatagram(datagram, QHostAddress::LocalHost, com::LanBeacon::kPort),
                                  shownNames(dialog).contains(name)),
                                 10000);
        QCOMPARE(accept->mapToScene(QPointF()), acceptAt);
        QList<QQuickItem *> labels;
        QCOMPARE(shownNames(dialog, &labels), QStringList{name});
        QCOMPARE(labels.first()->property("textFormat").toInt(), 0);   // Text.PlainText
        QVERIFY(labels.first()->height() > 0);

        // The beacon forgets a computer it no longer hears; the list keeps it a while longer.
        com::LanBeacon *beacon = p.manager()->lanBeacon();
        QMetaObject::invokeMethod(beacon, [beacon] { beacon->setIntervals(60000, 200); }, Qt::BlockingQueuedConnection);
        auto heard = [beacon] {
            int n = 0;
            QMetaObject::invokeMethod(beacon, [beacon, &n] { n = beacon->neighbours().size(); }, Qt::BlockingQueuedConnection);
            return n;
        };
        QTRY_COMPARE(heard(), 0);
        QTest::qWait(300);
        QCOMPARE(shownNames(dialog), QStringList{name});

        // A dialog opened later starts with what is already known.
        dialog->setProperty("visible", false);
        w->addInvitationAction()->trigger();
        QTRY_VERIFY(w->processInviteDialog() != dialog);
        QTRY_COMPARE(shownNames(w->processInviteDialog()), QStringList{name});
    }
};

NUSK_WINDOW_TEST_MAIN(TestNearbyInvitations)
#include "tst_nearbyinvitations.moc"
