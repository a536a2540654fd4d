#include "filer/heldclipboard.h"

#include "filer/filer.h"
#include "filer/fileractions.h"
#include "filer/filerhub.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsmodel.h"

#include <QAction>

namespace {

QAction *pasteAction()
{
    return FilerActions::action(QStringLiteral("filer.paste"));
}

VfsModel *modelOf(const Filer *filer)
{
    IPeer *peer = filer ? filer->peer() : nullptr;
    return peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr;
}

} // namespace

void setCopyMark(VfsModel *model, const QModelIndex &index, bool on)
{
    if (!model || !index.isValid())
        return;
    const int flags = index.data(VfsModel::FlagsRole).toInt();
    const int wanted = on ? (flags | VfsModel::CopyMarkFlag) : (flags & ~int(VfsModel::CopyMarkFlag));
    if (wanted != flags)
        model->setData(index, wanted, VfsModel::FlagsRole);
}

HeldClipboard::HeldClipboard(FilerHub *hub, Filer *source)
    : m_hub(hub)
    , m_source(source)
    , m_record(hub ? hub->clipboard()->clipboard : VfsCopyDto())
    , m_pasteEnabled(pasteAction()->isEnabled())
{
    // Recording a selection clears these marks in the source's model, and only there.
    if (VfsModel *model = modelOf(source)) {
        for (const VfsCopyItem &item : m_record.items) {
            if (model->indexForPath(item.path).data(VfsModel::FlagsRole).toInt() & VfsModel::CopyMarkFlag)
                m_marked << item.path;
        }
    }
}

void HeldClipboard::restore()
{
    if (!m_hub)
        return;
    // The marks of the selection recorded go; those the recording took away come back.
    if (m_source)
        m_source->clearMarkedFiles();
    m_hub->clipboard()->clipboard = m_record;
    if (VfsModel *model = modelOf(m_source)) {
        for (const QString &path : m_marked)
            setCopyMark(model, model->indexForPath(path), true);
    }
    pasteAction()->setEnabled(m_pasteEnabled);
}
