#pragma once

// The access entries one peer has on this computer, as a list model for the share views.
// Lives on the application thread; updateAcls may be called from any thread.

#include "db/dto.h"

#include <QAbstractListModel>

#include <vector>

class PeerAclModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Roles {
        UuidRole = Qt::UserRole + 1,
        NameRole,
        SelectorRole,
        FlagsRole,
        TimestampRole,
        MimetypeRole,
        IconRole,
    };

    Q_INVOKABLE explicit PeerAclModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    std::vector<PeerAclDto> acls() const { return m_acls; }

public Q_SLOTS:
    // Replaces the rows; an unchanged list changes nothing.
    void updateAcls(const std::vector<PeerAclDto> &acls);

private:
    std::vector<PeerAclDto> m_acls;
};

Q_DECLARE_METATYPE(PeerAclModel *)
