#pragma once

// The file side of the self-update hand-over. A downloaded update is unpacked into
// "<installdir>/update" and started from there (exit code 40 of the running program).
// That copy moves every installed file it replaces into "<installdir>/rollback", moves its
// own files into place and starts the installed program, which on a normal start removes
// the leftover "update" and "rollback" directories. "update.zip" is never touched here.

#include <QString>
#include <QStringList>

class SelfUpdate
{
public:
    // The exit code of the event loop that asks for the hand-over to "update/<program>".
    static constexpr int ExitCodeUpdate = 40;

    // Starts the next program of the hand-over with `arguments`, telling it the process it
    // takes over from, so that it waits for that one's lock instead of ending as a second
    // start. False when it could not be started.
    static bool startHandOver(const QString& program, const QStringList& arguments, qint64 handingOverPid);
    // The process this start takes over from, 0 for a normal start. Read once at start-up;
    // the programs this one runs later do not see it.
    static qint64 takeHandingOverPid();

    // appDir: the directory of the running executable; programName: its file name.
    SelfUpdate(const QString& appDir, const QString& programName);

    // True when this copy runs from an "update" directory whose parent holds the installed
    // program. Without the installed program beside it, a directory that merely happens to
    // be called "update" is not treated as an update.
    bool isRunningFromUpdate() const;

    QString installDir() const;       // parent of "update" when running from it, else appDir
    QString updateDir() const;        // installDir() + "/update"
    QString rollbackDir() const;      // installDir() + "/rollback"
    QString installedProgram() const; // installDir() + "/" + programName
    QString updateProgram() const;    // updateDir() + "/" + programName

    // Moves the update's files into the install directory, each replaced file into
    // "rollback". On failure everything moved so far is put back, the reason is stored in
    // errorString() and false is returned.
    bool install();

    // Normal start: removes "update" and "rollback" beside the executable.
    void removeLeftovers();

    QString errorString() const { return m_error; }

private:
    struct Move
    {
        QString relPath;
        bool replaced = false; // an installed file went to rollback
        bool placed = false;   // the update's file went into place
    };
    void undo(const QList<Move>& moves);

    QString m_appDir;
    QString m_programName;
    QString m_error;
};
