#pragma once

// The stored invitations as a list model (context property "invitationModel"). Rows follow
// the database's invitation signals; the model lives on the thread that made it.

#include "db/dto.h"

#include <QAbstractListModel>
#include <QPointer>

#include <vector>

class IDatabase;

class InvitationModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Roles {
        InvUuidRole = Qt::UserRole + 1,
        InvNameRole,
        InvPasswordRole,
        InvTimestampRole,
        InvExpiresRole,
    };

    Q_INVOKABLE explicit InvitationModel(QObject *parent = nullptr);
    explicit InvitationModel(IDatabase *database, QObject *parent = nullptr);
    ~InvitationModel() override;

    static InvitationModel *instance();

    // Loads the stored invitations and follows the database's signals from now on.
    void setDatabase(IDatabase *database);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    void onAdded(const QString &uuid);
    void onChanged(const QString &uuid);
    void onRemoved(const QString &uuid);
    int rowOf(const QString &uuid) const;
    bool lookup(const QString &uuid, InvitationDto *invitation) const;

    QPointer<IDatabase> m_database;
    std::vector<InvitationDto> m_rows;
};

Q_DECLARE_METATYPE(InvitationModel *)
