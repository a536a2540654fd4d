#pragma once

// The program's command line, read before any GUI object exists so that --help and
// --version work without a display. Options keep their "name=value" form, which the rest of
// the program reads with appArgument(); the parser only validates them and answers the two
// informational options.

#include <QString>
#include <QStringList>

struct CommandLine
{
    enum Outcome {
        Run,          // start the program
        ExitOk,       // --help or --version was answered
        ExitError,    // a malformed option; `message` says which
    };
    Outcome outcome = Run;
    QString output;   // what to print: the help or version text, or the error message
};

// Parses the arguments (program name first). Options it does not know are left to the
// framework (for example "-platform").
CommandLine parseCommandLine(const QStringList &arguments);

// Whether a GUI can start: a platform other than xcb/wayland was chosen (environment or
// "-platform"), or a display is named in the environment. `reason` gets a one-line explanation when not.
bool displayAvailable(const QStringList &arguments, QString *reason);
