#include "vfs/jobs/vfsleftoutlist.h"

#include "vfs/fso/vfsmessage.h"

#include <algorithm>

bool VfsLeftOutList::add(const QString &path, const QString &shown, const QString &reason)
{
    if (m_paths.contains(path))
        return false;
    m_paths.insert(path);
    if (m_shown.size() < kMaxShown)
        m_shown.append({path, shown, reason});
    return true;
}

bool VfsLeftOutList::containsBelow(const QString &prefix) const
{
    return std::any_of(m_paths.cbegin(), m_paths.cend(), [&](const QString &p) { return p.startsWith(prefix); });
}

QString vfsFewNamed(const QStringList &names, int named, int total)
{
    const QString few = names.mid(0, named).join(QStringLiteral(", "));
    const int more = std::max(total, int(names.size())) - std::min(named, int(names.size()));
    return more > 0 ? vfstext::message("copy-error-left-out-more", "%1 and %n more", more).arg(few) : few;
}
