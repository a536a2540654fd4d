#pragma once

// A path as a person reads it. A peer names each share by its access entry
// ("%shares/{e91f…}/Documents"), which means nothing to anyone: shown, the share's own name
// stands in its place, below the word the panes use for the shares ("Shares/Photos/Documents").
// Every other path is shown as it is. Any thread; the names come from the caller.

#include <QChar>
#include <QString>

#include <functional>

// The shown name of the share "%shares/{uuid}"; empty when it is not known.
using VfsShareName = std::function<QString(const QString &sharePath)>;

// What stands for a share whose name is not known.
enum class VfsUnknownShare {
    KeepPath,   // the path as it is, for one that is edited and read back
    Hide,       // "…": a path shown in a message is never one of a share's uuid
};

// "%shares/{uuid}/rest" -> "Shares/<name>/rest" ("Shares" as the catalogue has it).
QString vfsShownPath(const QString &path, QChar separator, const VfsShareName &shareName,
                     VfsUnknownShare unknown = VfsUnknownShare::KeepPath);
