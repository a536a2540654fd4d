#include "vfs/jobs/vfscopypathnames.h"

#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsmessage.h"
#include "vfs/fso/vfsshownpath.h"

namespace {

const QString kShares = QStringLiteral("%shares");

} // namespace

bool VfsCopyPathNames::needsShares(Side side, const QString &path) const
{
    return !m_sharesKnown[side] && path.startsWith(kShares);
}

void VfsCopyPathNames::setShares(Side side, QChar separator, const std::vector<VfsDirectoryEntry> &entries)
{
    m_shares[side].clear();
    for (const VfsDirectoryEntry &e : entries) {
        if (e.type == FSO_ENTRY_SHARE && !e.linkTarget.isEmpty())
            m_shares[side].insert(kShares + separator + e.linkTarget, e.name);
    }
    m_sharesKnown[side] = true;
}

QString VfsCopyPathNames::shownPathOnly(Side side, const QString &path, QChar separator) const
{
    const QHash<QString, QString> &shares = m_shares[side];
    // A share the job could not look up (no longer shared, or its listing failed) is still
    // never named by its uuid.
    return vfsShownPath(
        path, separator, [&shares](const QString &sharePath) { return shares.value(sharePath); },
        VfsUnknownShare::Hide);
}

QString VfsCopyPathNames::shown(Side side, const QString &path, QChar separator) const
{
    const QString shown = shownPathOnly(side, path, separator);
    if (m_computer[side].isEmpty())
        return shown;
    return vfstext::message("copy-path-on-computer", "%1 on %2").arg(shown, m_computer[side]);
}
