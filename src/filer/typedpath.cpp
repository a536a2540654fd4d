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

QChar separatorOf(const VfsModel *model)
{
    return model->pathSeparator().isNull() ? QLatin1Char('/') : model->pathSeparator();
}

// "Shares/<name>/rest": the name and the rest (with its leading separator); an empty name for
// any other text, the shares themselves included.
struct TypedShare
{
    QString name;
    QString rest;
};

TypedShare typedShare(const VfsModel *model, const QString &typed)
{
    const QString shares = qtTrId("place-shares");
    const QChar separator = separatorOf(model);
    if (!typed.startsWith(shares) || typed.size() <= shares.size() + 1 || typed.at(shares.size()) != separator)
        return {};
    const QString rest = typed.mid(shares.size() + 1);
    const int end = rest.indexOf(separator);
    return {rest.left(end), end >= 0 ? rest.mid(end) : QString()};
}

} // namespace

QString shownPath(const VfsModel *model, const QString &path)
{
    if (!model)
        return path;
    return vfsShownPath(path, separatorOf(model), [model](const QString &sharePath) {
        return findShare(
            model, [&](const QModelIndex &share) { return share.data(VfsModel::PathRole).toString() == sharePath; },
            VfsModel::NameRole);
    });
}

QString modelPath(const VfsModel *model, const QString &typed)
{
    if (!model)
        return typed;
    const QString shares = qtTrId("place-shares");
    if (typed == shares || typed == shares + separatorOf(model))
        return kShares;
    const TypedShare share = typedShare(model, typed);
    if (share.name.isEmpty())
        return typed;
    const QString sharePath = findShare(
        model, [&](const QModelIndex &row) { return row.data(VfsModel::NameRole).toString() == share.name; },
        VfsModel::PathRole);
    return sharePath.isEmpty() ? typed : sharePath + share.rest;
}

void TypedPathLookup::start(VfsModel *model, const QString &typed)
{
    cancel();
    if (!model)
        return;
    const QString name = typedShare(model, typed).name;
    const QString path = modelPath(model, typed);
    if (name.isEmpty() || path != typed) {
        Q_EMIT found(typed, path);
        return;
    }
    // A share is named in the model by its access entry, so the model does not find one by
    // this name: what counts is that its answer comes after a listing of the shares made for
    // it, by which the name is looked up again.
    m_model = model;
    m_typed = typed;
    m_answers = connect(model, &VfsModel::pathResolved, this, &TypedPathLookup::onPathResolved);
    m_asked = model->resolvePath(kShares + separatorOf(model) + name, false);
}

void TypedPathLookup::cancel()
{
    disconnect(m_answers);
    m_asked.clear();
    m_typed.clear();
    m_model.clear();
}

void TypedPathLookup::onPathResolved(int, const QString &path)
{
    if (m_asked.isEmpty() || path != m_asked || !m_model)
        return;
    const QString typed = m_typed;
    const QString mapped = modelPath(m_model, typed);
    cancel();
    Q_EMIT found(typed, mapped == typed ? QString() : mapped);
}
