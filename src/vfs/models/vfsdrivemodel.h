#pragma once

// The drives of one peer as a flat list. Drive listings arrive from the peer's FSO client
// on any thread through updateDrives(); they are merged on the model's own thread (the GUI
// thread), keyed by path, and drives that the newest listing no longer holds are removed.
// The model's object name is the peer's uuid, so views can tell whose drives they show.

#include "vfs/fso/vfsdrive.h"

#include <QAbstractListModel>
#include <QIcon>
#include <QMutex>

#include <vector>

class VfsDriveModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum DriveRoles {
        NameRole = Qt::UserRole + 1, // 257
        DisplayNameRole,
        ShortNameRole,
        IconRole,
        IconNameRole,
        PathRole,
        TypeRole,
        PlugTypeRole,
        StateRole,
        BytesAvailableRole,
        BytesTotalRole, // 267
    };
    Q_ENUM(DriveRoles)

    enum { ColumnCount = 6 };

    explicit VfsDriveModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    Q_INVOKABLE QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE QString getPathForRow(int row) const;

    // The drive whose path is the longest prefix of the path, ending at a separator
    // boundary ("/media/usb" does not hold "/media/usb2/x"); an empty drive when none.
    VfsDrive driveForPath(const QString &path) const;
    // Row of the drive whose path equals the path exactly; invalid when none.
    QModelIndex indexForPath(const QString &path) const;

    // Snapshot of the drive list in row order (GUI thread).
    const std::vector<VfsDrive> &drives() const { return m_drives; }

    static QString displayName(const VfsDrive &drive);
    static QString shortName(const VfsDrive &drive, int row);
    static QString iconName(const VfsDrive &drive);
    static QString typeText(std::uint8_t type);
    static QString plugTypeText(std::uint8_t plugType);
    // True when the drive path holds the path: equal, or followed by a separator.
    static bool pathHolds(const QString &drivePath, const QString &path);

public slots:
    // Any thread: queues one listing's drives and posts a merge to the model's thread.
    void updateDrives(std::vector<VfsDrive> drives);
    void processUpdatedDrivesQueue();

private:
    QIcon iconFor(const VfsDrive &drive) const;

    QMutex m_mutex;
    std::vector<VfsDrive> m_drives;
    std::vector<VfsDrive> m_queue;
};
