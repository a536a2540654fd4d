#pragma once

// Compiles the panes' QML pages, dialogs and icons into the program. Call once after the
// application object exists and before a page is loaded.
void initFilerPanesResources();
