<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Ausschneiden</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to</source>
        <translation>Kopieren nach</translation>
    </message>
    <message id="action-move-to">
        <source>Move to</source>
        <translation>Verschieben nach</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>In den Papierkorb verschieben</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Eigenschaften</translation>
    </message>
    <message id="action-show-inexplorer">
        <source>Show in file manager</source>
        <translation>Im Dateimanager anzeigen</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>als Liste</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>als Spalten</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>als Symbole</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Versteckte Elemente anzeigen</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Rechte Seite umschalten</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Im rechten Bereich öffnen</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Im linken Bereich öffnen</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>In neuem Tab im linken Bereich öffnen</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>In neuem Tab im rechten Bereich öffnen</translation>
    </message>
    <message id="action-open-in-tab">
        <source>Open in new tab</source>
        <translation>In neuem Tab öffnen</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>Neues Fenster</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>Neuer Tab</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Zeige Dateien auf der rechten Seite</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Zeige Nodes</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Laufwerk freigeben</translation>
    </message>
</context>
</TS>
