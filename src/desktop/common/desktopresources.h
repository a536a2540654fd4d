#pragma once

// The icons of the desktop layer (":/icons/desktop/..."), compiled into its static library;
// the program calls this once before showing any of its dialogs.
void initDesktopResources();
