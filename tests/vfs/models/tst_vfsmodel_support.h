#pragma once

// A peer with a hand-driven FSO client and hand-driven timers, wired to a real drive model
// and file model through the file layer's provider, for the model tests.

#include "db/dto.h"
#include "peers/ipeer.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfspeermodels.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QMutexLocker>

#include <algorithm>
#include <memory>
#include <vector>

class ManualTimer : public VfsModelTimer
{
public:
    using VfsModelTimer::VfsModelTimer;
    void start(int ms) override { m_active = true; m_interval = ms; }
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    int interval() const override { return m_interval; }
    // Fires when armed; false when it was not.
    bool fire()
    {
        if (!m_active)
            return false;
        m_active = false;
        emit timeout();
        return true;
    }

private:
    bool m_active = false;
    int m_interval = -1;
};

// Records what the model asks and lets the test answer.
class FakeVfsClient : public VfsClient
{
public:
    std::vector<VfsListDirectoryJob *> listings; // outstanding, in order of asking
    std::vector<VfsListDrivesJob *> driveListings;
    std::vector<VfsListDirectoryJob *> withdrawn;
    int listingRequests = 0;
    int refusedRequests = 0;
    quint16 nextTrId = 100;

    // Like the real client: a record keeps its request bookkeeping until it is announced or
    // withdrawn, and a record that still has it is refused.
    static VfsClientRequest *heldRequest()
    {
        static char marker;
        return reinterpret_cast<VfsClientRequest *>(&marker);
    }

    void listDirectory(VfsListDirectoryJob *job) override
    {
        {
            QMutexLocker lock(&job->mutex);
            if (job->request) {
                ++refusedRequests;
                return;
            }
            job->request = heldRequest();
            job->jobStatus = JobRunning;
        }
        ++listingRequests;
        job->release = [this](VfsListDirectoryJob *j) {
            {
                QMutexLocker lock(&j->mutex);
                if (!j->request)
                    return;
                j->request = nullptr;
            }
            auto it = std::find(listings.begin(), listings.end(), j);
            if (it != listings.end()) {
                listings.erase(it);
                withdrawn.push_back(j);
            }
        };
        listings.push_back(job);
    }
    void listDrives(VfsListDrivesJob *job) override
    {
        QMutexLocker lock(&job->mutex);
        job->status = 1;
        job->drives.clear();
        job->jobStatus = JobRunning;
        job->release = [this](VfsListDrivesJob *j) {
            driveListings.erase(std::remove(driveListings.begin(), driveListings.end(), j),
                                driveListings.end());
        };
        driveListings.push_back(job);
    }
    void move(VfsMoveJob *) override {}
    void openFile(VfsOpenFileJob *) override {}
    void closeFile(VfsCloseFileJob *) override {}
    void readFile(VfsReadFileJob *) override {}
    void writeFile(VfsWriteFileJob *) override {}
    void deleteFile(VfsDeleteFileJob *) override {}
    void hashFile(VfsHashFileJob *) override {}
    void makeDirectory(VfsMakeDirectoryJob *) override {}

    VfsListDirectoryJob *listing(const QString &path) const
    {
        for (VfsListDirectoryJob *job : listings) {
            if (job->path == path)
                return job;
        }
        return nullptr;
    }

    // The last page of an outstanding listing arrived (status 8), or it failed; the client
    // still holds the record until it announces it.
    VfsListDirectoryJob *replyArrived(const QString &path, std::vector<VfsDirectoryEntry> entries,
                                      bool fail = false, QChar separator = QLatin1Char('/'))
    {
        VfsListDirectoryJob *job = listing(path);
        if (!job)
            return nullptr;
        QMutexLocker lock(&job->mutex);
        job->entries = std::move(entries);
        job->separator = separator;
        job->status = fail ? 17 : 8;
        job->jobStatus = fail ? JobError : JobFinished;
        return job;
    }

    // The client lets go of an answered record; `emitUpdate` false keeps the announcement
    // back, for a test to deliver later.
    void announce(VfsListDirectoryJob *job, bool emitUpdate = true)
    {
        listings.erase(std::remove(listings.begin(), listings.end(), job), listings.end());
        {
            QMutexLocker lock(&job->mutex);
            job->request = nullptr;
            job->release = nullptr;
        }
        if (emitUpdate)
            emit listDirectoryUpdate(job);
    }

    // Answers an outstanding listing: all pages arrived (status 8), or it failed.
    bool answer(const QString &path, std::vector<VfsDirectoryEntry> entries, bool fail = false,
                QChar separator = QLatin1Char('/'))
    {
        VfsListDirectoryJob *job = replyArrived(path, std::move(entries), fail, separator);
        if (!job)
            return false;
        announce(job);
        return true;
    }

    bool answerDrives(std::vector<VfsDrive> drives)
    {
        if (driveListings.empty())
            return false;
        VfsListDrivesJob *job = driveListings.front();
        driveListings.erase(driveListings.begin());
        const quint16 trId = nextTrId++;
        {
            QMutexLocker lock(&job->mutex);
            for (VfsDrive &d : drives)
                d.trId = trId;
            job->drives = std::move(drives);
            job->status = 0;
            job->jobStatus = JobFinished;
        }
        emit listDrivesUpdate(job);
        return true;
    }
};

class FakePeer : public IPeer
{
public:
    FakePeer(const QString &uuid, VfsClient *client)
        : IPeer(PeerDto{uuid, QStringLiteral("nusk"), 0})
        , m_client(client)
    {
    }
    VfsClient *vfsClient() const override { return m_client; }

private:
    VfsClient *m_client;
};

inline VfsDirectoryEntry fileRecord(const QString &name, quint64 size = 1, qint64 mtime = 0,
                                    quint64 fileIndex = 0)
{
    VfsDirectoryEntry e;
    e.type = 1;
    e.name = name;
    e.size = size;
    e.modifyTime = mtime;
    e.mode = 0x7000;
    e.fileIndex = fileIndex;
    return e;
}

inline VfsDirectoryEntry dirRecord(const QString &name, quint64 fileIndex = 0)
{
    VfsDirectoryEntry e;
    e.type = 2;
    e.name = name;
    e.size = 4096;
    e.mode = 0x7000;
    e.fileIndex = fileIndex;
    return e;
}

inline VfsDrive driveRecord(const QString &path, const QString &name = QString(),
                            quint64 total = 1000000000000ULL, quint8 type = 0)
{
    VfsDrive d;
    d.path = path;
    d.name = name;
    d.bytesTotal = total;
    d.bytesAvailable = total / 2;
    d.type = type;
    return d;
}

inline void pumpEvents()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

// One peer with its two models, bound as the program binds them.
struct ModelRig
{
    FakeVfsClient client;
    FakePeer *peer = nullptr;
    VfsModel *model = nullptr;
    VfsDriveModel *drives = nullptr;
    std::vector<ManualTimer *> timers; // the check, resolve and icon timers, in this order
    qint64 nowMs = 1700000000000LL;
    std::unique_ptr<QAbstractItemModelTester> modelTester;
    std::unique_ptr<QAbstractItemModelTester> driveTester;

    explicit ModelRig(const QString &uuid = QStringLiteral("{11111111-2222-3333-4444-555555555555}"))
    {
        peer = new FakePeer(uuid, &client);
        attachPeerModels(peer);
        model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
        drives = qobject_cast<VfsDriveModel *>(peer->vfsDriveModel());
        model->setTimerFactory([this](QObject *parent) {
            auto *t = new ManualTimer(parent);
            timers.push_back(t);
            return t;
        });
        model->setClock([this] { return nowMs; });
        peer->setLinkState(IPeer::LinkUp);
        bindPeerModels(peer);
        model->connectClient(&client);
        modelTester.reset(new QAbstractItemModelTester(
            model, QAbstractItemModelTester::FailureReportingMode::QtTest));
        driveTester.reset(new QAbstractItemModelTester(
            drives, QAbstractItemModelTester::FailureReportingMode::QtTest));
    }

    ~ModelRig()
    {
        modelTester.reset();
        driveTester.reset();
        delete model;
        delete drives;
        delete peer;
    }

    ManualTimer *checkTimer() const { return timers.at(0); }
    ManualTimer *resolveTimer() const { return timers.at(1); }

    // Lists the drives through the client and lets both models take them in.
    bool listDrives(std::vector<VfsDrive> list)
    {
        if (client.driveListings.empty()) {
            model->onDirectoryChanged(QStringLiteral("%drives"));
        }
        if (!client.answerDrives(std::move(list)))
            return false;
        pumpEvents();
        return true;
    }

    // Fires the check timer until it stops re-arming; returns the number of firings.
    int mergeAll()
    {
        pumpEvents();
        int firings = 0;
        while (checkTimer()->fire())
            ++firings;
        return firings;
    }

    // Lists a folder (which must be in the model) and merges the answer completely.
    bool list(const QString &path, std::vector<VfsDirectoryEntry> entries)
    {
        const QModelIndex index = model->indexForPath(path);
        if (!index.isValid())
            return false;
        model->fetchMore(index);
        if (!client.answer(path, std::move(entries)))
            return false;
        mergeAll();
        return true;
    }

    QStringList childNames(const QString &path) const
    {
        const QModelIndex parent = model->indexForPath(path);
        QStringList names;
        for (int row = 0; row < model->rowCount(parent); ++row)
            names << model->index(row, 0, parent).data().toString();
        return names;
    }
};
