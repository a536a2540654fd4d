#pragma once

// Unpacks an update archive (.zip or .tar.gz) into a folder that starts empty. The archive's
// single top-level folder, when it has exactly that, stands for the program folder; otherwise
// its root does. Entries that are links, or whose names could leave the folder, refuse the
// whole archive; so does any write that fails. On failure the folder is removed again, so
// a half-unpacked update is never left for the start-up to install.

#include <QString>

namespace UpdateUnpacker {

// requiredProgram: the file that must lie directly in the unpacked folder (the program the
// hand-over starts). False with *error set on any failure; targetDir is then gone.
bool unpack(const QString& archivePath, const QString& targetDir, const QString& requiredProgram, QString* error);

} // namespace UpdateUnpacker
