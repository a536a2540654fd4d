#include "ui/preview/svgtext.h"

#include "ui/preview/svgentities.h"

#include <QRegularExpression>
#include <QTextCodec>

namespace {

// Entities may write this many characters for each character of the drawing's own text: a
// drawing costs at most what a plain one of three times its size costs, and drawing
// programs that write their namespaces and styles as entities stay well within it.
constexpr qint64 kEntityCharsPerChar = 2;

// `plain` as the reader is to take it: in character data, or in an attribute value that
// `quote` ends. Characters the reader would take as markup, or would change (line ends, white
// space in attribute values), are written as references.
QString escaped(const QString &plain, QChar quote)
{
    const bool inAttribute = !quote.isNull();
    QString out;
    out.reserve(plain.size());
    for (const QChar c : plain) {
        if (c == QLatin1Char('&'))
            out += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            out += QLatin1String("&lt;");
        else if (c == QLatin1Char('>') && !inAttribute)
            out += QLatin1String("&gt;");
        else if (c == QLatin1Char('"') && quote == c)
            out += QLatin1String("&quot;");
        else if (c == QLatin1Char('\'') && quote == c)
            out += QLatin1String("&apos;");
        else if (c == QLatin1Char('\r') || (inAttribute && isXmlSpace(c) && c != QLatin1Char(' ')))
            out += QStringLiteral("&#%1;").arg(c.unicode());
        else
            out += c;
    }
    return out;
}

// One pass over a drawing's text, from its start to its end (see svgTextForReaders). What it
// hands on is the text itself up to the first change, then pieces of it and what replaces
// the rest.
class ReaderText
{
public:
    ReaderText(const QString &text, qint64 maxChars)
        : m_text(text), m_maxChars(maxChars), m_entityBudget(kEntityCharsPerChar * text.size())
    {
    }

    QString read()
    {
        int depth = 0;
        bool rootSeen = false;
        bool documentTypeSeen = false;
        while (m_at < m_text.size()) {
            const QChar c = m_text.at(m_at);
            if (c == QLatin1Char('&')) {
                if (!reference(QChar()))
                    return QString();
                continue;
            }
            if (c != QLatin1Char('<')) {
                ++m_at;
                continue;
            }
            bool read = true;
            if (startsWith("<!--"))
                read = skipPast("-->");
            else if (startsWith("<?"))
                read = skipPast("?>");
            else if (startsWith("<![CDATA["))
                read = skipPast("]]>");
            else if (startsWith("<!DOCTYPE") && !rootSeen && !documentTypeSeen)
                read = documentTypeSeen = documentType();
            else if (startsWith("<!"))
                read = false;
            else if (startsWith("</"))
                read = endTag() && --depth >= 0;
            else if ((read = depth < kMaxSvgDepth)) {
                bool open = false;
                read = startTag(&open);
                depth += open ? 1 : 0;
                rootSeen = true;
            }
            if (!read)
                return QString();
        }
        if (m_copied > 0)
            m_out.append(m_text.midRef(m_copied));
        const QString &readerText = m_copied > 0 ? m_out : m_text;
        return readerText.size() <= m_maxChars ? readerText : QString();
    }

private:
    bool startsWith(const char *markup) const { return m_text.midRef(m_at).startsWith(QLatin1String(markup)); }

    bool skipPast(const char *end)
    {
        const int found = m_text.indexOf(QLatin1String(end), m_at);
        m_at = found < 0 ? m_text.size() : found + int(qstrlen(end));
        return found >= 0;
    }

    bool skipSpace()
    {
        const int start = m_at;
        while (m_at < m_text.size() && isXmlSpace(m_text.at(m_at)))
            ++m_at;
        return m_at > start;
    }

    // A name of an element or an attribute, as far as the pass needs to know it: up to white
    // space, '/', '>' or '=', and holding no other character of markup.
    bool name()
    {
        const int start = m_at;
        for (; m_at < m_text.size(); ++m_at) {
            const QChar c = m_text.at(m_at);
            if (isXmlSpace(c) || c == QLatin1Char('/') || c == QLatin1Char('>') || c == QLatin1Char('='))
                break;
            if (c == QLatin1Char('<') || c == QLatin1Char('&') || c == QLatin1Char('"') || c == QLatin1Char('\''))
                return false;
        }
        return m_at > start;
    }

    // The text from `from` to `to` is handed on as `with`.
    bool replace(int from, int to, const QString &with)
    {
        m_out.append(m_text.midRef(m_copied, from - m_copied));
        m_out.append(with);
        m_copied = to;
        return m_out.size() <= m_maxChars;
    }

    bool documentType()
    {
        const int start = m_at;
        m_at += 9; // "<!DOCTYPE"
        return m_entities.read(m_text, &m_at) && replace(start, m_at, QString());
    }

    // At '&', in character data or in an attribute value `quote` ends.
    bool reference(QChar quote)
    {
        const int start = m_at++;
        // Character references are the reader's: what they make is never read again.
        if (m_at < m_text.size() && m_text.at(m_at) == QLatin1Char('#'))
            return true;
        while (m_at < m_text.size() && isEntityNameChar(m_text.at(m_at)))
            ++m_at;
        if (m_at == start + 1 || m_at == m_text.size() || m_text.at(m_at) != QLatin1Char(';'))
            return false;
        const QString name = m_text.mid(start + 1, m_at - start - 1);
        ++m_at;
        if (isPredefinedEntity(name))
            return true;
        if (const SvgEntities::Text *entity = m_entities.find(name)) {
            const QString with = escaped(quote.isNull() ? entity->inCharacters : entity->inAttribute, quote);
            m_entityChars += with.size();
            return m_entityChars <= m_entityBudget && replace(start, m_at, with);
        }
        if (!m_entities.namesExternalSubset())
            return false;
        // The reference itself, a few characters more than it takes.
        return replace(start, m_at, quote.isNull() ? QString() : QLatin1String("&amp;") + name + QLatin1Char(';'));
    }

    // At '<' of a start tag, to past its end; `open` when it is no empty element.
    bool startTag(bool *open)
    {
        ++m_at;
        if (!name())
            return false;
        for (int attributes = 0;;) {
            const bool spaced = skipSpace();
            if (startsWith(">") || startsWith("/>")) {
                *open = startsWith(">");
                m_at += *open ? 1 : 2;
                return true;
            }
            if (!spaced || !name() || ++attributes > kMaxSvgAttributes)
                return false;
            skipSpace();
            if (!startsWith("="))
                return false;
            ++m_at;
            skipSpace();
            const QChar quote = m_at < m_text.size() ? m_text.at(m_at) : QChar();
            if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
                return false;
            for (++m_at;;) {
                if (m_at == m_text.size() || m_text.at(m_at) == QLatin1Char('<'))
                    return false;
                const QChar c = m_text.at(m_at);
                if (c == quote)
                    break;
                if (c != QLatin1Char('&'))
                    ++m_at;
                else if (!reference(quote))
                    return false;
            }
            ++m_at;
        }
    }

    bool endTag()
    {
        m_at += 2;
        if (!name())
            return false;
        skipSpace();
        if (!startsWith(">"))
            return false;
        ++m_at;
        return true;
    }

    const QString &m_text;
    const qint64 m_maxChars;
    const qint64 m_entityBudget;
    SvgEntities m_entities;
    int m_at = 0;
    QString m_out;
    int m_copied = 0;
    qint64 m_entityChars = 0;
};

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

QString svgTextForReaders(const QString &text, qint64 maxChars)
{
    return ReaderText(text, maxChars).read();
}
