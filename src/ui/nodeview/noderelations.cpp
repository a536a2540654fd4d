#include "ui/nodeview/noderelations.h"

#include <QDir>
#include <QStringList>

namespace {

QChar separatorOf(const NodeRelationInput &node, bool *ok)
{
    *ok = true;
    if (node.path.contains(QLatin1Char('/')))
        return QLatin1Char('/');
    if (node.path.contains(QLatin1Char('\\')))
        return QLatin1Char('\\');
    // A bare drive such as "C:" is still a root of backslash paths.
    if (node.type == QLatin1String("drive") && node.path.size() >= 2 && node.path.at(1) == QLatin1Char(':'))
        return QLatin1Char('\\');
    *ok = false;
    return QChar();
}

} // namespace

std::vector<NodeRelation> computeNodeRelations(const std::vector<NodeRelationInput> &nodes)
{
    std::vector<NodeRelation> out(nodes.size());
    // Every path split once per separator: views hold thousands of nodes and every pair is
    // compared.
    std::vector<QStringList> slashParts(nodes.size()), backslashParts(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        slashParts[i] = nodes[i].path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        backslashParts[i] = nodes[i].path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    }
    for (size_t a = 0; a < nodes.size(); ++a) {
        const NodeRelationInput &A = nodes[a];
        if (A.type != QLatin1String("drive") && A.type != QLatin1String("directory"))
            continue;
        bool ok = false;
        const QChar sep = separatorOf(A, &ok);
        if (!ok)
            continue;
        NodeRelation &r = out[a];
        r.related = true;
        const std::vector<QStringList> &parts = sep == QLatin1Char('/') ? slashParts : backslashParts;
        const QStringList &aParts = parts[a];
        for (size_t b = 0; b < nodes.size(); ++b) {
            const NodeRelationInput &B = nodes[b];
            if (b == a || B.peerUuid != A.peerUuid || B.path == A.path)
                continue;
            if (r.parent < 0 && B.type == QLatin1String("peer")) {
                r.parent = int(b);
                continue;
            }
            if (B.type == QLatin1String("peer"))
                continue;
            const QStringList &bParts = parts[b];
            if (bParts.size() < aParts.size() && A.path.startsWith(B.path) && B.path.size() > r.parentPath.size()) {
                const bool take = B.type == QLatin1String("drive")
                                  || (!bParts.isEmpty() && bParts.last() == aParts.at(bParts.size() - 1));
                if (take) {
                    r.parentPath = B.path;
                    r.parent = int(b);
                    const QString rest = A.path.mid(B.path.size() + 1);
                    r.indirect = A.peerKnown && rest.contains(sep);
                }
            }
            if (!r.hasChildren && aParts.size() < bParts.size())
                r.hasChildren = B.path.startsWith(A.path);
        }
    }
    return out;
}

QString normalizeNodePath(const QString &path)
{
    if (path.isEmpty())
        return path;
    QString p = QDir::cleanPath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')));
    const bool backslashes = path.contains(QLatin1Char('\\')) && !path.contains(QLatin1Char('/'));
    if (backslashes)
        p.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return p;
}
