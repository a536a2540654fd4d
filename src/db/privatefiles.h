#pragma once

// The configuration directory holds the installation's secret key, invitation codes and
// proof keys: only its owner may read it. Files made in it are 0600, folders 0700.
//
// Plain functions without state; any thread.

#include <QString>

namespace privatefiles {

// Makes `directory` and its missing parents 0700, whatever the umask; what exists already
// keeps its mode. False when a part could not be made.
bool makeDirectory(const QString &directory);

// Creates `path` as an empty 0600 file when it is missing, or takes group and world access
// from the file that is there (never through a link), so that writers which keep the mode
// of an existing file (settings, SQLite) keep it private. False when it cannot be written.
bool createFile(const QString &path);

// Makes `directory` (and missing parents) if needed, then takes group and world access
// away from it and from everything below it: folders become 0700 (the owner's bits kept),
// files 0600. Symbolic links are neither followed nor changed, and nothing on another file
// system is entered. False when the directory could not be made or a mode not changed.
bool repairDirectory(const QString &directory);

// Takes group and world access away from one file, when it exists; never follows a link.
// True when the file is missing or private now.
bool repairFile(const QString &path);

} // namespace privatefiles
