#pragma once

// The file views' states for the screenshot run: the list view, the icon view at a small and
// a large size, and a browsed share of another computer with its status line.

class ScreenScenes;

void addFilerViewScreenScenes(ScreenScenes &scenes);
