#pragma once

// Drawings for the drawing tests and their bench: plain ones of a given size, and the hostile
// forms a drawing's text can take (entities nesting through references of any spelling, one
// entity used very often, one element with very many attributes, elements nested very deep).

#include <QByteArray>

// `data` as a gzip stream, as .svgz files hold it.
QByteArray gzip(const QByteArray &data);

// A 16 x 16 drawing after `prolog` with `inside` in it: a black square, drawn first.
QByteArray squareDrawing(const QByteArray &prolog, const QByteArray &inside = QByteArray());

// Where a drawing puts the references it makes: in a text, in one attribute, or in the
// default value of an attribute its document type declares (for a group it holds).
enum class ReferencePlace { Text, Attribute, DefaultValue };

// Three entities: "c" of 45 characters, "b" nine references to "c" and "a" nine to "b", those
// references spelt `amp` + name + ";" (`amp` "&#38;", "&#x26;", "&#0038;"...: what the
// declaration makes of them is a reference again); "&a;" used until the drawing is about
// `bytes` long.
QByteArray nestedEntityDrawing(int bytes, const QByteArray &amp, ReferencePlace place);

// One entity of `valueChars` characters used `uses` times.
QByteArray oftenUsedEntityDrawing(int valueChars, int uses, ReferencePlace place);

// One element with `count` attributes of distinct names.
QByteArray manyAttributesDrawing(int count);

// Groups nested `levels` deep around the square.
QByteArray deepDrawing(int levels);

// About `bytes` of paths of many points, the bulk of a drawing program's file.
QByteArray plainDrawing(int bytes);
