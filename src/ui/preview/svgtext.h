#pragma once

// A drawing's text as XML readers get it. Qt's XML reader acts on a document type's internal
// subset as it parses it, wherever in the text the document type stands: default attribute
// values and entities expand there and again at every reference, through references the
// expansion itself makes (a few kilobytes become gigabytes), and QtSvg opens the file any
// style sheet instruction there names. Qt's reader also compares every attribute of an
// element with every other, and keeps every element it is inside of. So no XML reader ever
// sees a document type: the text is read here first, in one pass by rules of our own, and
// handed on without it, the references to its entities (ui/preview/svgentities.h) replaced
// by the text they stand for; elements nested too deep and elements with too many
// attributes are refused as the pass meets them. Any thread.

#include <QByteArray>
#include <QString>

// Elements one element may be inside of, counting the outermost. QtSvg looks a node's style
// up through every element the node is inside of: a drawing nested deeper costs more than a
// plain one of its size, and no drawing program nests anywhere near this deep.
constexpr int kMaxSvgDepth = 256;
// Attributes of one element.
constexpr int kMaxSvgAttributes = 256;

// The text decoded by its byte order mark, else as UTF-16 when it starts with "<" in that
// form, else by the encoding its XML declaration names, else as UTF-8. Null when the
// declaration names an encoding there is no codec for.
QString decodeXmlText(const QByteArray &bytes);

// `text` without its document type, every reference to an entity it declares replaced by the
// entity's text, written so that a reader takes it as that text and nothing else (references
// to entities an external subset may declare are left out of character data and kept as
// text in attribute values, as the reader takes them). Comments, character data sections
// and processing instructions are passed over as written. Null when the document type
// cannot be read or is not the first; when the text refers to an entity there is no
// declaration for; when an element is nested deeper than kMaxSvgDepth or has more than
// kMaxSvgAttributes attributes; when the entities' text, counted as it is written, comes to
// more than twice the characters of `text`; or when the result would be longer than
// `maxChars`. Text without a document type comes back as it is, shared.
QString svgTextForReaders(const QString &text, qint64 maxChars);
