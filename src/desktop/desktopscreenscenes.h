#pragma once

// The desktop layer's screenshot scenes: the open-with menu, the extraction dialog, the
// update dialog (offer and download) and the update banner. Nothing here touches the
// network, the catalogue's files or any archive.

class ScreenScenes;

void addDesktopScreenScenes(ScreenScenes& scenes);
