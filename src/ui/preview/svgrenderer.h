#pragma once

// SVG and SVGZ drawings rendered with QtSvg. The text is read by the renderer itself, never by
// QtSvg from the path: a compressed drawing is inflated here against a byte cap first, so a
// small hostile file cannot expand to gigabytes; pictures the drawing names by file are read
// here, from inside the drawing's own folder tree only, without waiting on anything that is
// not a regular file, and handed to QtSvg embedded, so QtSvg opens no file; pictures the
// drawing embeds or names must fit the memory budget together, their text counted with their
// pixels, before QtSvg decodes them, and every picture made stays inside the pixel budget.
// QtSvg gets the drawing only as written again here, without document type or processing
// instructions, its entities in place, and only once a pass of our own has found it neither
// nested too deep nor with too many attributes on one element (ui/preview/svgtext.h).
// Any worker thread; a renderer of its own per call.

#include "ui/preview/imagetypes.h"

#include <QByteArray>
#include <QImage>
#include <QSize>

class QSvgRenderer;

// The drawing's text: plain files as they are, gzip streams inflated; empty when the file is
// missing, too big, broken, or inflates beyond the cap.
QByteArray readSvgText(const QString &path, qint64 maxBytes);

// Draws the renderer's drawing into a transparent picture of `size`, which is first shrunk
// to the pixel budget; null for an empty size.
QImage paintSvg(QSvgRenderer &renderer, QSize size);

// Loads the request's drawing; on success the result's width and height hold its default
// size and one image per bound is appended, in bound order. False (result untouched) when
// the drawing does not load.
bool renderSvgImage(const PreviewImageRequest &request, PreviewImageResult *result);

// The picture for the preview view: the drawing's default size scaled by `scalePercent` when
// that is above 100 (rounded), capped to the pixel budget.
QImage renderSvgAtScale(const QString &path, double scalePercent);
