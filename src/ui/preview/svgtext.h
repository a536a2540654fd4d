#pragma once

// A drawing's text as XML readers get it. Qt's XML reader acts on a document type's internal
// subset as it parses it, wherever in the text the document type stands: default attribute
// values and entities expand there and again at every reference (a few hundred kilobytes
// become gigabytes), and QtSvg opens the file any style sheet instruction there names. So no
// XML reader ever parses a subset as written: the text is decoded here, by rules of our own,
// and its document type rebuilt from the entities a drawing's text may use (plain text, as
// drawing programs declare their namespaces). Any thread.

#include <QByteArray>
#include <QString>

// The text decoded by its byte order mark, else as UTF-16 when it starts with "<" in that
// form, else by the encoding its XML declaration names, else as UTF-8. Null when the
// declaration names an encoding there is no codec for.
QString decodeXmlText(const QByteArray &bytes);

// `text` with its document type kept to its name, its external identifier (never fetched) and
// the declarations of entities whose value is plain text (character references allowed, no
// entity references, no markup); every
// other declaration, instruction, comment and parameter entity of the subset is left out.
// Null when the document type cannot be read, when the text names a second one, or when its
// entities could make the text grow past `maxChars` characters. Text without a document type
// comes back as it is.
QString withPlainEntitiesOnly(const QString &text, qint64 maxChars);
