#pragma once

// A folder below a computer's shares as a person reads and types it in the path bar, and
// back. The file model names a share by its access entry ("%shares/{e91f…}/Documents"); the
// strip shows the shares' names ("Shares/Photos/Documents"), and the bar offers and takes the
// same. Every other path is the same in both forms. GUI thread (the model's).

#include <QString>

class VfsModel;

// "%shares/{uuid}/rest" -> "Shares/<name of that share>/rest"; a share the model has not
// listed keeps its model form.
QString shownPath(const VfsModel *model, const QString &path);
// "Shares/<name>/rest" -> "%shares/{uuid}/rest" by the shares the model has listed; any other
// text is taken as a path of the model as it stands.
QString modelPath(const VfsModel *model, const QString &typed);
