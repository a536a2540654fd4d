<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="action-larger">
        <source>Larger items</source>
        <translation>Larger items</translation>
    </message>
    <message id="action-smaller">
        <source>Smaller items</source>
        <translation>Smaller items</translation>
    </message>
    <message id="filer-status-offline">
        <source>%1 is not connected</source>
        <translation>%1 is not connected</translation>
    </message>
    <message id="filer-status-dirselection" numerus="yes">
        <source>%n folders selected</source>
        <translation>
            <numerusform>%n folder selected</numerusform>
            <numerusform>%n folders selected</numerusform>
        </translation>
    </message>
    <message id="filer-status-selection" numerus="yes">
        <source>%n items selected (%1)</source>
        <translation>
            <numerusform>%n item selected (%1)</numerusform>
            <numerusform>%n items selected (%1)</numerusform>
        </translation>
    </message>
    <message id="filer-status-dir" numerus="yes">
        <source>%n items</source>
        <translation>
            <numerusform>%n item</numerusform>
            <numerusform>%n items</numerusform>
        </translation>
    </message>
    <message id="filer-status-freespace">
        <source>%1 free</source>
        <translation>%1 free</translation>
    </message>
    <message id="filer-status-unsupop">
        <source>This drop is not supported here.</source>
        <translation>This drop is not supported here.</translation>
    </message>
    <message id="filer-msg-peer-removed">
        <source>The computer shown here was removed. Pick another computer.</source>
        <translation>The computer shown here was removed. Pick another computer.</translation>
    </message>
    <message id="filer-msg-bad-name">
        <source>"%1" cannot be used as a name.</source>
        <translation>"%1" cannot be used as a name.</translation>
    </message>
    <message id="filer-msg-not-deletable">
        <source>%1 cannot be deleted.</source>
        <translation>%1 cannot be deleted.</translation>
    </message>
    <message id="place-network">
        <source>Network</source>
        <translation>Network</translation>
    </message>
    <message id="title-create-new-folder">
        <source>Create new folder</source>
        <translation>Create new folder</translation>
    </message>
    <message id="label-new-folder-name">
        <source>Folder name</source>
        <translation>Folder name</translation>
    </message>
    <message id="default-new-folder-name">
        <source>New Folder</source>
        <translation>New Folder</translation>
    </message>
    <message id="btn-create">
        <source>Create</source>
        <translation>Create</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="btn-delete">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="dlg-confirm-delete-title">
        <source>Confirm deletion</source>
        <translation>Confirm deletion</translation>
    </message>
    <message id="dlg-confirm-delete-q-folder">
        <source>Do you really want to delete the folder "%1" and everything in it permanently?</source>
        <translation>Do you really want to delete the folder "%1" and everything in it permanently?</translation>
    </message>
    <message id="dlg-confirm-delete-q-item">
        <source>Do you really want to delete "%1" permanently?</source>
        <translation>Do you really want to delete "%1" permanently?</translation>
    </message>
    <message id="dlg-confirm-delete-q-items" numerus="yes">
        <source>Do you really want to delete these %n items permanently?</source>
        <translation>
            <numerusform>Do you really want to delete this item permanently?</numerusform>
            <numerusform>Do you really want to delete these %n items permanently?</numerusform>
        </translation>
    </message>
    <message id="filer-msg-trashed">
        <source>%1 was moved to the trash.</source>
        <translation>%1 was moved to the trash.</translation>
    </message>
    <message id="filer-msg-trashed-on">
        <source>%1 was moved to the trash on %2.</source>
        <translation>%1 was moved to the trash on %2.</translation>
    </message>
    <message id="filer-msg-trashed-items" numerus="yes">
        <source>%n items were moved to the trash.</source>
        <translation>
            <numerusform>%n item was moved to the trash.</numerusform>
            <numerusform>%n items were moved to the trash.</numerusform>
        </translation>
    </message>
    <message id="filer-msg-trashed-items-on" numerus="yes">
        <source>%n items were moved to the trash on %1.</source>
        <translation>
            <numerusform>%n item was moved to the trash on %1.</numerusform>
            <numerusform>%n items were moved to the trash on %1.</numerusform>
        </translation>
    </message>
    <message id="msg-trash-failed1">
        <source>Failed to put %1 in the trash.</source>
        <translation>Failed to put %1 in the trash.</translation>
    </message>
    <message id="msg-delete-failed1">
        <source>Failed to delete %1.</source>
        <translation>Failed to delete %1.</translation>
    </message>
    <message id="action-move-here-between">
        <source>Move here — only within one computer; between computers: %1 (%2)</source>
        <translation>Move here — only within one computer; between computers: %1 (%2)</translation>
    </message>
    <message id="action-move-here">
        <source>Move here</source>
        <translation>Move here</translation>
    </message>
    <message id="action-copy-here">
        <source>Copy here</source>
        <translation>Copy here</translation>
    </message>
    <message id="menu-share-with">
        <source>Share with</source>
        <translation>Share with</translation>
    </message>
    <message id="menu-share-drive-with">
        <source>Share drive with</source>
        <translation>Share drive with</translation>
    </message>
    <message id="dlg-trash-failed-q-delete">
        <source>&quot;%1&quot; cannot be put in the trash. Delete it permanently instead?</source>
        <translation>&quot;%1&quot; cannot be put in the trash. Delete it permanently instead?</translation>
    </message>
    <message id="menu-open-with">
        <source>Open with</source>
        <translation>Open with</translation>
    </message>
    <message id="menu-extract-item">
        <source>Extract here...</source>
        <translation>Extract here...</translation>
    </message>
    <message id="filer-msg-no-properties">
        <source>No file manager shows the properties of %1.</source>
        <translation>No file manager shows the properties of %1.</translation>
    </message>
    <message id="delete-refused-offline">
        <source>Cannot delete: %1 is not connected.</source>
        <translation>Cannot delete: %1 is not connected.</translation>
    </message>
    <message id="delete-refused-read-only">
        <source>Cannot delete %1: it is read only here.</source>
        <translation>Cannot delete %1: it is read only here.</translation>
    </message>
    <message id="filer-msg-properties-local-only">
        <source>Properties: only for items on this computer.</source>
        <translation>Properties: only for items on this computer.</translation>
    </message>
    <message id="rename-refused-exists">
        <source>Cannot rename %1: %2 is already there.</source>
        <translation>Cannot rename %1: %2 is already there.</translation>
    </message>
    <message id="rename-refused-read-only">
        <source>Cannot rename %1: it is read only here.</source>
        <translation>Cannot rename %1: it is read only here.</translation>
    </message>
    <message id="rename-refused-silent">
        <source>Cannot rename %1: %2 did not answer.</source>
        <translation>Cannot rename %1: %2 did not answer.</translation>
    </message>
    <message id="rename-failed">
        <source>%1 could not be renamed.</source>
        <translation>%1 could not be renamed.</translation>
    </message>
    <message id="filer-msg-share-gone">
        <source>%1 is no longer shared with this computer.</source>
        <translation>%1 is no longer shared with this computer.</translation>
    </message>
    <message id="filer-msg-preview-local-only">
        <source>Preview: only for files on this computer.</source>
        <translation>Preview: only for files on this computer.</translation>
    </message>
</context>
</TS>
