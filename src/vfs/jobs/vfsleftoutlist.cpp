#include "vfs/jobs/vfsleftoutlist.h"

bool VfsLeftOutList::add(const QString &path, const QString &reason)
{
    if (m_paths.contains(path))
        return false;
    m_paths.insert(path);
    if (m_shown.size() < kMaxShown)
        m_shown.append({path, reason});
    return true;
}
