#pragma once

// Deleting into the trash, the freedesktop way, so that the desktop's own trash can list
// and restore what this program (or a remote peer through it) threw away.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace versionguard {
class HeldVersion;
}

// Moves an absolute path (file, directory or symbolic link) into the trash: the home trash
// ($XDG_DATA_HOME/Trash) when the path lives on the same mount, otherwise the trash of the
// path's own mount ($topdir/.Trash/$uid or $topdir/.Trash-$uid). Sets the status byte to 0
// on success and to 1 on failure, in which case the path is left as it was. isLocal tells
// whether the local user asked (rather than a remote peer); no dialog is shown either way.
void deleteToRecycleBin(bool isLocal, quint8 *status, const QString &path);

namespace trash {

// The home trash directory: $XDG_DATA_HOME/Trash, or ~/.local/share/Trash.
QString homeTrashDirectory();

// Does the work of deleteToRecycleBin; on success, trashedAs (if given) receives the path
// of the item inside the trash's "files" directory.
bool moveToTrash(const QString &path, QString *trashedAs = nullptr);

// The same for the entry `name` of the directory open as `parentFd`: the item is renamed
// from that descriptor, and the trash is found from the folder the descriptor really is,
// so a folder on the way swapped for a link after a check changes nothing.
bool moveToTrashAt(int parentFd, const QByteArray &name, QString *trashedAs = nullptr);

enum class VersionTrashed { Trashed, Changed, Failed };

// moveToTrashAt for one version of a file, held as `held`: when what the name led to by the
// time it was moved is not that version as it was checked (another file saved over it, or
// the file written meanwhile), it is put back (Changed).
VersionTrashed moveVersionToTrashAt(int parentFd, const QByteArray &name, const versionguard::HeldVersion &held);

} // namespace trash
