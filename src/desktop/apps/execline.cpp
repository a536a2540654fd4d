#include "desktop/apps/execline.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace ExecLine {

QString unescapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= value.size()) {
            out.append(c);
            continue;
        }
        const QChar n = value.at(i + 1);
        switch (n.unicode()) {
        case 's': out.append(QLatin1Char(' ')); ++i; break;
        case 'n': out.append(QLatin1Char('\n')); ++i; break;
        case 't': out.append(QLatin1Char('\t')); ++i; break;
        case 'r': out.append(QLatin1Char('\r')); ++i; break;
        case '\\': out.append(QLatin1Char('\\')); ++i; break;
        default: out.append(c); break;   // left for the quoting rules ("\"", "\$", ...)
        }
    }
    return out;
}

bool split(const QString& command, std::vector<Arg>* args)
{
    args->clear();
    std::vector<Arg> out;
    Arg current;
    bool inArg = false;
    bool inQuotes = false;
    for (int i = 0; i < command.size(); ++i) {
        const QChar c = command.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('\\') && i + 1 < command.size()) {
                const QChar n = command.at(i + 1);
                if (n == QLatin1Char('"') || n == QLatin1Char('`') || n == QLatin1Char('$') || n == QLatin1Char('\\')) {
                    current.text.append(n);
                    ++i;
                    continue;
                }
            }
            if (c == QLatin1Char('"')) {
                inQuotes = false;
                continue;
            }
            current.text.append(c);
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inArg) {
                out.push_back(current);
                current = Arg();
                inArg = false;
            }
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
            inArg = true;
            current.quoted = true;
        } else {
            inArg = true;
            current.text.append(c);
        }
    }
    if (inQuotes)
        return false;
    if (inArg)
        out.push_back(current);
    *args = std::move(out);
    return true;
}

QString quote(const QString& text)
{
    QString escaped;
    bool needsQuotes = text.isEmpty();
    for (const QChar c : text) {
        if (c == QLatin1Char('%')) {
            escaped.append(QLatin1String("%%"));
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\')) {
            escaped.append(QLatin1Char('\\'));
            needsQuotes = true;
        } else if (c.isSpace() || QStringLiteral("'><~|&;*?#()").contains(c)) {
            needsQuotes = true;
        }
        escaped.append(c);
    }
    if (!needsQuotes)
        return escaped;
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

namespace {

// "%%" resolved, every other sequence kept: the text of a quoted argument.
QString literal(const QString& text)
{
    QString out = text;
    out.replace(QLatin1String("%%"), QLatin1String("%"));
    return out;
}

// An unquoted argument with codes that stand for one value each. Deprecated and unknown codes
// vanish.
QString expandInline(const QString& text, const QString& file, const QString& name, const QString& entryFile)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('%') || i + 1 >= text.size()) {
            out.append(c);
            continue;
        }
        const QChar code = text.at(++i);
        switch (code.unicode()) {
        case '%': out.append(QLatin1Char('%')); break;
        case 'f': case 'u': out.append(file); break;
        case 'c': out.append(name); break;
        case 'k': out.append(entryFile); break;
        default: break;
        }
    }
    return out;
}

bool isCode(const Arg& arg, const char* code)
{
    return !arg.quoted && arg.text == QLatin1String(code);
}

} // namespace

QString program(const QString& command)
{
    std::vector<Arg> args;
    if (!split(command, &args) || args.empty())
        return QString();
    return args.front().quoted ? literal(args.front().text) : expandInline(args.front().text, QString(), QString(), QString());
}

QString resolveProgram(const QString& program)
{
    if (program.isEmpty())
        return QString();
    if (QDir::isAbsolutePath(program)) {
        const QFileInfo fi(program);
        return fi.isFile() && fi.isExecutable() ? fi.absoluteFilePath() : QString();
    }
    if (program.contains(QLatin1Char('/')))
        return QString();   // relative paths depend on a working folder the launch doesn't have
    return QStandardPaths::findExecutable(program);
}

bool expand(const QString& command, const QStringList& files, const QString& name, const QString& icon,
            const QString& entryFile, std::vector<Launch>* launches, QString* error)
{
    launches->clear();
    std::vector<Arg> args;
    if (!split(command, &args)) {
        if (error)
            *error = QStringLiteral("unbalanced quote in \"%1\"").arg(command);
        return false;
    }
    bool perFile = false;
    for (const Arg& a : args) {
        if (!a.quoted && (a.text.contains(QLatin1String("%f")) || a.text.contains(QLatin1String("%u")))) {
            // "%%f" is a literal "%f", not a code.
            if (expandInline(a.text, QStringLiteral("\x01"), QString(), QString()).contains(QLatin1Char('\x01')))
                perFile = true;
        }
    }
    bool allFiles = false;
    for (const Arg& a : args)
        allFiles = allFiles || isCode(a, "%F") || isCode(a, "%U");
    if ((perFile || allFiles) && files.isEmpty()) {
        if (error)
            *error = QStringLiteral("no file selected for \"%1\"").arg(command);
        return false;
    }
    const int rounds = perFile ? files.size() : 1;
    for (int r = 0; r < rounds; ++r) {
        const QString file = perFile ? files.at(r) : QString();
        Launch launch;
        bool first = true;
        for (const Arg& a : args) {
            QStringList values;
            if (a.quoted) {
                values << literal(a.text);
            } else if (isCode(a, "%F") || isCode(a, "%U")) {
                values = files;
            } else if (isCode(a, "%i")) {
                if (!icon.isEmpty())
                    values << QStringLiteral("--icon") << icon;
            } else {
                const QString v = expandInline(a.text, file, name, entryFile);
                // An argument that was nothing but deprecated codes goes away.
                if (!v.isEmpty() || a.text.isEmpty())
                    values << v;
            }
            for (const QString& v : values) {
                if (first) {
                    launch.program = v;
                    first = false;
                } else {
                    launch.arguments << v;
                }
            }
        }
        if (launch.program.isEmpty()) {
            if (error)
                *error = QStringLiteral("no program in \"%1\"").arg(command);
            launches->clear();
            return false;
        }
        launches->push_back(launch);
    }
    if (launches->empty() && error)
        *error = QStringLiteral("no file for \"%1\"").arg(command);
    return !launches->empty();
}

QString bindEntryFile(const QString& command, const QString& entryFile)
{
    std::vector<Arg> args;
    if (!split(command, &args))
        return command;
    bool hasK = false;
    for (const Arg& a : args)
        hasK = hasK || (!a.quoted && expandInline(a.text, QString(), QString(), QStringLiteral("\x01")).contains(QLatin1Char('\x01')));
    if (!hasK)
        return command;
    QStringList parts;
    for (const Arg& a : args) {
        if (a.quoted) {
            parts << quote(literal(a.text));
        } else if (expandInline(a.text, QString(), QString(), QStringLiteral("\x01")).contains(QLatin1Char('\x01'))) {
            QString t = a.text;
            // Only the "%k" codes become text; the other codes of the argument stay codes.
            QString rebuilt;
            for (int i = 0; i < t.size(); ++i) {
                if (t.at(i) == QLatin1Char('%') && i + 1 < t.size()) {
                    const QChar code = t.at(i + 1);
                    if (code == QLatin1Char('k'))
                        rebuilt += QString(entryFile).replace(QLatin1Char('%'), QLatin1String("%%"));
                    else
                        rebuilt += t.mid(i, 2);
                    ++i;
                } else {
                    rebuilt += t.at(i);
                }
            }
            // A file path with blanks needs quotes, which turn any other code into text.
            parts << (rebuilt.contains(QLatin1Char(' ')) ? quote(literal(rebuilt)) : rebuilt);
        } else {
            parts << a.text;
        }
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace ExecLine
