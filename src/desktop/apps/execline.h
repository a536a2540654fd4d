#pragma once

// The command line of a desktop entry ("Exec" key) and how it becomes processes.
//
// A stored command follows the desktop-entry rules: arguments are separated by blanks; an
// argument may be enclosed in double quotes, inside which '"', '`', '$' and '\' are escaped
// with a backslash; "%%" is a literal percent sign. Field codes stand unquoted: "%f"/"%u"
// (one file; several files start the program once per file), "%F"/"%U" (all files, each its
// own argument, only as a whole argument), "%i" (the icon as "--icon" and its name), "%c"
// (the name), "%k" (the entry's file). Deprecated codes vanish; a field code inside quotes
// is text.

#include <QString>
#include <QStringList>

#include <vector>

namespace ExecLine {

struct Arg
{
    QString text;         // without quotes and quoting backslashes; "%" sequences untouched
    bool quoted = false;
};

// Resolves the escapes of a desktop-entry string value (\s \n \t \r \\); other backslash
// pairs stay for the quoting rules.
QString unescapeValue(const QString& value);

// Splits a command into arguments. False (and nothing) for an unbalanced quote.
bool split(const QString& command, std::vector<Arg>* args);

// One argument written so that split() gives it back as literal text.
QString quote(const QString& text);

// The program of a command: its first argument with "%%" resolved; empty when none.
QString program(const QString& command);

// The program's absolute path: as given when absolute, else found on PATH; empty when it
// does not exist or is not executable.
QString resolveProgram(const QString& program);

struct Launch
{
    QString program;
    QStringList arguments;
};

// Expands the command for the files. Several files with "%f"/"%u" give one launch per file;
// a command without file codes gets no files. False with *error set when the command does
// not parse or has no program.
bool expand(const QString& command, const QStringList& files, const QString& name, const QString& icon,
            const QString& entryFile, std::vector<Launch>* launches, QString* error = nullptr);

// Writes "%k" (the entry's own file) into the command, since the catalogue does not keep it.
QString bindEntryFile(const QString& command, const QString& entryFile);

} // namespace ExecLine
