#pragma once

class ScreenScenes;

// The preview layer's screenshot scenes: the icon view of a folder of demo photos with their
// thumbnails, the preview of a photo with its facts, the preview of a PDF page.
void addPreviewScreenScenes(ScreenScenes &scenes);
