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
    <message id="column-name">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="column-size">
        <source>Size</source>
        <translation>Size</translation>
    </message>
    <message id="column-modified">
        <source>Modified</source>
        <translation>Modified</translation>
    </message>
    <message id="place-shares">
        <source>Shares</source>
        <translation>Shares</translation>
    </message>
    <message id="item-type-folder">
        <source>Folder</source>
        <translation>Folder</translation>
    </message>
    <message id="open-src-file-access-denied">
        <source>Access denied to open source file.</source>
        <translation>Access denied to open source file.</translation>
    </message>
    <message id="open-dst-file-access-denied">
        <source>Access denied to open destination file.</source>
        <translation>Access denied to open destination file.</translation>
    </message>
    <message id="file-copy-q-overwrite">
        <source>The file already exists, do you want to replace it?</source>
        <translation>The file already exists, do you want to replace it?</translation>
    </message>
    <message id="copy-eta-seconds">
        <source>nearly done</source>
        <translation>nearly done</translation>
    </message>
    <message id="copy-eta-less1minute">
        <source>less than a minute</source>
        <translation>less than a minute</translation>
    </message>
    <message id="copy-eta-minutes">
        <source>about %1 minutes</source>
        <translation>about %1 minutes</translation>
    </message>
    <message id="copy-eta-hours">
        <source>about %1 hours</source>
        <translation>about %1 hours</translation>
    </message>
    <message id="copy-error-peer-missing">
        <source>The peer of the copy is no longer known.</source>
        <translation>The peer of the copy is no longer known.</translation>
    </message>
    <message id="copy-error-into-itself">
        <source>A folder cannot be copied into itself.</source>
        <translation>A folder cannot be copied into itself.</translation>
    </message>
    <message id="copy-error-dst-missing">
        <source>The destination folder does not exist.</source>
        <translation>The destination folder does not exist.</translation>
    </message>
    <message id="copy-error-source-missing">
        <source>The source no longer exists.</source>
        <translation>The source no longer exists.</translation>
    </message>
    <message id="copy-error-same-file">
        <source>Source and destination are the same file.</source>
        <translation>Source and destination are the same file.</translation>
    </message>
    <message id="copy-error-dst-is-folder">
        <source>The destination has a folder where a file should go.</source>
        <translation>The destination has a folder where a file should go.</translation>
    </message>
    <message id="copy-error-dst-not-folder">
        <source>The destination has a file where a folder should go.</source>
        <translation>The destination has a file where a folder should go.</translation>
    </message>
    <message id="copy-error-dst-is-link">
        <source>The destination is a symbolic link; it is not replaced.</source>
        <translation>The destination is a symbolic link; it is not replaced.</translation>
    </message>
    <message id="copy-error-no-duplicate-name">
        <source>No free name for the copy was found.</source>
        <translation>No free name for the copy was found.</translation>
    </message>
    <message id="copy-error-offline">
        <source>This computer is offline. The copy goes on once it is switched online again.</source>
        <translation>This computer is offline. The copy goes on once it is switched online again.</translation>
    </message>
    <message id="copy-error-peer-unreachable">
        <source>%1 cannot be reached. The copy goes on when it can be reached again.</source>
        <translation>%1 cannot be reached. The copy goes on when it can be reached again.</translation>
    </message>
    <message id="copy-error-write-short">
        <source>Not all data could be written to the destination. Is its disk full?</source>
        <translation>Not all data could be written to the destination. Is its disk full?</translation>
    </message>
    <message id="file-copy-count" numerus="yes">
        <source>(%n. Copy)</source>
        <translation>
            <numerusform>(Copy)</numerusform>
            <numerusform>(%n. Copy)</numerusform>
        </translation>
    </message>
    <message id="btn-close">
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message id="btn-copy">
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message id="btn-paste">
        <source>Paste</source>
        <translation>Paste</translation>
    </message>
    <message id="btn-move">
        <source>Move</source>
        <translation>Move</translation>
    </message>
    <message id="btn-skip">
        <source>Skip</source>
        <translation>Skip</translation>
    </message>
    <message id="btn-replace">
        <source>Replace</source>
        <translation>Replace</translation>
    </message>
    <message id="btn-replace-all">
        <source>Replace all</source>
        <translation>Replace all</translation>
    </message>
    <message id="size-bytes" numerus="yes">
        <source>%n bytes</source>
        <translation>
            <numerusform>%n byte</numerusform>
            <numerusform>%n bytes</numerusform>
        </translation>
    </message>
</context>
</TS>
