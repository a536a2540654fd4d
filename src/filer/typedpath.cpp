#include "filer/typedpath.h"

#include "vfs/fso/vfsshownpath.h"
#include "vfs/models/vfsmodel.h"

namespace {

const QString kShares = QStringLiteral("%shares");

// The shares folder's rows: a share's name and its model path.
template<typename Match>
QString findShare(const VfsModel *model, Match match, int role)
{
    const QModelIndex shares = model->indexForPath(kShares);
    for (int row = 0; shares.isValid() && row < model->rowCount(shares); ++row) {
        const QModelIndex share = model->index(row, 0, shares);
        if (match(share))
            return share.data(role).toString();
    }
    return QString();
}

} // namespace

QString shownPath(const VfsModel *model, const QString &path)
{
    if (!model)
        return path;
    const QChar separator = model->pathSeparator().isNull() ? QLatin1Char('/') : model->pathSeparator();
    return vfsShownPath(path, separator, [model](const QString &sharePath) {
        return findShare(
            model, [&](const QModelIndex &share) { return share.data(VfsModel::PathRole).toString() == sharePath; },
            VfsModel::NameRole);
    });
}

QString modelPath(const VfsModel *model, const QString &typed)
{
    const QString shares = qtTrId("place-shares");
    if (!model || !typed.startsWith(shares))
        return typed;
    const QChar separator = model->pathSeparator().isNull() ? QLatin1Char('/') : model->pathSeparator();
    QString rest = typed.mid(shares.size());
    if (rest.isEmpty())
        return kShares;
    if (rest.at(0) != separator)
        return typed;
    rest = rest.mid(1);
    if (rest.isEmpty())
        return kShares;
    const int end = rest.indexOf(separator);
    const QString name = rest.left(end);
    const QString sharePath = findShare(
        model, [&](const QModelIndex &share) { return share.data(VfsModel::NameRole).toString() == name; },
        VfsModel::PathRole);
    if (sharePath.isEmpty())
        return typed;
    return end >= 0 ? sharePath + rest.mid(end) : sharePath;
}
