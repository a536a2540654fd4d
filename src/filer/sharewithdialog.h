#pragma once

// Sharing a local item with another computer: the dialog controller that shows
// "qrc:/qml/dialogs/ShareWithDialog.qml" for one access entry and writes the user's answer to
// the database, and the openers that pick the entry from a browser's selection.
// GUI thread only; the controller is parented to the browser that opened it and deletes itself
// (with its window) once the window is hidden.

#include "db/dto.h"

#include <QModelIndexList>
#include <QObject>
#include <QPointer>

class IDatabase;
class IPeer;
class QQmlEngine;
class QWindow;

class ShareWithDialog : public QObject
{
    Q_OBJECT

public:
    ShareWithDialog(QQmlEngine *engine, IDatabase *database, IPeer *peer, const PeerAclDto &acl,
                    QObject *parent);
    // The window goes with the controller: a browser that closes takes its dialogs along.
    ~ShareWithDialog() override;

    void show();

    QObject *window() const { return m_window; }
    PeerAclDto acl() const { return m_acl; }

    // The item a share opener works on, read from the browser's file model.
    struct Item
    {
        QString path;
        QString name;
        int type = 0;   // VfsModel::VfsEntryType
    };

    // Picks the item to share: the first selected index of column 0 or, with nothing selected,
    // the current folder. With `wholeDrive` each selected index is walked up to its drive row.
    // Only items of the local computer can be shared: the entry names a path of this computer.
    // Virtual rows (the shares folder, paths starting with '%') and empty paths are refused.
    static bool pickItem(bool browsingLocalPeer, const QModelIndexList &selected,
                         const QModelIndex &currentFolder, bool wholeDrive, Item *item);

    // The stored entry of the peer with the item's path, else a new one (null uuid).
    static PeerAclDto entryFor(IDatabase *database, const QString &peerUuid, const Item &item,
                               bool wholeDrive);

    // A share that opens the whole file system to the other computer; the dialog warns.
    static bool isBroadSelector(const QString &selector);

    // The openers: each shows a dialog parented to `parent`, or returns null when there is
    // nothing to share (unknown peer, nothing selected, a remote or virtual item).
    static ShareWithDialog *openForSelection(QQmlEngine *engine, IDatabase *database, IPeer *sharePeer,
                                             IPeer *browsedPeer, const QModelIndexList &selected,
                                             const QModelIndex &currentFolder, bool wholeDrive,
                                             QObject *parent);
    static ShareWithDialog *openForEntry(QQmlEngine *engine, IDatabase *database, IPeer *sharePeer,
                                         const QString &aclUuid, QObject *parent);

public Q_SLOTS:
    void onDialogClose(bool visible);
    void onAccepted(bool canEdit);
    void onRemoveShare();

private:
    QPointer<QObject> m_window;
    QQmlEngine *m_engine = nullptr;
    IDatabase *m_database = nullptr;
    PeerAclDto m_acl;
    QString m_peerUuid;
};
