<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="place-home">
        <source>Home</source>
        <translation>Persönlicher Ordner</translation>
    </message>
    <message id="breadcrump-online-tooltip">
        <source>Connect with your other computers</source>
        <translation>Mit den anderen Computern verbinden</translation>
    </message>
    <message id="btn-shared-items">
        <source>Shared items</source>
        <translation>Freigegebene Elemente</translation>
    </message>
    <message id="label-your-shares">
        <source>Your shared items</source>
        <translation>Ihre Freigaben</translation>
    </message>
    <message id="description-remote-not-reachable">
        <source>The remote computer is currently not reachable.</source>
        <translation>Der entfernte Computer ist zurzeit nicht erreichbar.</translation>
    </message>
    <message id="no-shared-items-on-remote">
        <source>There are no shared items on “%1”.</source>
        <translation>Auf „%1“ gibt es keine freigegebenen Elemente.</translation>
    </message>
    <message id="no-shared-items-for-remote">
        <source>You don't share any items with “%1”.</source>
        <translation>Sie geben keine Elemente für „%1“ frei.</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>Dieser PC</translation>
    </message>
    <message id="label-remote-pc">
        <source>Remote PC</source>
        <translation>Entfernter PC</translation>
    </message>
    <message id="drive-space-info">
        <source>%1  ⁄  %2 free</source>
        <translation>%1  ⁄  %2 frei</translation>
    </message>
    <message id="acl-read-write">
        <source>read / write</source>
        <translation>lesen / schreiben</translation>
    </message>
    <message id="acl-read-only">
        <source>read only</source>
        <translation>nur lesen</translation>
    </message>
    <message id="inline-btn-edit">
        <source>edit</source>
        <translation>bearbeiten</translation>
    </message>
    <message id="network-hint-offlinemode">
        <source>Connecting with other computers via LAN or Internet is deactivated.</source>
        <translation>Die Verbindung mit anderen Computern über LAN oder Internet ist ausgeschaltet.</translation>
    </message>
    <message id="machine-state-online">
        <source>Connected</source>
        <translation>Verbunden</translation>
    </message>
    <message id="machine-state-reachable">
        <source>Connecting…</source>
        <translation>Verbindet…</translation>
    </message>
    <message id="machine-state-offline">
        <source>Not reachable</source>
        <translation>Nicht erreichbar</translation>
    </message>
    <message id="share-with-title-new-share">
        <source>Create new share</source>
        <translation>Neue Freigabe</translation>
    </message>
    <message id="share-with-title-edit-share">
        <source>Edit share</source>
        <translation>Freigabe bearbeiten</translation>
    </message>
    <message id="share-with-peer-info">
        <source>Share with %1</source>
        <translation>Freigeben für %1</translation>
    </message>
    <message id="share-with-option-can-view">
        <source>Can view</source>
        <translation>Darf ansehen</translation>
    </message>
    <message id="share-with-option-can-edit">
        <source>Can edit</source>
        <translation>Darf bearbeiten</translation>
    </message>
    <message id="share-with-btn-remove-share">
        <source>Remove share</source>
        <translation>Freigabe entfernen</translation>
    </message>
    <message id="share-with-btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="share-with-btn-share">
        <source>Share</source>
        <translation>Freigeben</translation>
    </message>
    <message id="Save">
        <source>Save</source>
        <translation>Speichern</translation>
    </message>
    <message id="share-with-warning-root">
        <source>This shares the whole file system of this computer, system files included.</source>
        <translation>Damit wird das gesamte Dateisystem dieses Computers freigegeben, auch die Systemdateien.</translation>
    </message>
    <message id="action-close-tab">
        <source>Close Tab</source>
        <translation>Tab schließen</translation>
    </message>
</context>
</TS>
