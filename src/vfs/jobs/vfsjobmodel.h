#pragma once

// The one list of all running jobs (copy, move, delete), one row per job in the order they
// were added. Made on "ioThread" when the connection manager starts; the main window
// watches jobAdded to open a job window, the QML job views show the rows.
//
// addJob may be called from any thread: the row is appended on the model's own thread. A
// job leaves the model when its object is destroyed, whoever deletes it.

#include <QAbstractListModel>
#include <QMutex>
#include <QPointer>
#include <QSet>

#include <vector>

class ConnectionManager;
class VfsJob;

class VfsJobModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int totalProgress READ totalProgress NOTIFY totalProgressChanged)

public:
    enum Roles { TypeRole = Qt::UserRole + 1, JobObjRole };

    explicit VfsJobModel(QObject *parent = nullptr);
    ~VfsJobModel() override;

    static VfsJobModel *instance();
    // Registers the step that makes the one model on the connection manager's thread. The
    // program's start-up calls it after the cryptography step and before the manager starts.
    static void registerStartStep(ConnectionManager *manager);

    bool addJob(VfsJob *job);
    bool contains(VfsJob *job) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    int totalProgress() const { return m_totalProgress; }

public Q_SLOTS:
    void jobAboutToDelete(QObject *obj);

Q_SIGNALS:
    void totalProgressChanged();
    void allJobsDone();
    void jobAdded(VfsJob *job);

private:
    void insertJob(VfsJob *job);

    static VfsJobModel *s_instance;
    mutable QMutex m_mutex;       // guards m_known against addJob from other threads
    QSet<const void *> m_known;   // listed or about to be listed
    struct Row
    {
        const void *key;         // compared with destroyed()'s pointer, never dereferenced
        QPointer<VfsJob> job;    // null once the job is gone, before its row is removed
    };
    std::vector<Row> m_jobs;
    int m_totalProgress = 0;
};
