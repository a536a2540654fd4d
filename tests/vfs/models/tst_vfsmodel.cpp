// The file-system model fed through a hand-driven client: binding, drive rows, listing
// merges in batches, the sweep, type changes, recycling, paths, watches and resolution.

#include "tst_vfsmodel_support.h"

#include <QSignalSpy>
#include <QtTest>

class TestVfsModel : public QObject
{
    Q_OBJECT

private slots:
    void bindingMakesOneSharesRow();
    void driveRowsFollowTheDriveModel();
    void bigListingMergesInBatches();
    void relistingRemovesAppendsAndUpdates();
    void failedListingRemovesNothing();
    void typeChangesInPlace();
    void recycledEntriesKeepNothing();
    void passCounterDoesNotWrap();
    void pathFormsAndNormalisation();
    void fetchRulesAndChangeNotifications();
    void watchTable();
    void resolvePathListsMissingLevels();
    void missingPathBelowAShareFailsOnceListed();
    void pathOnNoDriveFailsOnceTheDrivesAreKnown();
    void staleAnnouncementLeavesHeldListingAlone();
    void sweepRemovesVanishedBlocksAtOnce();
    void useCountsAndPoolStayBounded();
};

void TestVfsModel::bindingMakesOneSharesRow()
{
    ModelRig rig;
    QCOMPARE(rig.drives->objectName(), rig.peer->uuid());
    QCOMPARE(rig.model->peer(), static_cast<IPeer *>(rig.peer));
    QCOMPARE(rig.model->rowCount(), 1);
    const QModelIndex shares = rig.model->index(0, 0);
    QCOMPARE(shares.data(VfsModel::PathRole).toString(), QStringLiteral("%shares"));
    QCOMPARE(shares.data(VfsModel::OrigTypeRole).toInt(), int(VfsModel::ShareType));
    QCOMPARE(shares.data(VfsModel::MimeRole).toString(), QStringLiteral("application/vnd.nusk.drive"));

    // A second binding changes nothing.
    bindPeerModels(rig.peer);
    rig.model->setPeer(rig.peer);
    QCOMPARE(rig.model->rowCount(), 1);
    QCOMPARE(int(rig.timers.size()), 3);

    QCOMPARE(rig.model->data(QModelIndex(), VfsModel::MimeRole).toString(),
             QStringLiteral("application/x-directory"));
    QCOMPARE(rig.model->data(QModelIndex(), VfsModel::FlagsRole).toInt(), 0);
    QVERIFY(!rig.model->index(1, 0).isValid());
    QVERIFY(!rig.model->index(-1, 0).isValid());
    QVERIFY(!rig.model->parent(shares).isValid());
}

void TestVfsModel::driveRowsFollowTheDriveModel()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/", "", 500000000000ULL),
                            driveRecord("/media/usb", "Stick", 16000000000ULL, 1),
                            driveRecord("/mnt/big", "Big")}));
    QCOMPARE(rig.drives->rowCount(), 3);
    QCOMPARE(rig.model->rowCount(), 4);
    QCOMPARE(rig.model->pathSeparator(), QLatin1Char('/'));
    const QModelIndex root = rig.model->indexForPath("/");
    QVERIFY(root.isValid());
    QCOMPARE(root.data(VfsModel::TypeRole).toInt(), int(VfsModel::DriveType));
    QCOMPARE(root.data(VfsModel::SizeRole).toULongLong(), 500000000000ULL);
    QVERIFY(rig.model->hasChildren(root));

    // The stick is pulled: the drive model drops it, and so does the file model.
    QVERIFY(rig.listDrives({driveRecord("/", "", 500000000000ULL), driveRecord("/mnt/big", "Big")}));
    QCOMPARE(rig.drives->rowCount(), 2);
    QCOMPARE(rig.model->rowCount(), 3);
    QVERIFY(!rig.model->indexForPath("/media/usb").isValid());
    QVERIFY(rig.model->indexForPath("/mnt/big").isValid());

    // Letter drives: a backslash peer, D: goes between C: and E:, network drives get their
    // own MIME type and name.
    ModelRig win;
    QVERIFY(win.listDrives({driveRecord("C:"), driveRecord("E:")}));
    QVERIFY(win.listDrives({driveRecord("C:"), driveRecord("D:"), driveRecord("E:"),
                            driveRecord("Z:", "\\\\server\\share", 1000, 2)}));
    QCOMPARE(win.model->pathSeparator(), QLatin1Char('\\'));
    QStringList paths;
    for (int row = 0; row < win.model->rowCount(); ++row)
        paths << win.model->index(row, 0).data(VfsModel::PathRole).toString();
    QCOMPARE(paths, (QStringList{"%shares", "C:", "D:", "E:", "Z:"}));
    const QModelIndex z = win.model->indexForPath("Z:");
    QCOMPARE(z.data(VfsModel::MimeRole).toString(), QStringLiteral("application/vnd.nusk.network"));
    QCOMPARE(z.data().toString(), QStringLiteral("share (\\\\server) (Z:)"));
}

void TestVfsModel::bigListingMergesInBatches()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    const QModelIndex root = rig.model->indexForPath("/");
    rig.model->fetchMore(root);
    const int pending = rig.model->pendingListingCount();
    std::vector<VfsDirectoryEntry> records;
    for (int i = 0; i < 1000; ++i)
        records.push_back(fileRecord(QStringLiteral("f%1").arg(i), quint64(i)));
    QVERIFY(rig.client.answer("/", records));
    pumpEvents();

    QSignalSpy inserted(rig.model, &QAbstractItemModel::rowsInserted);
    QList<int> sizes;
    for (int firing = 0; firing < 3; ++firing) {
        QVERIFY(rig.checkTimer()->fire());
        sizes << inserted.last().at(2).toInt() - inserted.last().at(1).toInt() + 1;
        QVERIFY(!rig.model->index(0, 0, root).data(Qt::DisplayRole).isNull());
    }
    // The first batch is small so the first rows show at once; later ones grow with the folder.
    QCOMPARE(sizes, (QList<int>{300, 300, 400}));
    QCOMPARE(rig.model->rowCount(root), 1000);
    QCOMPARE(rig.model->pendingListingCount(), pending); // the fourth firing completes it

    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);
    QVERIFY(rig.checkTimer()->fire());
    QCOMPARE(rig.model->pendingListingCount(), pending - 1);
    quint64 sum = 0;
    for (int i = 0; i < 1000; ++i)
        sum += quint64(i);
    QCOMPARE(root.data(VfsModel::ChildSizeRole).toULongLong(), sum);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(rig.model->index(999, 0, root).data().toString(), QStringLiteral("f999"));
    // A count of bytes, in any locale worded by the catalogue (none here).
    QCOMPARE(rig.model->index(0, VfsModel::SizeColumn, root).data().toString(), QStringLiteral("0 bytes"));
}

void TestVfsModel::relistingRemovesAppendsAndUpdates()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {fileRecord("a", 1, 1000), fileRecord("b", 2), fileRecord("c", 3)}));
    QCOMPARE(rig.childNames("/"), (QStringList{"a", "b", "c"}));
    QPersistentModelIndex c = rig.model->indexForPath("/c");

    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(rig.model, &QAbstractItemModel::rowsRemoved);
    QVERIFY(rig.list("/", {fileRecord("d", 4), fileRecord("c", 3), fileRecord("a", 10, 2000)}));
    QCOMPARE(rig.childNames("/"), (QStringList{"a", "c", "d"}));
    QCOMPARE(removed.count(), 1);
    QVERIFY(c.isValid());
    QCOMPARE(c.data().toString(), QStringLiteral("c"));

    const QModelIndex a = rig.model->indexForPath("/a");
    QCOMPARE(a.data(VfsModel::SizeRole).toULongLong(), 10ULL);
    QCOMPARE(a.data(VfsModel::MTimeRole).toDateTime().toMSecsSinceEpoch(), 2000LL);
    bool sawA = false;
    for (const QList<QVariant> &args : changed) {
        if (args.at(0).toModelIndex() != a)
            continue;
        sawA = true;
        const auto roles = args.at(2).value<QVector<int>>();
        QVERIFY(roles.contains(VfsModel::SizeRole));
        QVERIFY(roles.contains(VfsModel::MTimeRole));
    }
    QVERIFY(sawA);
    // An unchanged row gets no signal.
    for (const QList<QVariant> &args : changed)
        QVERIFY(args.at(0).toModelIndex() != QModelIndex(c));
}

void TestVfsModel::failedListingRemovesNothing()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {fileRecord("a"), fileRecord("b"), fileRecord("c")}));
    const QModelIndex root = rig.model->indexForPath("/");
    rig.nowMs += 5000;
    QVERIFY(rig.model->canFetchMore(root));
    rig.model->fetchMore(root);
    QVERIFY(!rig.model->canFetchMore(root));
    const int pending = rig.model->pendingListingCount();
    // The second page timed out: the record holds page one only.
    QVERIFY(rig.client.answer("/", {fileRecord("a")}, true));
    QCOMPARE(rig.mergeAll(), 0);
    QCOMPARE(rig.childNames("/"), (QStringList{"a", "b", "c"}));
    QCOMPARE(rig.model->pendingListingCount(), pending - 1);
    QVERIFY(rig.model->canFetchMore(root));
}

void TestVfsModel::typeChangesInPlace()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {fileRecord("x", 5), dirRecord("y")}));
    QVERIFY(rig.list("/y", {fileRecord("inner")}));
    QCOMPARE(rig.childNames("/y"), QStringList{"inner"});

    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);
    QVERIFY(rig.list("/", {dirRecord("x"), fileRecord("y", 7)}));
    const QModelIndex x = rig.model->indexForPath("/x");
    const QModelIndex y = rig.model->indexForPath("/y");
    QCOMPARE(x.data(VfsModel::TypeRole).toInt(), int(VfsModel::DirectoryType));
    QCOMPARE(x.data(VfsModel::MimeRole).toString(), QStringLiteral("application/x-directory"));
    QCOMPARE(x.data(VfsModel::SizeRole).toULongLong(), 0ULL);
    QVERIFY(rig.model->hasChildren(x));
    QCOMPARE(y.data(VfsModel::TypeRole).toInt(), int(VfsModel::FileType));
    QCOMPARE(y.data(VfsModel::SizeRole).toULongLong(), 7ULL);
    QCOMPARE(rig.model->rowCount(y), 0);
    QVERIFY(!rig.model->indexForPath("/y/inner").isValid());
    bool typeSignalled = false;
    for (const QList<QVariant> &args : changed)
        typeSignalled |= args.at(2).value<QVector<int>>().contains(VfsModel::TypeRole);
    QVERIFY(typeSignalled);

    // Hidden follows the listing too.
    VfsDirectoryEntry hidden = fileRecord("y", 7);
    hidden.hidden = 1;
    QVERIFY(rig.list("/", {dirRecord("x"), hidden}));
    QVERIFY(rig.model->indexForPath("/y").data(VfsModel::HiddenRole).toBool());
}

void TestVfsModel::recycledEntriesKeepNothing()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {dirRecord("sub"), fileRecord("pic.jpg")}));
    const QModelIndex sub = rig.model->indexForPath("/sub");
    const QModelIndex pic = rig.model->indexForPath("/pic.jpg");
    rig.model->fetchMore(sub);
    QVERIFY(rig.client.listing("/sub"));
    const int pending = rig.model->pendingListingCount();
    rig.model->requestPreview(pic);
    VfsEntry *picEntry = static_cast<VfsEntry *>(pic.internalPointer());
    QCOMPARE(picEntry->previewState, 2);
    rig.model->storePreview(picEntry, QImage(4, 4, QImage::Format_ARGB32));
    QVERIFY(rig.model->hasCachedPreview(picEntry));

    QVERIFY(rig.list("/", {}));
    QCOMPARE(rig.model->rowCount(rig.model->indexForPath("/")), 0);
    // The listing out for the removed folder is withdrawn from the client.
    QCOMPARE(int(rig.client.withdrawn.size()), 1);
    QVERIFY(!rig.client.listing("/sub"));
    QCOMPARE(rig.model->pendingListingCount(), pending - 1);
    QCOMPARE(picEntry->previewState, 0);
    QVERIFY(!rig.model->hasCachedPreview(picEntry));
    QCOMPARE(rig.model->pooledEntryCount(), 2);

    // Pooled entries come back clean.
    QVERIFY(rig.list("/", {fileRecord("new.jpg"), fileRecord("other")}));
    QCOMPARE(rig.model->pooledEntryCount(), 0);
    for (const QString &path : {QStringLiteral("/new.jpg"), QStringLiteral("/other")}) {
        auto *entry = static_cast<VfsEntry *>(rig.model->indexForPath(path).internalPointer());
        QVERIFY(!rig.model->hasCachedPreview(entry));
        QVERIFY(entry->previewState < 2);
        QVERIFY(!entry->listJob);
        QVERIFY(entry->children.empty());
    }
}

void TestVfsModel::passCounterDoesNotWrap()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/"), driveRecord("/data")}));
    QVERIFY(rig.list("/data", {}));
    QVERIFY(rig.list("/", {fileRecord("stale")}));
    QCOMPARE(rig.client.listings.size(), size_t(1)); // only the shares row's
    // Passes handed out since the one that saw the row; each listing below takes one more.
    const int since = int(rig.model->listingPass())
                      - int(static_cast<VfsEntry *>(rig.model->indexForPath("/stale").internalPointer())->stamp);
    QVERIFY(since >= 0 && since < 10);
    for (int i = since; i < 255; ++i)
        QVERIFY(rig.list("/data", {}));
    // 256 passes after the one that saw it, the row is gone for real.
    QVERIFY(rig.list("/", {}));
    QCOMPARE(rig.childNames("/"), QStringList());
}

void TestVfsModel::pathFormsAndNormalisation()
{
    QCOMPARE(VfsModel::normalizePath("C:/Users/x", QLatin1Char('\\')), QStringLiteral("C:\\Users\\x"));
    QCOMPARE(VfsModel::normalizePath("C:\\a/b", QLatin1Char('\\')), QStringLiteral("C:\\a/b"));
    QCOMPARE(VfsModel::normalizePath("\\home\\u", QLatin1Char('/')), QStringLiteral("/home/u"));
    QCOMPARE(VfsModel::normalizePath("a//b", QChar()), QStringLiteral("a//b"));

    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/"), driveRecord("/media/usb", "Stick")}));
    QVERIFY(rig.list("/", {dirRecord("home")}));
    QVERIFY(rig.list("/home", {fileRecord("notes.txt")}));
    const QModelIndex notes = rig.model->indexForPath("/home/notes.txt");
    QVERIFY(notes.isValid());
    QCOMPARE(notes.data(VfsModel::PathRole).toString(), QStringLiteral("/home/notes.txt"));
    QCOMPARE(notes.data(VfsModel::PathListRole).toStringList(), (QStringList{"/", "home", "notes.txt"}));
    QCOMPARE(notes.sibling(notes.row(), VfsModel::PathColumn).data().toString(),
             QStringLiteral("/home/notes.txt"));
    QCOMPARE(rig.model->indexForPath("\\home\\notes.txt"), notes);
    QVERIFY(!rig.model->indexForPath("/home/notes").isValid());
    QVERIFY(!rig.model->indexForPath("/media/usb2").isValid());

    // Shares are addressed by uuid, shown by name.
    const QModelIndex sharesRow = rig.model->index(0, 0);
    rig.model->fetchMore(sharesRow);
    VfsDirectoryEntry share = dirRecord("Photos");
    share.type = 8;
    share.linkTargetType = 2;
    share.linkTarget = QStringLiteral("{aaaaaaaa-0000-0000-0000-000000000001}");
    QVERIFY(rig.client.answer("%shares", {share}));
    rig.mergeAll();
    const QModelIndex photos = rig.model->index(0, 0, sharesRow);
    QCOMPARE(photos.data(VfsModel::PathRole).toString(),
             QStringLiteral("%shares/{aaaaaaaa-0000-0000-0000-000000000001}"));
    QCOMPARE(photos.data(VfsModel::DisplayPathListRole).toStringList().last(), QStringLiteral("Photos"));
    QCOMPARE(photos.data(VfsModel::TypeRole).toInt(), int(VfsModel::DirectoryType));
    QCOMPARE(photos.data(VfsModel::OrigTypeRole).toInt(), int(VfsModel::ShareType));

    // A backslash peer lists C: as "C:\" and finds C:/Users as C:\Users.
    ModelRig win;
    QVERIFY(win.listDrives({driveRecord("C:")}));
    const QModelIndex c = win.model->indexForPath("C:");
    win.model->fetchMore(c);
    QVERIFY(win.client.answer("C:\\", {dirRecord("Users")}, false, QLatin1Char('\\')));
    win.mergeAll();
    const QModelIndex users = win.model->indexForPath("C:\\Users");
    QVERIFY(users.isValid());
    QCOMPARE(win.model->indexForPath("C:/Users"), users);
    QCOMPARE(users.data(VfsModel::PathRole).toString(), QStringLiteral("C:\\Users"));
}

void TestVfsModel::fetchRulesAndChangeNotifications()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {dirRecord("d"), fileRecord("f")}));
    const QModelIndex root = rig.model->indexForPath("/");
    const QModelIndex f = rig.model->indexForPath("/f");
    QVERIFY(!rig.model->canFetchMore(root)); // listed just now
    QVERIFY(!rig.model->canFetchMore(f));
    QCOMPARE(rig.model->rowCount(f), 0);
    QVERIFY(!rig.model->hasChildren(f));

    // A change notification lists again at once, limit or not.
    rig.nowMs += 1000;
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    QVERIFY(rig.client.listing("/"));
    QVERIFY(rig.client.answer("/", {dirRecord("d")}));
    rig.mergeAll();
    QCOMPARE(rig.childNames("/"), QStringList{"d"});

    // Changes told while a listing is out may be newer than it: one more listing follows
    // when it is in, however many came meanwhile.
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    QVERIFY(rig.client.listing("/"));
    const int asked = rig.client.listingRequests;
    rig.client.directoryChanged(QStringLiteral("/"));
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    QCOMPARE(rig.client.listingRequests, asked);
    QVERIFY(rig.client.answer("/", {dirRecord("d")}));
    rig.mergeAll();
    QCOMPARE(rig.client.listingRequests, asked + 1);
    QVERIFY(rig.client.answer("/", {dirRecord("d"), fileRecord("new")}));
    rig.mergeAll();
    QCOMPARE(rig.childNames("/"), (QStringList{"d", "new"}));
    QCOMPARE(rig.client.listingRequests, asked + 1);
    // A listing that fails is not followed by another.
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    QVERIFY(rig.client.answer("/", {}, true));
    rig.mergeAll();
    QVERIFY(!rig.client.listing("/"));
    rig.client.directoryChanged(QStringLiteral("/"));
    pumpEvents();
    QVERIFY(rig.client.answer("/", {dirRecord("d")}));
    rig.mergeAll();
    QCOMPARE(rig.childNames("/"), QStringList{"d"});

    rig.nowMs += 3999;
    QVERIFY(!rig.model->canFetchMore(root));
    rig.nowMs += 1;
    rig.peer->setLinkState(IPeer::LinkDown);
    QVERIFY(!rig.model->canFetchMore(root));
    rig.peer->setLinkState(IPeer::LinkConnecting);
    QVERIFY(!rig.model->canFetchMore(root));
    rig.peer->setLinkState(IPeer::LinkUp);
    QVERIFY(rig.model->canFetchMore(root) || rig.client.listing("/"));

    // "%drives" asks for the drive list even within 20 s of the last.
    rig.client.directoryChanged(QStringLiteral("%drives"));
    pumpEvents();
    QCOMPARE(int(rig.client.driveListings.size()), 1);

    // Expanded marks folders only; renames go to the peer, not into the row.
    rig.model->expanded(rig.model->indexForPath("/d"));
    QVERIFY(static_cast<VfsEntry *>(rig.model->indexForPath("/d").internalPointer())->expanded);
    QSignalSpy renames(rig.model, &VfsModel::renameRequest);
    QVERIFY(!rig.model->setData(rig.model->indexForPath("/d"), QStringLiteral("e")));
    QCOMPARE(renames.count(), 1);
    QCOMPARE(rig.model->indexForPath("/d").data().toString(), QStringLiteral("d"));
    QVERIFY(rig.model->setData(rig.model->indexForPath("/d"), 2, VfsModel::FlagsRole));
    QVERIFY(!rig.model->setData(rig.model->indexForPath("/d"), 2, VfsModel::FlagsRole));
    QVERIFY(rig.model->indexForPath("/d").data(Qt::BackgroundRole).isValid());
}

void TestVfsModel::watchTable()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/"), driveRecord("/media/usb", "Stick")}));
    QVERIFY(rig.list("/", {dirRecord("media"), dirRecord("photos", 42)}));

    QSignalSpy found(rig.model, &VfsModel::foundWatchItem);
    rig.model->watchEntry("/photos", 0); // no file id: nothing recorded
    rig.model->watchEntry("/photos", 42);
    rig.model->unwatchEntry("/elsewhere", 42); // another path keeps the record
    // The same file id on another drive is another key.
    rig.model->watchEntry("/media/usb/photos", 7);
    QVERIFY(rig.list("/", {dirRecord("media"), dirRecord("renamed", 42), dirRecord("other", 7)}));
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("/renamed"));
    QCOMPARE(found.at(0).at(1).toULongLong(), 42ULL);
    QCOMPARE(found.at(0).at(2).toString(), QStringLiteral("/photos"));

    // "/media/usb2/..." is not on the stick: the root drive's key applies.
    rig.model->watchEntry("/media/usb2/x", 7);
    rig.nowMs += 5000;
    QVERIFY(rig.list("/", {dirRecord("media"), dirRecord("renamed", 42), dirRecord("other", 7)}));
    QCOMPARE(found.count(), 3);
    QCOMPARE(found.at(2).at(2).toString(), QStringLiteral("/media/usb2/x"));

    rig.model->unwatchEntry("/photos", 42);
    rig.model->unwatchEntry("/media/usb2/x", 7);
    QVERIFY(rig.list("/", {dirRecord("media"), dirRecord("renamed", 42), dirRecord("other", 7)}));
    QCOMPARE(found.count(), 3);
}

void TestVfsModel::resolvePathListsMissingLevels()
{
    ModelRig rig;
    QSignalSpy resolved(rig.model, &VfsModel::pathResolved);
    rig.model->resolvePath("/home/user", true);
    QVERIFY(rig.resolveTimer()->fire()); // no drives yet: asks for them
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.resolveTimer()->fire()); // "/" found: list it, with watching
    VfsListDirectoryJob *job = rig.client.listing("/");
    QVERIFY(job);
    QVERIFY(job->watch);
    QVERIFY(rig.client.answer("/", {dirRecord("home")}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer("/home", {dirRecord("user")}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 1);
    QCOMPARE(resolved.at(0).at(0).toInt(), 0);
    QCOMPARE(resolved.at(0).at(1).toString(), QStringLiteral("/home/user"));

    // A path that is not there fails once its parent is listed; a second resolution
    // interrupts the first, which follows it.
    rig.nowMs += 5000;
    rig.model->resolvePath("/home/missing", false);
    rig.model->resolvePath("/home/user", false);
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.last().at(1).toString(), QStringLiteral("/home/user"));
    QCOMPARE(rig.model->resolvingPath(), QStringLiteral("/home/missing"));
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer("/home", {dirRecord("user")}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.last().at(0).toInt(), 1);
    QCOMPARE(resolved.last().at(1).toString(), QStringLiteral("/home/missing"));

    // Nothing resolves past the time limit.
    rig.model->resolvePath("/nowhere/deep", false);
    rig.nowMs += 10001;
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.last().at(0).toInt(), 1);
    QCOMPARE(resolved.last().at(1).toString(), QStringLiteral("/nowhere/deep"));
}

// A computer that shows only its shares has a single top-level row: a name missing below a
// share is reported as soon as the share's listing shows it missing, not when the lookup runs
// out of time; a listing made before the lookup does not count.
void TestVfsModel::missingPathBelowAShareFailsOnceListed()
{
    ModelRig rig;
    QSignalSpy resolved(rig.model, &VfsModel::pathResolved);
    const QString music = QStringLiteral("%shares/{aaaaaaaa-0000-0000-0000-000000000001}");
    VfsDirectoryEntry share = dirRecord("Music");
    share.type = 8;
    share.linkTargetType = 2;
    share.linkTarget = QStringLiteral("{aaaaaaaa-0000-0000-0000-000000000001}");

    rig.model->resolvePath(music + QStringLiteral("/Live"), true);
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer("%shares", {share}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer(music, {dirRecord("Live")}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 1);
    QCOMPARE(resolved.last().at(0).toInt(), 0);
    QCOMPARE(rig.model->rowCount(), 1);

    // Missing: said once the share's own listing is in, with no time passing.
    rig.nowMs += 5000;
    rig.model->resolvePath(music + QStringLiteral("/Gone/deeper"), true);
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer(music, {dirRecord("Live")}));
    rig.mergeAll();
    for (int i = 0; i < 3 && resolved.count() == 1; ++i)
        QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 2);
    QCOMPARE(resolved.last().at(0).toInt(), 1);
    QCOMPARE(resolved.last().at(1).toString(), music + QStringLiteral("/Gone/deeper"));
    QVERIFY(!rig.resolveTimer()->isActive());

    // Listed a moment ago, before "Studio" was made: listed once more for the lookup.
    rig.model->resolvePath(music + QStringLiteral("/Studio"), true);
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.answer(music, {dirRecord("Live"), dirRecord("Studio")}));
    rig.mergeAll();
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 3);
    QCOMPARE(resolved.last().at(0).toInt(), 0);

    // A share that went: the shares' listing shows it missing.
    rig.model->resolvePath(QStringLiteral("%shares/{bbbbbbbb-0000-0000-0000-000000000002}/x"), true);
    for (int i = 0; i < 4 && resolved.count() == 3; ++i) {
        QVERIFY(rig.resolveTimer()->fire());
        while (rig.client.answer("%shares", {share}))
            rig.mergeAll();
    }
    QCOMPARE(resolved.count(), 4);
    QCOMPARE(resolved.last().at(0).toInt(), 1);
}

// A computer that shares folders but no drive answers the drive listing with none: a path
// outside its shares lies on no drive of it, and is reported missing once that answer is in,
// not when the lookup runs out of time. An answer of long ago is asked again first.
void TestVfsModel::pathOnNoDriveFailsOnceTheDrivesAreKnown()
{
    ModelRig rig;
    QSignalSpy resolved(rig.model, &VfsModel::pathResolved);
    rig.model->resolvePath("/home/me/Music", false);
    QVERIFY(rig.resolveTimer()->fire());   // no drives known: asks for them
    QCOMPARE(rig.client.driveListings.size(), std::size_t(1));
    QVERIFY(rig.resolveTimer()->fire());   // the answer is still out
    QCOMPARE(resolved.count(), 0);
    QVERIFY(rig.client.answerDrives({}));
    pumpEvents();
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 1);
    QVERIFY(!rig.resolveTimer()->isActive());
    QCOMPARE(resolved.last().at(0).toInt(), 1);
    QCOMPARE(resolved.last().at(1).toString(), QStringLiteral("/home/me/Music"));

    // Known a moment ago: said at once, nothing asked.
    rig.nowMs += 1000;
    rig.model->resolvePath("/srv/data", false);
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 2);
    QCOMPARE(resolved.last().at(0).toInt(), 1);
    QVERIFY(rig.client.driveListings.empty());

    // Known long ago: asked again, and a drive that came since is looked in.
    rig.nowMs += 60000;
    rig.model->resolvePath("/srv/data", false);
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.resolveTimer()->fire());
    QCOMPARE(resolved.count(), 2);
    QVERIFY(rig.client.answerDrives({driveRecord("/srv")}));
    pumpEvents();
    QVERIFY(rig.resolveTimer()->fire());
    QVERIFY(rig.client.listing("/srv"));
    QCOMPARE(resolved.count(), 2);

    // This computer always has drives: an answer without any (its drives not read yet, on a
    // loaded machine) leaves the lookup waiting for them.
    ModelRig here(QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
    QSignalSpy answered(here.model, &VfsModel::pathResolved);
    here.model->resolvePath("/home/me", false);
    QVERIFY(here.resolveTimer()->fire());
    QVERIFY(here.client.answerDrives({}));
    pumpEvents();
    QVERIFY(here.resolveTimer()->fire());
    QVERIFY(here.resolveTimer()->isActive());
    QCOMPARE(answered.count(), 0);
    QVERIFY(here.listDrives({driveRecord("/")}));
    QVERIFY(here.resolveTimer()->fire());
    QVERIFY(here.client.listing("/"));
    QCOMPARE(answered.count(), 0);
}

void TestVfsModel::staleAnnouncementLeavesHeldListingAlone()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {dirRecord("a"), dirRecord("b")}));
    if (rig.client.listing("/b")) {
        QVERIFY(rig.client.answer("/b", {}));
        rig.mergeAll();
    }
    if (!rig.client.listing("/a"))
        rig.model->fetchMore(rig.model->indexForPath("/a"));
    VfsListDirectoryJob *job = rig.client.listing("/a");
    QVERIFY(job);
    // The listing of /a is answered, but its announcement is still on its way when /a
    // vanishes and the record goes to the next listing.
    QVERIFY(rig.client.replyArrived("/a", {fileRecord("from-a")}));
    rig.client.announce(job, false);
    rig.nowMs += 5000;
    QVERIFY(rig.list("/", {dirRecord("b")}));
    auto outstanding = [&rig, job] {
        return std::find(rig.client.listings.begin(), rig.client.listings.end(), job)
               != rig.client.listings.end();
    };
    for (const char *path : {"/b", "/"}) {
        if (!outstanding())
            rig.model->fetchMore(rig.model->indexForPath(QString::fromLatin1(path)));
    }
    QVERIFY(outstanding());
    const QString path = job->path;
    // The new reply is in, and the client has not let go of the record yet.
    QVERIFY(rig.client.replyArrived(path, {fileRecord("from-new")}));

    // The old announcement must not hand the model a record the client still holds.
    rig.model->onListDirectoryUpdate(job);
    QCOMPARE(job->jobStatus, quint32(JobFinished));
    rig.mergeAll();
    QVERIFY(!rig.childNames(path).contains("from-new"));

    // Its own announcement does.
    rig.client.announce(job);
    rig.mergeAll();
    QVERIFY(rig.childNames(path).contains("from-new"));
    rig.nowMs += 5000;
    rig.model->fetchMore(rig.model->indexForPath(path));
    QCOMPARE(rig.client.refusedRequests, 0);
    QVERIFY(rig.client.listing(path));
}

void TestVfsModel::sweepRemovesVanishedBlocksAtOnce()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    std::vector<VfsDirectoryEntry> all;
    for (int i = 0; i < 200; ++i)
        all.push_back(fileRecord(QStringLiteral("f%1").arg(i)));
    QVERIFY(rig.list("/", all));

    // The first 150 and every other of the rest vanish: one removal for the block, one per
    // single row, and the survivors keep their order.
    std::vector<VfsDirectoryEntry> kept;
    QStringList expected;
    for (int i = 150; i < 200; i += 2) {
        kept.push_back(all[size_t(i)]);
        expected << all[size_t(i)].name;
    }
    QSignalSpy removed(rig.model, &QAbstractItemModel::rowsRemoved);
    rig.nowMs += 5000;
    QVERIFY(rig.list("/", kept));
    QCOMPARE(rig.childNames("/"), expected);
    QCOMPARE(removed.count(), 1 + 25);
    bool block = false;
    for (const QList<QVariant> &args : removed)
        block |= args.at(1).toInt() == 0 && args.at(2).toInt() == 149;
    QVERIFY(block);

    rig.nowMs += 5000;
    QVERIFY(rig.list("/", {}));
    QCOMPARE(removed.count(), 1 + 25 + 1);
    QCOMPARE(rig.model->rowCount(rig.model->indexForPath("/")), 0);
}

void TestVfsModel::useCountsAndPoolStayBounded()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {dirRecord("build")}));
    QVERIFY(rig.model->retainPath("/build"));
    // The shown folder is deleted and made again on the peer; leaving it afterwards must not
    // leave the new folder's count below zero.
    rig.nowMs += 5000;
    QVERIFY(rig.list("/", {}));
    rig.nowMs += 5000;
    QVERIFY(rig.list("/", {dirRecord("build")}));
    QVERIFY(rig.model->releasePath("/build"));
    auto *build = static_cast<VfsEntry *>(rig.model->indexForPath("/build").internalPointer());
    QCOMPARE(build->useCount, 0);
    QVERIFY(rig.model->retainPath("/build"));
    QCOMPARE(build->useCount, 1);

    // A huge folder that goes does not keep all its entries for ever.
    std::vector<VfsDirectoryEntry> many;
    for (int i = 0; i < 40000; ++i)
        many.push_back(fileRecord(QStringLiteral("n%1").arg(i)));
    rig.modelTester.reset(); // its checks are quadratic in the row count
    rig.nowMs += 5000;
    QVERIFY(rig.list("/build", many));
    rig.nowMs += 5000;
    QVERIFY(rig.list("/build", {}));
    QVERIFY(rig.model->pooledEntryCount() > 0);
    QVERIFY(rig.model->pooledEntryCount() < 40000);
    QVERIFY(rig.list("/", {dirRecord("build"), fileRecord("x")}));
}

QTEST_MAIN(TestVfsModel)
#include "tst_vfsmodel.moc"
