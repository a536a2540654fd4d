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
// stored there when there is none, or when what stands in its place is none (of another size
// or account, not a file: kept beside it as "aside.key.damaged"), each time logged. The key is
// written whole or not at all and synced; it is 0600 in a 0700 folder, made so when either
// was open to others. False (logged) when it could be neither read nor stored (a key that
// could not be read this time is never replaced): then the secret this process made for
// itself stays, and only this process knows the names it tags.
bool keepIn(const QString &directory);

// The tag of `text` under the current secret: 16 lower-case hex digits.
QByteArray tag(const QByteArray &text);

// Whether `a` and `b` are the same tag, taking as long whatever part of them differs.
bool sameTag(const QByteArray &a, const QByteArray &b);

// Whether an entry whose status last changed at `changed` (its ctime, which every rename
// sets and nobody can set back) was there before the current secret was made: names from
// before it carry no tag, or one of a secret lost since.
bool predates(const timespec &changed);

} // namespace asidekey
