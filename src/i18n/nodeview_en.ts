<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="sector-main">
        <source>Main view</source>
        <translation>Main view</translation>
    </message>
    <message id="label-new-nodeview">
        <source>View %1</source>
        <translation>View %1</translation>
    </message>
    <message id="action-create-vsector">
        <source>Add new node view</source>
        <translation>Add new node view</translation>
    </message>
    <message id="action-customize-node">
        <source>Customize...</source>
        <translation>Customize...</translation>
    </message>
    <message id="action-open-node-rhs">
        <source>Open in right file pane</source>
        <translation>Open in right file pane</translation>
    </message>
    <message id="action-open-node-new-win">
        <source>Open in new window</source>
        <translation>Open in new window</translation>
    </message>
    <message id="action-openin-tab">
        <source>Open in new tab</source>
        <translation>Open in new tab</translation>
    </message>
    <message id="action-delete-node">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="action-rename-sector">
        <source>Rename</source>
        <translation>Rename</translation>
    </message>
    <message id="action-delete-sector">
        <source>Delete...</source>
        <translation>Delete...</translation>
    </message>
    <message id="dlg-delete-sector-title">
        <source>Delete view</source>
        <translation>Delete view</translation>
    </message>
    <message id="dlg-delete-sector-description">
        <source>Delete view "%1" and all items in it?</source>
        <translation>Delete view "%1" and all items in it?</translation>
    </message>
    <message id="dlg-customize-node-title">
        <source>Customize node</source>
        <translation>Customize node</translation>
    </message>
    <message id="dlg-customize-node-no-icon">
        <source>No icon</source>
        <translation>No icon</translation>
    </message>
    <message id="dlg-customize-node-label-icons">
        <source>Icons</source>
        <translation>Icons</translation>
    </message>
    <message id="node-directory-not-reachable">
        <source>This folder cannot be reached right now.</source>
        <translation>This folder cannot be reached right now.</translation>
    </message>
</context>
</TS>
