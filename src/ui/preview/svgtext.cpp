#include "ui/preview/svgtext.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>

namespace {

const QLatin1String kDocumentType("<!DOCTYPE");

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') || c == QLatin1Char('.')
           || c == QLatin1Char(':');
}

// A position in the text of one document type declaration, moved on by what it reads.
struct Cursor
{
    const QString &text;
    int at;

    bool atEnd() const { return at >= text.size(); }
    QChar peek() const { return atEnd() ? QChar() : text.at(at); }
    // Whether there was any.
    bool skipSpace()
    {
        const int start = at;
        while (!atEnd() && isSpace(text.at(at)))
            ++at;
        return at > start;
    }
    bool take(QLatin1String word)
    {
        if (text.midRef(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }
    bool skipPast(QLatin1String end)
    {
        const int found = text.indexOf(end, at);
        if (found < 0)
            return false;
        at = found + end.size();
        return true;
    }
    QString name()
    {
        const int start = at;
        while (!atEnd() && isNameChar(text.at(at)))
            ++at;
        return text.mid(start, at - start);
    }
    // A quoted literal, quotes included; empty when none follows.
    QString literal()
    {
        const QChar quote = peek();
        if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
            return QString();
        const int close = text.indexOf(quote, at + 1);
        if (close < 0)
            return QString();
        const QString quoted = text.mid(at, close - at + 1);
        at = close + 1;
        return quoted;
    }
    // Past the '>' that ends a declaration, the literals in it skipped whole: they may hold
    // '>' and ']'.
    bool skipDeclaration()
    {
        while (!atEnd()) {
            const QChar c = peek();
            if (c == QLatin1Char('>')) {
                ++at;
                return true;
            }
            if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                if (literal().isEmpty())
                    return false;
            } else {
                ++at;
            }
        }
        return false;
    }
};

// The internal subset from past its '[' to past its ']': the declarations of entities whose
// value is plain text are collected, with the most their references can grow the text by (a
// reference "&name;" becomes the value); everything else is passed over.
bool readSubset(Cursor &c, QStringList *entities, double *growth)
{
    // A character reference takes more room than the one or two it stands for.
    static const QRegularExpression plainEntity(QStringLiteral(
        "^<!ENTITY[ \\t\\r\\n]+([^ \\t\\r\\n%&;<>\"']+)[ \\t\\r\\n]+"
        "(\"(?:[^\"&%<]|&#[0-9]+;|&#x[0-9a-fA-F]+;)*\"|'(?:[^'&%<]|&#[0-9]+;|&#x[0-9a-fA-F]+;)*')[ \\t\\r\\n]*>$"));
    for (;;) {
        c.skipSpace();
        if (c.atEnd())
            return false;
        if (c.peek() == QLatin1Char(']')) {
            ++c.at;
            return true;
        }
        if (c.take(QLatin1String("<!--"))) {
            if (!c.skipPast(QLatin1String("-->")))
                return false;
        } else if (c.take(QLatin1String("<?"))) {
            if (!c.skipPast(QLatin1String("?>")))
                return false;
        } else if (c.take(QLatin1String("%"))) {
            if (c.name().isEmpty() || !c.take(QLatin1String(";")))
                return false;
        } else if (c.take(QLatin1String("<!"))) {
            const int start = c.at - 2;
            if (!c.skipDeclaration())
                return false;
            const QString declaration = c.text.mid(start, c.at - start);
            const QRegularExpressionMatch match = plainEntity.match(declaration);
            if (!match.hasMatch())
                continue;
            entities->append(declaration);
            const int valueChars = match.capturedLength(2) - 2;
            *growth = std::max(*growth, double(valueChars) / (match.capturedLength(1) + 2));
        } else {
            return false;
        }
    }
}

} // namespace

QString decodeXmlText(const QByteArray &bytes)
{
    QTextCodec *codec = QTextCodec::codecForUtfText(bytes, nullptr);
    if (!codec && bytes.startsWith(QByteArray("<\0", 2)))
        codec = QTextCodec::codecForName("UTF-16LE");
    else if (!codec && bytes.startsWith(QByteArray("\0<", 2)))
        codec = QTextCodec::codecForName("UTF-16BE");
    if (!codec) {
        static const QRegularExpression declaration(QStringLiteral(
            "^<\\?xml[ \\t\\r\\n][^>]*?encoding[ \\t\\r\\n]*=[ \\t\\r\\n]*[\"']([A-Za-z][A-Za-z0-9._-]*)[\"']"));
        const QRegularExpressionMatch match = declaration.match(QString::fromLatin1(bytes.left(1024)));
        codec = QTextCodec::codecForName(match.hasMatch() ? match.captured(1).toLatin1() : QByteArray("UTF-8"));
        if (!codec)
            return QString();
    }
    QString text = codec->toUnicode(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

QString withPlainEntitiesOnly(const QString &text, qint64 maxChars)
{
    // Wherever it stands: the reader parses a document type in the body too before it says
    // that one has no place there.
    const int start = text.indexOf(kDocumentType);
    if (start < 0)
        return text;
    Cursor c{text, start + kDocumentType.size()};
    if (!c.skipSpace())
        return QString();
    const QString name = c.name();
    if (name.isEmpty())
        return QString();
    c.skipSpace();
    QString rebuilt = kDocumentType + QLatin1Char(' ') + name;
    const bool isPublic = c.take(QLatin1String("PUBLIC"));
    if (isPublic || c.take(QLatin1String("SYSTEM"))) {
        rebuilt += isPublic ? QLatin1String(" PUBLIC") : QLatin1String(" SYSTEM");
        for (int i = 0; i < (isPublic ? 2 : 1); ++i) {
            const QString literal = c.skipSpace() ? c.literal() : QString();
            if (literal.isEmpty())
                return QString();
            rebuilt += QLatin1Char(' ') + literal;
        }
        c.skipSpace();
    }
    QStringList entities;
    double growth = 1;
    if (c.take(QLatin1String("["))) {
        if (!readSubset(c, &entities, &growth))
            return QString();
        c.skipSpace();
    }
    if (!c.take(QLatin1String(">")) || text.indexOf(kDocumentType, c.at) >= 0 || growth * text.size() > maxChars)
        return QString();
    if (!entities.isEmpty())
        rebuilt += QLatin1String(" [") + entities.join(QLatin1Char(' ')) + QLatin1Char(']');
    return text.left(start) + rebuilt + QLatin1Char('>') + text.mid(c.at);
}
