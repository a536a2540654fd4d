<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>New folder</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Cut</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Paste</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to</source>
        <translation>Copy to</translation>
    </message>
    <message id="action-move-to">
        <source>Move to</source>
        <translation>Move to</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Rename</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>Move to Trash</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Properties</translation>
    </message>
    <message id="action-show-inexplorer">
        <source>Show in file manager</source>
        <translation>Show in file manager</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Preview</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>as List</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>as Columns</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>as Icons</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Show hidden items</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Toggle right pane</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Open in right pane</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Open in left pane</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>Open in new tab in left pane</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>Open in new tab in right pane</translation>
    </message>
    <message id="action-open-in-tab">
        <source>Open in new tab</source>
        <translation>Open in new tab</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>New window</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>New Tab</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Show files on right hand side</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Show node view</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Share drive</translation>
    </message>
</context>
</TS>
