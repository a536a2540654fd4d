#pragma once

// What the copy job calls a path in the texts a person reads (questions, failures, the items
// left out): a share by its own name, never by the uuid of its access entry ("Shares/Music/a.txt",
// not "%shares/{e717…}/a.txt"), and a path on another computer with that computer's name. The
// job learns the names of a side's shares by listing its "%shares" once; what it sends to the
// peers keeps the raw paths. Lives on the job's thread.

#include "vfs/fso/vfsfenucommand.h"

#include <QHash>
#include <QString>

#include <vector>

class VfsCopyPathNames
{
public:
    enum Side { Source = 0, Destination = 1 };

    // Whether `path` names a share of the side whose name the job has not learnt yet.
    bool needsShares(Side side, const QString &path) const;
    // The side's shares as its "%shares" listing shows them.
    void setShares(Side side, QChar separator, const std::vector<VfsDirectoryEntry> &entries);
    // The name of the side's computer; empty for this computer, whose paths need none.
    void setComputer(Side side, const QString &name) { m_computer[side] = name; }

    // The path as the panes show it, and on another computer "… on <computer>".
    QString shown(Side side, const QString &path, QChar separator) const;
    // Only the path, for where the computer goes without saying (the item being copied).
    QString shownPathOnly(Side side, const QString &path, QChar separator) const;

private:
    QHash<QString, QString> m_shares[2];   // "%shares/{uuid}" -> name
    bool m_sharesKnown[2] = {false, false};
    QString m_computer[2];
};
