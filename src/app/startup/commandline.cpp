#include "app/startup/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

namespace {

QString programName(const QStringList &arguments)
{
    return arguments.isEmpty() ? QStringLiteral("nusk") : QFileInfo(arguments.first()).fileName();
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A file manager for all your computers: browse, copy and move files between them."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    // "-platform", "-reverse" and the like are the framework's single-dash words.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version."));
    const QCommandLineOption configDir(QStringLiteral("config-dir"),
        QStringLiteral("Folder of the settings (config.ini) and the database (default: the local data location)."),
        QStringLiteral("dir"));
    const QCommandLineOption renderer(QStringLiteral("renderer"),
        QStringLiteral("\"software\" draws the views without OpenGL."), QStringLiteral("name"));
    const QCommandLineOption port(QStringLiteral("com-listen-port"),
        QStringLiteral("TCP port other computers reach this one on (default 60391)."), QStringLiteral("port"));
    const QCommandLineOption turn(QStringLiteral("turn"), QStringLiteral("TURN relay to use."), QStringLiteral("server"));
    const QCommandLineOption imgcache(QStringLiteral("imgcache"),
        QStringLiteral("Thumbnail cache: 1 on (default), 0 off."), QStringLiteral("n"));
    parser.addOptions({help, version, configDir, renderer, port, turn, imgcache});

    CommandLine result;
    // Unknown options belong to the framework (-platform, -style, ...); only the program's own
    // are checked here.
    parser.parse(arguments);
    if (parser.isSet(help)) {
        // Written here rather than by the parser, which needs an application object.
        QString text = QStringLiteral("Usage: %1 [options]\n%2\n\nOptions:\n")
                           .arg(programName(arguments), parser.applicationDescription());
        for (const QCommandLineOption &option : {help, version, configDir, renderer, port, turn, imgcache}) {
            QStringList names;
            for (const QString &name : option.names())
                names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
            QString left = names.join(QStringLiteral(", "));
            if (!option.valueName().isEmpty())
                left += QLatin1Char('=') + option.valueName();
            text += QStringLiteral("  %1  %2\n").arg(left, -26).arg(option.description());
        }
        result.outcome = CommandLine::ExitOk;
        result.output = text;
        return result;
    }
    if (parser.isSet(version)) {
        result.outcome = CommandLine::ExitOk;
        result.output = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                      QCoreApplication::applicationVersion());
        return result;
    }
    for (const QCommandLineOption &option : {port, imgcache}) {
        if (!parser.isSet(option))
            continue;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < 0 || value > 65535) {
            result.outcome = CommandLine::ExitError;
            result.output = QStringLiteral("%1: --%2 expects a number, not \"%3\"\n")
                                .arg(programName(arguments), option.names().first(), parser.value(option));
            return result;
        }
    }
    return result;
}

bool displayAvailable(const QStringList &arguments, QString *reason)
{
    if (arguments.contains(QStringLiteral("-platform")) || arguments.contains(QStringLiteral("--platform")))
        return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    if (!qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty())
        return true;
    if (reason)
        *reason = QStringLiteral("no display found: set DISPLAY (or run under xvfb-run); --help lists the options");
    return false;
}
