#pragma once

// The window's first-start layout, computed from the screen's available size: 70 % of it,
// at most 1440 pixels wide (proportions kept), centred; the left pane takes 45 %.

#include <QList>
#include <QRect>
#include <QSize>

namespace windowlayout {

QRect initialGeometry(const QSize &available);
// The splitter's division for a window of `width`; empty when the width is 400 or less
// (the splitter then keeps its own).
QList<int> initialSplit(int width);

} // namespace windowlayout
