#include "ui/preview/svgentities.h"

#include <functional>

namespace {

// Characters one entity may stand for: Qt's XML reader takes no entity that stands for more
// than a few beyond this.
constexpr int kMaxEntityChars = 4096;

bool isXmlChar(uint code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF)
           || (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
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
        while (!atEnd() && isXmlSpace(text.at(at)))
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
        while (!atEnd() && isEntityNameChar(text.at(at)))
            ++at;
        return text.mid(start, at - start);
    }
    // A quoted literal, its inside into `inside`; false when none follows.
    bool literal(QStringView *inside)
    {
        const QChar quote = peek();
        if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
            return false;
        const int close = text.indexOf(quote, at + 1);
        if (close < 0)
            return false;
        *inside = QStringView(text).mid(at + 1, close - at - 1);
        at = close + 1;
        return true;
    }
    // Past the '>' that ends a declaration, the literals in it skipped whole: they may hold
    // '>' and ']'.
    bool skipDeclaration()
    {
        QStringView ignored;
        while (!atEnd()) {
            const QChar c = peek();
            if (c == QLatin1Char('>')) {
                ++at;
                return true;
            }
            if (c != QLatin1Char('"') && c != QLatin1Char('\''))
                ++at;
            else if (!literal(&ignored))
                return false;
        }
        return false;
    }
};

// The reference starting at `at` ("&#" digits ";" or "&#x" hex digits ";") decoded into
// `out`; the position past it, or -1 when it is none or names no character XML allows.
int characterReference(QStringView text, int at, QString *out)
{
    if (!text.mid(at).startsWith(QLatin1String("&#")))
        return -1;
    int i = at + 2;
    const bool hex = i < text.size() && text.at(i) == QLatin1Char('x');
    i += hex ? 1 : 0;
    const int digits = i;
    uint code = 0;
    for (; i < text.size() && text.at(i) != QLatin1Char(';'); ++i) {
        const ushort u = text.at(i).unicode();
        int digit = -1;
        if (u >= '0' && u <= '9')
            digit = u - '0';
        else if (hex && u >= 'a' && u <= 'f')
            digit = u - 'a' + 10;
        else if (hex && u >= 'A' && u <= 'F')
            digit = u - 'A' + 10;
        // Leading zeros are as good as none.
        if (digit < 0 || (code = code * (hex ? 16 : 10) + uint(digit)) > 0x10FFFF)
            return -1;
    }
    if (i == digits || i == text.size() || !isXmlChar(code))
        return -1;
    out->append(QString::fromUcs4(&code, 1));
    return i + 1;
}

// The predefined reference starting at `at` decoded into `out`; the position past it, or -1.
int predefinedReference(QStringView text, int at, QString *out)
{
    static const struct { QLatin1String reference; QChar character; } predefined[] = {
        {QLatin1String("&lt;"), QLatin1Char('<')},    {QLatin1String("&gt;"), QLatin1Char('>')},
        {QLatin1String("&amp;"), QLatin1Char('&')},   {QLatin1String("&apos;"), QLatin1Char('\'')},
        {QLatin1String("&quot;"), QLatin1Char('"')},
    };
    for (const auto &p : predefined) {
        if (text.mid(at).startsWith(p.reference)) {
            out->append(p.character);
            return at + p.reference.size();
        }
    }
    return -1;
}

// What an entity of the literal `value` stands for: its character references decoded, the
// rest as written. False when the value holds a parameter entity or a reference to a
// general entity other than the predefined ones (it would be read again wherever the entity
// is used), or markup.
bool replacementText(QStringView value, QString *out)
{
    for (int i = 0; i < value.size();) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('&')) {
            const int start = i;
            if ((i = characterReference(value, start, out)) >= 0)
                continue;
            // Predefined references stay as written: they are decoded where the entity is used.
            QString decoded;
            if ((i = predefinedReference(value, start, &decoded)) < 0)
                return false;
            out->append(value.mid(start, i - start));
        } else if (c == QLatin1Char('%') || c == QLatin1Char('<')) {
            return false;
        } else {
            out->append(c);
            ++i;
        }
    }
    return out->size() <= kMaxEntityChars;
}

// The replacement text read again as a reference to the entity reads it, in character data
// and in an attribute value. False when it holds markup or a reference to a general entity.
bool plainText(const QString &replacement, SvgEntities::Text *out)
{
    for (int i = 0; i < replacement.size();) {
        const QChar c = replacement.at(i);
        if (c == QLatin1Char('<'))
            return false;
        if (c != QLatin1Char('&')) {
            // As Qt's reader reads it: a line end the value's references wrote is one.
            out->inCharacters.append(c == QLatin1Char('\r') ? QLatin1Char('\n') : c);
            out->inAttribute.append(isXmlSpace(c) ? QLatin1Char(' ') : c);
            ++i;
            continue;
        }
        const int start = out->inCharacters.size();
        int next = characterReference(replacement, i, &out->inCharacters);
        if (next < 0)
            next = predefinedReference(replacement, i, &out->inCharacters);
        if (next < 0)
            return false;
        // A character a reference makes stays what it is, white space as well.
        out->inAttribute.append(out->inCharacters.midRef(start));
        i = next;
    }
    return true;
}

bool readSubset(Cursor &c, const std::function<void(const QString &, QStringView)> &declare)
{
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
            // A general entity with a literal value: "<!ENTITY" name literal ">". Every other
            // form (a parameter entity, an external one) and every other declaration is
            // passed over.
            QString name;
            QStringView value;
            if (c.take(QLatin1String("ENTITY")) && c.skipSpace() && !(name = c.name()).isEmpty() && c.skipSpace()
                && c.literal(&value)) {
                c.skipSpace();
                if (c.take(QLatin1String(">"))) {
                    declare(name, value);
                    continue;
                }
            }
            if (!c.skipDeclaration())
                return false;
        } else {
            return false;
        }
    }
}

} // namespace

bool isXmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

bool isEntityNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') || c == QLatin1Char('.')
           || c == QLatin1Char(':');
}

bool isPredefinedEntity(QStringView name)
{
    return name == QLatin1String("lt") || name == QLatin1String("gt") || name == QLatin1String("amp")
           || name == QLatin1String("apos") || name == QLatin1String("quot");
}

bool SvgEntities::read(const QString &text, int *at)
{
    Cursor c{text, *at};
    if (!c.skipSpace() || c.name().isEmpty())
        return false;
    c.skipSpace();
    const bool isPublic = c.take(QLatin1String("PUBLIC"));
    if (isPublic || c.take(QLatin1String("SYSTEM"))) {
        QStringView identifier;
        for (int i = 0; i < (isPublic ? 2 : 1); ++i) {
            if (!c.skipSpace() || !c.literal(&identifier))
                return false;
        }
        m_externalSubset = true;
        c.skipSpace();
    }
    if (c.take(QLatin1String("["))) {
        const auto declare = [this](const QString &name, QStringView value) { this->declare(name, value); };
        if (!readSubset(c, declare))
            return false;
        c.skipSpace();
    }
    if (!c.take(QLatin1String(">")))
        return false;
    *at = c.at;
    return true;
}

const SvgEntities::Text *SvgEntities::find(const QString &name) const
{
    const auto found = m_declared.constFind(name);
    return found == m_declared.cend() || !found->has_value() ? nullptr : &**found;
}

void SvgEntities::declare(const QString &name, QStringView value)
{
    if (m_declared.contains(name) || isPredefinedEntity(name))
        return;
    QString replacement;
    Text plain;
    if (replacementText(value, &replacement) && plainText(replacement, &plain))
        m_declared.insert(name, std::move(plain));
    else
        m_declared.insert(name, std::nullopt);
}
