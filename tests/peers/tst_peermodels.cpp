// The peer list, the access-list model and the invitation model.

#include "db/sqlitedatabase.h"
#include "peers/invitationmodel.h"
#include "peers/ipeer.h"
#include "peers/peeraclmodel.h"
#include "peers/peermodel.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TstPeerModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void peerModelListsAndFinds()
    {
        PeerModel model;
        QCOMPARE(PeerModel::instance(), &model);
        const QHash<int, QByteArray> roles = model.roleNames();
        QCOMPARE(roles.value(257), QByteArray("peerName"));
        QCOMPARE(roles.value(262), QByteArray("peerObject"));
        QCOMPARE(roles.value(264), QByteArray("peerUuid"));

        IPeer local({nullUuidString(), QStringLiteral("nusk"), 0});
        local.setName(QStringLiteral("here"));
        IPeer remote({newUuidString(), QStringLiteral("nusk"), 0});
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        model.addPeer(&local);
        model.addPeer(&remote);
        model.addPeer(&local);   // listed once
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(inserted.count(), 2);

        QCOMPARE(model.getPeerForUuid(nullUuidString()), &local);
        QCOMPARE(model.getPeerForUuid(remote.uuid()), &remote);
        QCOMPARE(model.getPeerForUuid(QString()), nullptr);
        QCOMPARE(model.getPeerForUuid(newUuidString()), nullptr);
        QCOMPARE(model.getPeerForRow(1), &remote);
        QCOMPARE(model.getPeerForRow(2), nullptr);
        QCOMPARE(model.getPeerForRow(-1), nullptr);
        QCOMPARE(model.data(model.index(0), PeerModel::PeerNameRole).toString(), QStringLiteral("here"));
        QCOMPARE(model.data(model.index(0), PeerModel::PeerObjectRole).value<IPeer *>(), &local);

        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        remote.setLinkState(IPeer::LinkUp);
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(model.data(model.index(1), PeerModel::PeerLinkStateRole).toInt(), int(IPeer::LinkUp));
        remote.setLinkState(7);   // not a link state
        QCOMPARE(remote.linkState(), int(IPeer::LinkUp));
    }

    void peerAddedFromAnotherThreadAndRemovedWhenGone()
    {
        PeerModel model;
        QThread worker;
        worker.start();
        QObject ctx;
        ctx.moveToThread(&worker);
        IPeer *peer = nullptr;
        QMetaObject::invokeMethod(&ctx, [&] {
            peer = new IPeer({newUuidString(), QStringLiteral("nusk"), 0});
            model.addPeer(peer);
        }, Qt::BlockingQueuedConnection);
        // The peer's own models live on the application thread, whoever built it.
        QCOMPARE(peer->aclModel()->thread(), QThread::currentThread());
        QTRY_COMPARE(model.rowCount(), 1);
        QCOMPARE(model.getPeerForRow(0), peer);
        QMetaObject::invokeMethod(peer, [peer] { delete peer; }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(model.rowCount(), 0);
        worker.quit();
        worker.wait();
    }

    void aclModelRows()
    {
        PeerAclModel model;
        PeerAclDto folder{QStringLiteral("{a}"), QStringLiteral("Photos"), QStringLiteral("/home/u/Photos"),
                          PeerAclDto::FlagRead | PeerAclDto::FlagSubPaths, QDateTime::fromSecsSinceEpoch(1000)};
        PeerAclDto drive{QStringLiteral("{b}"), QStringLiteral("Disk"), QStringLiteral("/"),
                         PeerAclDto::FlagRead | PeerAclDto::FlagWholeDrive, QDateTime::fromSecsSinceEpoch(2000)};
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.updateAcls({folder, drive});
        model.updateAcls({folder, drive});   // unchanged: no reset
        QCOMPARE(reset.count(), 1);
        QCOMPARE(model.rowCount(), 2);
        const QHash<int, QByteArray> names = model.roleNames();
        QStringList roleList;
        for (const QByteArray &n : names)
            roleList << QString::fromLatin1(n);
        roleList.sort();
        QCOMPARE(roleList, QStringList({"flags", "icon", "mimetype", "name", "selector", "timestamp", "uuid"}));
        QCOMPARE(model.data(model.index(0), PeerAclModel::SelectorRole).toString(), folder.selector);
        QCOMPARE(model.data(model.index(1), PeerAclModel::MimetypeRole).toString(),
                 QStringLiteral("application/vnd.nusk.drive"));
        QVERIFY(!model.data(model.index(5), PeerAclModel::NameRole).isValid());

        // From another thread the update arrives queued.
        QThread worker;
        worker.start();
        QObject ctx;
        ctx.moveToThread(&worker);
        QMetaObject::invokeMethod(&ctx, [&] { model.updateAcls({drive}); }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(model.rowCount(), 1);
        worker.quit();
        worker.wait();
    }

    void invitationModelFollowsDatabase()
    {
        QTemporaryDir dir;
        SqliteDatabase db(dir.path());
        InvitationDto early{newUuidString(), QStringLiteral("1111"), QStringLiteral("11111111"), 100, 100 + 259200};
        QVERIFY(db.putInvitation(early));

        InvitationModel model(&db);
        QCOMPARE(InvitationModel::instance(), &model);
        QCOMPARE(model.rowCount(), 1);
        const QHash<int, QByteArray> names = model.roleNames();
        QVERIFY(names.values().contains("invUuid") && names.values().contains("invExpires"));

        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        InvitationDto later{newUuidString(), QStringLiteral("2222"), QStringLiteral("22222222"), 200, 200 + 259200};
        QVERIFY(db.putInvitation(later));
        QVERIFY(db.putInvitation(later));   // replaced, not duplicated
        QVERIFY(db.putInvitation(early));
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(model.data(model.index(1), InvitationModel::InvPasswordRole).toString(), later.password);
        QCOMPARE(model.data(model.index(1), InvitationModel::InvExpiresRole).toDateTime(),
                 QDateTime::fromSecsSinceEpoch(later.expires));

        // Stored from another thread: the row arrives queued, once.
        QThread worker;
        worker.start();
        QObject ctx;
        ctx.moveToThread(&worker);
        InvitationDto third{newUuidString(), QStringLiteral("3333"), QStringLiteral("33333333"), 300, 300 + 259200};
        QMetaObject::invokeMethod(&ctx, [&] { db.putInvitation(third); }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(model.rowCount(), 3);
        worker.quit();
        worker.wait();

        QVERIFY(db.deleteInvitation(early.uuid));
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(model.data(model.index(0), InvitationModel::InvUuidRole).toString(), later.uuid);
    }
};

QTEST_GUILESS_MAIN(TstPeerModels)
#include "tst_peermodels.moc"
