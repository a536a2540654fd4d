#pragma once

// Screenshot scenes of the panes' pages: the computer list, a peer page with its drives, a
// breadcrumb being edited and the share window. Only the screenshot run calls this.

class QQmlEngine;
class ScreenScenes;

void addFilerPaneScreenScenes(ScreenScenes &scenes);

// The window's shared QML engine (the one with the theme's image provider), for scenes that
// build views of their own over the window.
QQmlEngine *windowQmlEngine();
