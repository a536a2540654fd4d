#pragma once

// The window's compiled-in resources (QML, icons, the built-in theme) live in a static
// library; call this once before they are used. The main window does so itself.
void initUiResources();
