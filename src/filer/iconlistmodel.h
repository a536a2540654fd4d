#pragma once

// The icons a user can pick for a node: the program's own SVG and PNG icons under ":/icons"
// and the user's icon files below the configuration directory's "icons" folder. Built once
// when made (QML type "IconListModel"); the role "path" is an image URL. GUI thread.

#include <QAbstractListModel>
#include <QStringList>

class IconListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles { PathRole = Qt::UserRole + 1, IconRole };

    explicit IconListModel(QObject *parent = nullptr);
    // The same list from another user icon folder (tests).
    IconListModel(const QString &userIconDir, QObject *parent);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    void build(const QString &userIconDir);

    QStringList m_icons;
};
