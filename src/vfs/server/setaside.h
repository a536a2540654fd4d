#pragma once

// Names that move entries out of the way inside their own folder, without ever taking the
// place of another entry. A delete moves the name it checks to a private name first, and
// only what was moved is looked at and removed (versionguard.h). Should the program die
// between the move and the removal, the entry would stay under that private name: so the
// private name says which name it stands for (".nusk-deleting-<16 hex id><16 hex tag>-<name>",
// or, for a name too long for that, the folder ".nusk-deleting-<id><tag>" holding the entry
// under its own name), and a listing of the folder later gives the entry its name back. The
// tag, keyed by a secret of this computer (asidekey.h), tells these names from the same shape
// made by anyone else, a peer that may write included: those are entries like any other.
//
// Any thread; the entries set aside by this program that are still in hand are known to all
// of its threads, so a listing never gives back what a delete is about to remove.

#include <QByteArray>
#include <QByteArrayList>

#include <cstdint>
#include <functional>

namespace setaside {

// Moves without ever replacing what is at the target: another program may have put an
// item there since we looked. 1 done, 0 target exists, -1 failed (errno set).
int renameNoReplace(int fromDir, const QByteArray &from, int toDir, const QByteArray &to);

// `name` cut to at most `limit` bytes (never inside a UTF-8 sequence) for attempt 1, and
// numbered before its extension for later attempts ("report.2.txt").
QByteArray numberedName(const QByteArray &name, int attempt, int limit);

// Gives the entry `from` of `fromDir` the name `name` in `toDir` again, never in place of an
// entry that took that name meanwhile: then it keeps a numbered name beside it, of the few
// tried. The name it has now in `toDir`, or empty when it stayed where it was (logged).
QByteArray putBack(int fromDir, const QByteArray &from, int toDir, const QByteArray &name);

// One entry moved aside, from take() until it is removed or put back. It is meant to be a
// file, but whatever took its name after the caller looked (a folder too) is what moves.
class SetAside
{
public:
    // An entry handed on to a holder that ends it later: it stays in hand meanwhile, so no
    // listing gives it back; the holder takes it back (the constructor below) to end it.
    struct Handed
    {
        std::uint64_t id = 0;
        QByteArray folderName; // the private folder holding it in its home; empty when none
        QByteArray name;       // its name where it is
        QByteArray realName;
    };

    SetAside() = default;
    // Takes back `handed`, set aside in `home` (not owned); what is left of it once this
    // ends is a leftover like any other.
    SetAside(int home, const Handed &handed);
    ~SetAside();
    SetAside(const SetAside &) = delete;
    SetAside &operator=(const SetAside &) = delete;

    // Moves the entry `name` of `dirFd` aside; false when it could not (errno set, ENOENT
    // when the name is gone).
    bool take(int dirFd, const QByteArray &name);
    // Where the entry is now: the folder it is in and its name there; the folder it was in.
    int folder() const { return m_folder; }
    int home() const { return m_home; }
    const QByteArray &name() const { return m_name; }
    // Unlinks it; false (errno set) when that failed and it is still aside.
    bool remove();
    // Gives it its name back (putBack()); the name it has now, empty when it stayed aside.
    QByteArray putBack();
    // Hands the entry on, as it is now; this then holds nothing.
    Handed handOver();

private:
    void dropFolder();

    int m_home = -1;         // the folder it was taken from (not owned)
    int m_folder = -1;       // m_home, or a private folder inside it (owned)
    QByteArray m_realName;
    QByteArray m_name;       // its name in m_folder
    QByteArray m_folderName; // the private folder's name in m_home; empty when none
    std::uint64_t m_id = 0;  // 0 while nothing is aside
};

// Cheap test of a name read from a folder: whether it may be one of ours (restoreLeftover
// says for sure).
bool looksSetAside(const char *name);

// For a listing of the folder `dirFd` that met the entry `name`: true when the entry is set
// aside by this program, which no listing shows as it stands. One whose delete is still
// running stays aside; one left by a run that ended before removing it gets its name back
// (numbered beside it when that is taken), and the names it has now are appended to
// *restoredAs. False for anything else, and for a leftover that cannot be put back (logged):
// those are listed as they are, as the only way to reach what they hold. Names that carry no
// tag (of the shape an older version made) or another one count as this program's when they
// were there before its current secret was made (a first run of this version, or a secret
// lost and made anew), and as anyone's when they came later.
bool restoreLeftover(int dirFd, const QByteArray &name, QByteArrayList *restoredAs);

// Tests stop a delete at these moments (by killing the process, or by saving a newer
// version) to see what is left behind. The hook runs on the deleting thread.
enum class Step { MovingAside, MovedAside, PuttingBack };
void setStepHookForTests(std::function<void(Step)> hook);

} // namespace setaside
