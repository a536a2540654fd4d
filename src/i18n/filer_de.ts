<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="action-larger">
        <source>Larger items</source>
        <translation>Größere Elemente</translation>
    </message>
    <message id="action-smaller">
        <source>Smaller items</source>
        <translation>Kleinere Elemente</translation>
    </message>
    <message id="filer-status-offline">
        <source>%1 is not connected</source>
        <translation>%1 ist nicht verbunden</translation>
    </message>
    <message id="filer-status-dirselection" numerus="yes">
        <source>%n folders selected</source>
        <translation>
            <numerusform>%n Ordner ausgewählt</numerusform>
            <numerusform>%n Ordner ausgewählt</numerusform>
        </translation>
    </message>
    <message id="filer-status-selection" numerus="yes">
        <source>%n items selected (%1)</source>
        <translation>
            <numerusform>%n Element ausgewählt (%1)</numerusform>
            <numerusform>%n Elemente ausgewählt (%1)</numerusform>
        </translation>
    </message>
    <message id="filer-status-dir" numerus="yes">
        <source>%n items</source>
        <translation>
            <numerusform>%n Element</numerusform>
            <numerusform>%n Elemente</numerusform>
        </translation>
    </message>
    <message id="filer-status-freespace">
        <source>%1 free</source>
        <translation>%1 frei</translation>
    </message>
    <message id="filer-status-unsupop">
        <source>This drop is not supported here.</source>
        <translation>Dieses Ablegen wird hier nicht unterstützt.</translation>
    </message>
    <message id="filer-msg-peer-removed">
        <source>The computer shown here was removed. Pick another computer.</source>
        <translation>Der hier gezeigte Computer wurde entfernt. Bitte einen anderen Computer wählen.</translation>
    </message>
    <message id="filer-msg-bad-name">
        <source>"%1" cannot be used as a name.</source>
        <translation>„%1“ kann nicht als Name verwendet werden.</translation>
    </message>
    <message id="filer-msg-not-deletable">
        <source>%1 cannot be deleted.</source>
        <translation>%1 kann nicht gelöscht werden.</translation>
    </message>
    <message id="place-network">
        <source>Network</source>
        <translation>Netzwerk</translation>
    </message>
    <message id="title-create-new-folder">
        <source>Create new folder</source>
        <translation>Neuen Ordner anlegen</translation>
    </message>
    <message id="label-new-folder-name">
        <source>Folder name</source>
        <translation>Ordnername</translation>
    </message>
    <message id="default-new-folder-name">
        <source>New Folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="btn-create">
        <source>Create</source>
        <translation>Anlegen</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="btn-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="dlg-confirm-delete-title">
        <source>Confirm deletion</source>
        <translation>Löschen bestätigen</translation>
    </message>
    <message id="dlg-confirm-delete-q-folder">
        <source>Do you really want to delete the folder "%1" and everything in it permanently?</source>
        <translation>Soll der Ordner „%1“ mit allem Inhalt endgültig gelöscht werden?</translation>
    </message>
    <message id="dlg-confirm-delete-q-item">
        <source>Do you really want to delete "%1" permanently?</source>
        <translation>Soll „%1“ endgültig gelöscht werden?</translation>
    </message>
    <message id="dlg-confirm-delete-q-items" numerus="yes">
        <source>Do you really want to delete these %n items permanently?</source>
        <translation>
            <numerusform>Soll dieses Element endgültig gelöscht werden?</numerusform>
            <numerusform>Sollen diese %n Elemente endgültig gelöscht werden?</numerusform>
        </translation>
    </message>
    <message id="filer-msg-trashed">
        <source>%1 was moved to the trash.</source>
        <translation>%1 liegt jetzt im Papierkorb.</translation>
    </message>
    <message id="filer-msg-trashed-on">
        <source>%1 was moved to the trash on %2.</source>
        <translation>%1 liegt jetzt im Papierkorb auf %2.</translation>
    </message>
    <message id="filer-msg-trashed-items" numerus="yes">
        <source>%n items were moved to the trash.</source>
        <translation>
            <numerusform>%n Element liegt jetzt im Papierkorb.</numerusform>
            <numerusform>%n Elemente liegen jetzt im Papierkorb.</numerusform>
        </translation>
    </message>
    <message id="filer-msg-trashed-items-on" numerus="yes">
        <source>%n items were moved to the trash on %1.</source>
        <translation>
            <numerusform>%n Element liegt jetzt im Papierkorb auf %1.</numerusform>
            <numerusform>%n Elemente liegen jetzt im Papierkorb auf %1.</numerusform>
        </translation>
    </message>
    <message id="msg-trash-failed1">
        <source>Failed to put %1 in the trash.</source>
        <translation>%1 konnte nicht in den Papierkorb gelegt werden.</translation>
    </message>
    <message id="msg-delete-failed1">
        <source>Failed to delete %1.</source>
        <translation>%1 konnte nicht gelöscht werden.</translation>
    </message>
    <message id="action-move-here-between">
        <source>Move here — only within one computer; between computers: %1 (%2)</source>
        <translation>Hierher verschieben — nur innerhalb eines Computers; zwischen Computern: %1 (%2)</translation>
    </message>
    <message id="action-move-here">
        <source>Move here</source>
        <translation>Hierher verschieben</translation>
    </message>
    <message id="action-copy-here">
        <source>Copy here</source>
        <translation>Hierher kopieren</translation>
    </message>
    <message id="menu-share-with">
        <source>Share with</source>
        <translation>Freigeben für</translation>
    </message>
    <message id="menu-share-drive-with">
        <source>Share drive with</source>
        <translation>Laufwerk freigeben für</translation>
    </message>
    <message id="dlg-trash-failed-q-delete">
        <source>&quot;%1&quot; cannot be put in the trash. Delete it permanently instead?</source>
        <translation>„%1“ kann nicht in den Papierkorb gelegt werden. Stattdessen endgültig löschen?</translation>
    </message>
    <message id="menu-open-with">
        <source>Open with</source>
        <translation>Öffnen mit</translation>
    </message>
    <message id="menu-extract-item">
        <source>Extract here...</source>
        <translation>Hier entpacken...</translation>
    </message>
    <message id="filer-msg-no-properties">
        <source>No file manager shows the properties of %1.</source>
        <translation>Kein Dateimanager zeigt die Eigenschaften von %1.</translation>
    </message>
    <message id="delete-refused-offline">
        <source>Cannot delete: %1 is not connected.</source>
        <translation>Löschen nicht möglich: %1 ist nicht verbunden.</translation>
    </message>
    <message id="delete-refused-read-only">
        <source>Cannot delete %1: it is read only here.</source>
        <translation>Nicht gelöscht: %1 ist schreibgeschützt.</translation>
    </message>
    <message id="filer-msg-properties-local-only">
        <source>Properties: only for items on this computer.</source>
        <translation>Eigenschaften nur für Elemente dieses Computers.</translation>
    </message>
    <message id="rename-refused-exists">
        <source>Cannot rename %1: %2 is already there.</source>
        <translation>%1 nicht umbenannt: %2 gibt es schon.</translation>
    </message>
    <message id="rename-refused-read-only">
        <source>Cannot rename %1: it is read only here.</source>
        <translation>Nicht umbenannt: %1 ist schreibgeschützt.</translation>
    </message>
    <message id="rename-refused-silent">
        <source>Cannot rename %1: %2 did not answer.</source>
        <translation>%1 nicht umbenannt: %2 antwortet nicht.</translation>
    </message>
    <message id="rename-failed">
        <source>%1 could not be renamed.</source>
        <translation>%1 konnte nicht umbenannt werden.</translation>
    </message>
    <message id="filer-msg-share-gone">
        <source>%1 is no longer shared with this computer.</source>
        <translation>%1 wird nicht mehr für diesen Computer freigegeben.</translation>
    </message>
    <message id="filer-msg-preview-local-only">
        <source>Preview: only for files on this computer.</source>
        <translation>Vorschau nur für Dateien dieses Computers.</translation>
    </message>
</context>
</TS>
