#include "filer/iconlistmodel.h"

#include "app/base/configsettings.h"

#include <QDirIterator>
#include <QSet>
#include <QUrl>

IconListModel::IconListModel(QObject *parent)
    : IconListModel(configDirectory() + QStringLiteral("/icons"), parent)
{
}

IconListModel::IconListModel(const QString &userIconDir, QObject *parent)
    : QAbstractListModel(parent)
{
    build(userIconDir);
}

void IconListModel::build(const QString &userIconDir)
{
    QSet<QString> seen;
    auto add = [&](const QString &url) {
        if (!seen.contains(url)) {
            seen.insert(url);
            m_icons.append(url);
        }
    };
    auto isImage = [](const QString &path) {
        return path.endsWith(QLatin1String(".svg")) || path.endsWith(QLatin1String(".png"));
    };
    // The theme provider serves "icon/<file name>" from ":/icons": the URL names the file,
    // never the resource path, or the prefix would be doubled. Pictures in folders below
    // belong to the program's own dialogs, and the provider would not find them.
    QDirIterator builtIn(QStringLiteral(":/icons"), QDir::Files);
    while (builtIn.hasNext()) {
        const QString path = builtIn.next();
        if (isImage(path))
            add(QStringLiteral("image://theme/icon/%1").arg(path.section(QLatin1Char('/'), -1)));
    }
    if (userIconDir.isEmpty())
        return;
    QDirIterator user(userIconDir, QDir::Files, QDirIterator::Subdirectories);
    while (user.hasNext()) {
        const QString path = user.next();
        if (isImage(path))
            add(QUrl::fromLocalFile(path).toString());
    }
}

int IconListModel::rowCount(const QModelIndex &) const
{
    return m_icons.size();
}

QVariant IconListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_icons.size() || role != PathRole)
        return QVariant();
    return m_icons.at(index.row());
}

QHash<int, QByteArray> IconListModel::roleNames() const
{
    return {{PathRole, "path"}, {IconRole, "icon"}};
}
