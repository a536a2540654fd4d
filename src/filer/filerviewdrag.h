#pragma once

// What the icon view and the list view share about drags: starting a drag of the selection
// (picture, file data, never an empty drag) and following the folder under the pointer while
// something is dragged over the view. GUI thread only.

#include <QModelIndex>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class Filer;
class QAbstractItemView;
class QDrag;
class QDragMoveEvent;
class QMimeData;

class VfsModel;
class QAbstractItemModel;

// The peer's file model behind a view's model (through any proxies); null when none.
VfsModel *vfsModelOf(const QAbstractItemModel *model);
// Takes the drop-target mark off the item at `path`; nothing for an unknown path.
void clearDropMark(VfsModel *model, const QString &path);

// The file data of a drag: one local-file URL per path ("text/uri-list") and the source
// peer's uuid ("application/nusk-peer-uuid", Latin-1).
QMimeData *makeFileDragData(const QString &peerUuid, const QStringList &paths);
// The peer uuid and paths a drag carries; false when it carries no peer uuid.
bool readFileDragData(const QMimeData *data, QString *peerUuid, QStringList *paths);
// Attaches the file data of the view's selected column-0 items to the drag (and the drag
// itself as the property "_drag"); false, with nothing attached, when no item has a path.
bool attachFileDragData(QDrag *drag, QAbstractItemView *view);

class FilerViewDrag
{
public:
    // Runs a prepared drag; tests replace it to look at the drag without a nested loop.
    using Executor = std::function<Qt::DropAction(QDrag *)>;
    static void setExecutor(Executor executor);

    // `clearTarget` is how the view announces a folder that is no longer the target.
    FilerViewDrag(QAbstractItemView *view, std::function<void(const QString &)> clearTarget);

    // A drag of the view's selection with the copy action; no drag when nothing selected
    // has a path. Clears a remaining target once the drag has ended.
    bool start(Filer *filer);

    // The pointer moved to `under` during a drag carrying `data`. A folder becomes the
    // marked target when `folderAllowed` (the view's rule) says so; anything else drops
    // into the shown folder. A folder that is itself being dragged (or lies inside a dragged
    // folder) is never a target: nothing can be dropped into itself.
    void track(const QModelIndex &under, bool folderAllowed, const QMimeData *data);
    // Runs the drop on the current target (through the browser), then forgets the target; the
    // event is accepted, as a copy, only when the drop started something.
    void drop(Filer *filer, class QDropEvent *event);
    void clear();

    QModelIndex targetIndex() const { return m_index; }
    QString targetPath() const { return m_path; }

private:
    QAbstractItemView *m_view;
    std::function<void(const QString &)> m_clearTarget;
    QPersistentModelIndex m_index;
    QString m_path;
};
