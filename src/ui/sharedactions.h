#pragma once

// The process-wide action objects: one QAction per application command, kept by the file
// layer (FilerActions::action) and shared by the menus and every pane and browser; the main
// window gives them their texts, keys and first states. GUI thread only.

#include <QString>

class QAction;
class QWidget;

struct SharedActions
{
    QAction *cut = nullptr;
    QAction *copy = nullptr;
    QAction *copyTo = nullptr;
    QAction *moveTo = nullptr;
    QAction *paste = nullptr;
    QAction *trash = nullptr;
    QAction *remove = nullptr;
    QAction *newFolder = nullptr;
    QAction *rename = nullptr;
    QAction *clearMarked = nullptr;
    QAction *preview = nullptr;
    QAction *viewList = nullptr;
    QAction *viewColumn = nullptr;
    QAction *viewIcons = nullptr;
    QAction *newWindow = nullptr;
    QAction *showNodeView = nullptr;
    QAction *showAltFiler = nullptr;
    QAction *showHidden = nullptr;
    QAction *showProps = nullptr;
    QAction *showInExplorer = nullptr;
    QAction *shareDrive = nullptr;
    QAction *toggleRight = nullptr;
};

// Sets up the actions in the table's order: selection commands start
// disabled, the view modes, show-hidden and share-drive are checkable, copy-to, move-to and
// toggle-right are also added to the window so that their keys work anywhere in it.
SharedActions makeSharedActions(QWidget *window);

// A menu icon drawn by the theme image provider from "icon/<name>.svg" when first painted; an
// empty icon before the provider exists.
class QIcon;
QIcon themeIcon(const QString &name);
