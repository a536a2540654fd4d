#include "vfs/jobs/vfsleftoutlist.h"

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
