#pragma once

// A folder below a computer's shares as a person reads and types it in the path bar, and
// back. The file model names a share by its access entry ("%shares/{e91f…}/Documents"); the
// strip shows the shares' names ("Shares/Photos/Documents"), and the bar offers and takes the
// same. Every other path is the same in both forms. GUI thread (the model's).

#include <QObject>
#include <QPointer>
#include <QString>

class VfsModel;

// "%shares/{uuid}/rest" -> "Shares/<name of that share>/rest"; a share the model has not
// listed keeps its model form.
QString shownPath(const VfsModel *model, const QString &path);
// "Shares/<name>/rest" -> "%shares/{uuid}/rest" by the shares the model has listed; any other
// text is taken as a path of the model as it stands.
QString modelPath(const VfsModel *model, const QString &typed);

// What a person typed, as the model's path, when it names a share the model may not have
// listed yet (right after a start, or a share made a moment ago): the shares are listed
// afresh first, and the answer says whether that computer has a share of that name. Any other
// text, and a share the model has listed, is answered at once. GUI thread (the model's).
class TypedPathLookup : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Looks `typed` up in `model`; a look-up still out is forgotten. The answer may come
    // before this returns.
    void start(VfsModel *model, const QString &typed);
    // Forgets the look-up out, if any.
    void cancel();
    bool isLooking() const { return !m_asked.isEmpty(); }

Q_SIGNALS:
    // `path`: `typed` in the model's form; empty when it names a share that computer does
    // not have (or did not name in time).
    void found(const QString &typed, const QString &path);

private:
    void onPathResolved(int status, const QString &path);

    QPointer<VfsModel> m_model;
    QString m_typed;
    QString m_asked;   // the model's look-up whose answer lists the shares afresh
    QMetaObject::Connection m_answers;
};
