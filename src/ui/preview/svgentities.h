#pragma once

// The general entities a drawing's document type declares in its internal subset, read by
// rules of our own: only an entity that stands for plain text is kept, as the text a
// reference to it makes in character data and in an attribute value. Plain means that what
// the entity stands for, once its value is read (character references decoded) and read
// again where it is used (character and predefined references decoded), is text without
// markup and without a reference left: so an entity never reaches another entity, however
// the '&' is spelt ("&#38;", "&#x26;", "&#0038;", "&#38;#38;" ...). Parameter entities,
// external entities, entities longer than the XML reader's own limit and every other
// declaration are read past and kept nowhere. Any thread.

#include <QHash>
#include <QString>
#include <QStringView>

#include <optional>

class SvgEntities
{
public:
    // What a reference to a kept entity stands for, decoded: in character data, and in an
    // attribute value (white space written in the value becomes a space there).
    struct Text
    {
        QString inCharacters;
        QString inAttribute;
    };

    // Reads a document type declaration from `*at`, just past "<!DOCTYPE", to past its '>'
    // and moves `*at` there. False when it cannot be read.
    bool read(const QString &text, int *at);
    // Whether the document type names an external subset (never fetched): references to
    // entities it does not declare are then references to that subset's.
    bool namesExternalSubset() const { return m_externalSubset; }
    // Null when no kept entity has the name.
    const Text *find(const QString &name) const;

private:
    // Declares `name` unless a declaration came first; `value` is the literal's inside.
    void declare(const QString &name, QStringView value);

    // Every declared name, the entities not kept without a text: the first declaration of a
    // name is the one that holds.
    QHash<QString, std::optional<Text>> m_declared;
    bool m_externalSubset = false;
};

// The names whose references an XML reader decodes without a declaration.
bool isPredefinedEntity(QStringView name);
// White space as XML has it.
bool isXmlSpace(QChar c);
// A character of an entity's name, as names are read here.
bool isEntityNameChar(QChar c);
