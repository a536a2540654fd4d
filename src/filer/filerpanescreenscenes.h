#pragma once

// Screenshot scenes of the panes' pages: the computer list, a peer page with its drives, a
// breadcrumb being edited and the share window. Only the screenshot run calls this.

class ScreenScenes;

void addFilerPaneScreenScenes(ScreenScenes &scenes);
