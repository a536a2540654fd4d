#pragma once

// The internal clipboard as it stood before a command that records the selection only to use
// it if the person goes on ("copy to", "move to" put the selection on the clipboard before
// they ask where to): what it held, the marks of those items and whether paste was offered.
// restore() puts all of it back, so that a command the person cancels leaves no trace, and the
// next paste brings what they had put there themselves. GUI thread only.

#include "vfs/jobs/vfscopydto.h"

#include <QModelIndex>
#include <QPointer>
#include <QStringList>

class Filer;
class FilerHub;
class VfsModel;

// Sets or clears the clipboard mark of one item of `model`, leaving its other flags as they are.
void setCopyMark(VfsModel *model, const QModelIndex &index, bool on);

class HeldClipboard
{
public:
    // Taken before `source`, the active browser, records its selection.
    HeldClipboard(FilerHub *hub, Filer *source);

    // The clipboard, its marks in the source's computer and the paste action as they were.
    void restore();

private:
    QPointer<FilerHub> m_hub;
    QPointer<Filer> m_source;
    VfsCopyDto m_record;
    QStringList m_marked;   // the held items that carried their mark in the source's model
    bool m_pasteEnabled = false;
};
