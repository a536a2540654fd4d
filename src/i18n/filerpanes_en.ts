<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="place-home">
        <source>Home</source>
        <translation>Home</translation>
    </message>
    <message id="breadcrump-online-tooltip">
        <source>Connect with your other computers</source>
        <translation>Connect with your other computers</translation>
    </message>
    <message id="btn-shared-items">
        <source>Shared items</source>
        <translation>Shared items</translation>
    </message>
    <message id="label-your-shares">
        <source>Your shared items</source>
        <translation>Your shared items</translation>
    </message>
    <message id="description-remote-not-reachable">
        <source>The remote computer is currently not reachable.</source>
        <translation>The remote computer is currently not reachable.</translation>
    </message>
    <message id="no-shared-items-on-remote">
        <source>There are no shared items on “%1”.</source>
        <translation>There are no shared items on “%1”.</translation>
    </message>
    <message id="no-shared-items-for-remote">
        <source>You don't share any items with “%1”.</source>
        <translation>You don't share any items with “%1”.</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>This PC</translation>
    </message>
    <message id="label-remote-pc">
        <source>Remote PC</source>
        <translation>Remote PC</translation>
    </message>
    <message id="drive-space-info">
        <source>%1  ⁄  %2 free</source>
        <translation>%1  ⁄  %2 free</translation>
    </message>
    <message id="acl-read-write">
        <source>read / write</source>
        <translation>read / write</translation>
    </message>
    <message id="acl-read-only">
        <source>read only</source>
        <translation>read only</translation>
    </message>
    <message id="inline-btn-edit">
        <source>edit</source>
        <translation>edit</translation>
    </message>
    <message id="network-hint-offlinemode">
        <source>Connecting with other computers via LAN or Internet is deactivated.</source>
        <translation>Connecting with other computers via LAN or Internet is deactivated.</translation>
    </message>
    <message id="machine-state-online">
        <source>Connected</source>
        <translation>Connected</translation>
    </message>
    <message id="machine-state-reachable">
        <source>Connecting…</source>
        <translation>Connecting…</translation>
    </message>
    <message id="machine-state-offline">
        <source>Not reachable</source>
        <translation>Not reachable</translation>
    </message>
    <message id="share-with-title-new-share">
        <source>Create new share</source>
        <translation>Create new share</translation>
    </message>
    <message id="share-with-title-edit-share">
        <source>Edit share</source>
        <translation>Edit share</translation>
    </message>
    <message id="share-with-peer-info">
        <source>Share with %1</source>
        <translation>Share with %1</translation>
    </message>
    <message id="share-with-option-can-view">
        <source>Can view</source>
        <translation>Can view</translation>
    </message>
    <message id="share-with-option-can-edit">
        <source>Can edit</source>
        <translation>Can edit</translation>
    </message>
    <message id="share-with-btn-remove-share">
        <source>Remove share</source>
        <translation>Remove share</translation>
    </message>
    <message id="share-with-btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="share-with-btn-share">
        <source>Share</source>
        <translation>Share</translation>
    </message>
    <message id="Save">
        <source>Save</source>
        <translation>Save</translation>
    </message>
    <message id="share-with-warning-root">
        <source>This shares the whole file system of this computer, system files included.</source>
        <translation>This shares the whole file system of this computer, system files included.</translation>
    </message>
    <message id="action-close-tab">
        <source>Close Tab</source>
        <translation>Close Tab</translation>
    </message>
</context>
</TS>
