<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="sector-main">
        <source>Main view</source>
        <translation>Hauptansicht</translation>
    </message>
    <message id="label-new-nodeview">
        <source>View %1</source>
        <translation>Ansicht %1</translation>
    </message>
    <message id="action-create-vsector">
        <source>Add new node view</source>
        <translation>Neue Knotenansicht hinzufügen</translation>
    </message>
    <message id="action-customize-node">
        <source>Customize...</source>
        <translation>Anpassen...</translation>
    </message>
    <message id="action-open-node-rhs">
        <source>Open in right file pane</source>
        <translation>Im rechten Dateibereich öffnen</translation>
    </message>
    <message id="action-open-node-new-win">
        <source>Open in new window</source>
        <translation>In neuem Fenster öffnen</translation>
    </message>
    <message id="action-openin-tab">
        <source>Open in new tab</source>
        <translation>In neuem Tab öffnen</translation>
    </message>
    <message id="action-delete-node">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-rename-sector">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-delete-sector">
        <source>Delete...</source>
        <translation>Löschen...</translation>
    </message>
    <message id="dlg-delete-sector-title">
        <source>Delete view</source>
        <translation>Ansicht löschen</translation>
    </message>
    <message id="dlg-delete-sector-description">
        <source>Delete view "%1" and all items in it?</source>
        <translation>Ansicht „%1“ und alle Elemente darin löschen?</translation>
    </message>
    <message id="dlg-customize-node-title">
        <source>Customize node</source>
        <translation>Knoten anpassen</translation>
    </message>
    <message id="dlg-customize-node-no-icon">
        <source>No icon</source>
        <translation>Kein Symbol</translation>
    </message>
    <message id="dlg-customize-node-label-icons">
        <source>Icons</source>
        <translation>Symbole</translation>
    </message>
    <message id="node-directory-not-reachable">
        <source>This folder cannot be reached right now.</source>
        <translation>Dieser Ordner ist gerade nicht erreichbar.</translation>
    </message>
</context>
</TS>
