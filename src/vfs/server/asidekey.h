#pragma once

// The secret that tells the names this program sets entries aside under (setaside.h) from
// names anyone else gave an entry: a peer that may write can name its files any way it likes,
// but only a holder of the secret can make the tag such a name carries. The secret is kept in
// the configuration directory, so that a later run still knows the names a run that died left.
//
// Any thread.

#include <QByteArray>
#include <QString>

#include <ctime>

namespace asidekey {

// From now on the secret stored in `directory` is used: the one there, or a new one made and
// stored there (0600, in a folder that is made 0700 when missing) when there is none or it
// is damaged. False (logged) when it could be neither read nor stored: then the secret this
// process made for itself stays, and only this process knows the names it tags.
bool keepIn(const QString &directory);

// The tag of `text` under the current secret: 16 lower-case hex digits.
QByteArray tag(const QByteArray &text);

// Whether `a` and `b` are the same tag, taking as long whatever part of them differs.
bool sameTag(const QByteArray &a, const QByteArray &b);

// Whether an entry whose status last changed at `changed` (its ctime, which every rename
// sets and nobody can set back) was there before the current secret was made: names from
// before it carry no tag.
bool predates(const timespec &changed);

} // namespace asidekey
