#pragma once

class ScreenScenes;

// The node view's screenshot scene: a view with this computer, its drives and folders.
void addNodeViewScreenScenes(ScreenScenes &scenes);
