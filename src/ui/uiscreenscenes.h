#pragma once

// The main window's screenshot scenes: the empty window, both panes, each menu open, the
// invitation dialogs, the About dialog and a copy-job window mid-copy and mid-question.

class ScreenScenes;

void addUiScreenScenes(ScreenScenes &scenes);
// The two panes side by side in a small window and with tabs (panescreenscenes.cpp).
void addPaneScreenScenes(ScreenScenes &scenes);
