<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="action-remote">
        <source>&amp;Remote</source>
        <translation>&amp;Remote</translation>
    </message>
    <message id="action-edit">
        <source>&amp;Edit</source>
        <translation>&amp;Edit</translation>
    </message>
    <message id="action-view">
        <source>&amp;Files view</source>
        <translation>&amp;Files view</translation>
    </message>
    <message id="action-help">
        <source>&amp;Help</source>
        <translation>&amp;Help</translation>
    </message>
    <message id="action-create-invitation">
        <source>Create invitation...</source>
        <translation>Create invitation...</translation>
    </message>
    <message id="action-add-invitation">
        <source>Add by invitation...</source>
        <translation>Add by invitation...</translation>
    </message>
    <message id="action-active-invitations">
        <source>Active Invitations...</source>
        <translation>Active Invitations...</translation>
    </message>
    <message id="action-about-nusk">
        <source>About nusk</source>
        <translation>About nusk</translation>
    </message>
    <message id="action-online-docs">
        <source>Online documentation</source>
        <translation>Online documentation</translation>
    </message>
    <message id="action-check-updates">
        <source>Check for updates</source>
        <translation>Check for updates</translation>
    </message>
    <message id="about-beta">
        <source>public beta</source>
        <translation>public beta</translation>
    </message>
    <message id="about-version">
        <source>version</source>
        <translation>version</translation>
    </message>
    <message id="about-tor-version">
        <source>Tor version:</source>
        <translation>Tor version:</translation>
    </message>
    <message id="about-qt-version">
        <source>Qt version:</source>
        <translation>Qt version:</translation>
    </message>
    <message id="about-renderer">
        <source>Renderer:</source>
        <translation>Renderer:</translation>
    </message>
    <message id="about-licenses">
        <source>Open Source Licenses</source>
        <translation>Open Source Licenses</translation>
    </message>
    <message id="about-notice">
        <source>nusk is made with Qt, libsodium and other open source software; their licences are in the licenses folder beside the program.</source>
        <translation>nusk is made with Qt, libsodium and other open source software; their licences are in the licenses folder beside the program.</translation>
    </message>
    <message id="title-copy-to">
        <source>Copy to other file pane</source>
        <translation>Copy to other file pane</translation>
    </message>
    <message id="label-copyto-destination">
        <source>Copy to</source>
        <translation>Copy to</translation>
    </message>
    <message id="title-move-to">
        <source>Move to other file pane</source>
        <translation>Move to other file pane</translation>
    </message>
    <message id="label-moveto-destination">
        <source>Move to</source>
        <translation>Move to</translation>
    </message>
    <message id="inv-create-title">
        <source>Create invitation</source>
        <translation>Create invitation</translation>
    </message>
    <message id="inv-btn-create">
        <source>Create invitation</source>
        <translation>Create invitation</translation>
    </message>
    <message id="inv-info-text">
        <source>The following invitation can be sent via email or messenger to a remote computer.</source>
        <translation>The following invitation can be sent via email or messenger to a remote computer.</translation>
    </message>
    <message id="inv-code-description">
        <source>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</source>
        <translation>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</translation>
    </message>
    <message id="inv-password-label">
        <source>Code:</source>
        <translation>Code:</translation>
    </message>
    <message id="inv-copy-to-clipboard">
        <source>Copy to clipboard</source>
        <translation>Copy to clipboard</translation>
    </message>
    <message id="inv-accept-hint">
        <source>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</translation>
    </message>
    <message id="inv-process-invitation-dlg-title">
        <source>Accept invitation</source>
        <translation>Accept invitation</translation>
    </message>
    <message id="btn-invaccept">
        <source>Accept invitation</source>
        <translation>Accept invitation</translation>
    </message>
    <message id="inv-description-accept-invitation">
        <source>By accepting the invitation two computers can be connected.</source>
        <translation>By accepting the invitation two computers can be connected.</translation>
    </message>
    <message id="inv-paste-invitation-placeholder">
        <source>Paste the invitation here...</source>
        <translation>Paste the invitation here...</translation>
    </message>
    <message id="inv-accept-description">
        <source>It may take several minutes to initially establish the connection. Creating file shares can be done via "Context menu / Share with".</source>
        <translation>It may take several minutes to initially establish the connection. Creating file shares can be done via "Context menu / Share with".</translation>
    </message>
    <message id="inv-password-input">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-hint-codeinput">
        <source>The code decrypts the invitation.</source>
        <translation>The code decrypts the invitation.</translation>
    </message>
    <message id="inv-hint-valid-data">
        <source>Looks good, ready to connect.</source>
        <translation>Looks good, ready to connect.</translation>
    </message>
    <message id="inv-hint-invalid-data">
        <source>The entered data is invalid.</source>
        <translation>The entered data is invalid.</translation>
    </message>
    <message id="inv-active-title">
        <source>Active invitations</source>
        <translation>Active invitations</translation>
    </message>
    <message id="inv-active-invitations-list-hdr">
        <source>Invitations</source>
        <translation>Invitations</translation>
    </message>
    <message id="inv_active_invitations_status_label">
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message id="inv_active_invitations_code_label">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-active-invitations-created-label">
        <source>Created</source>
        <translation>Created</translation>
    </message>
    <message id="inv-active-invitations-expires-label">
        <source>Expires</source>
        <translation>Expires</translation>
    </message>
    <message id="inv-delete-confirmation-title">
        <source>Delete confirmation</source>
        <translation>Delete confirmation</translation>
    </message>
    <message id="inv-delete-confirmation-txt">
        <source>Delete this invitation?</source>
        <translation>Delete this invitation?</translation>
    </message>
    <message id="copy-dlg-title">
        <source>%1 % done</source>
        <translation>%1 % done</translation>
    </message>
    <message id="copy-status-aborted">
        <source>aborted</source>
        <translation>aborted</translation>
    </message>
    <message id="copy-status-paused">
        <source>paused</source>
        <translation>paused</translation>
    </message>
    <message id="copy-status-init">
        <source>initialize...</source>
        <translation>initialize...</translation>
    </message>
    <message id="copy-status-failed">
        <source>Copy failed</source>
        <translation>Copy failed</translation>
    </message>
    <message id="copy-status-done">
        <source>done</source>
        <translation>done</translation>
    </message>
    <message id="copy-progress-info1" numerus="yes">
        <source>to copy %1 in %n files</source>
        <translation>
            <numerusform>to copy %1 in %n file</numerusform>
            <numerusform>to copy %1 in %n files</numerusform>
        </translation>
    </message>
    <message id="copy-progress-asked" numerus="yes">
        <source>%n items to copy</source>
        <translation>
            <numerusform>%n item to copy</numerusform>
            <numerusform>%n items to copy</numerusform>
        </translation>
    </message>
    <message id="copy-progress-info2">
        <source>%1 % of %2 copied</source>
        <translation>%1 % of %2 copied</translation>
    </message>
    <message id="inv-nearby-open-invitations">
        <source>Computers nearby with an open invitation</source>
        <translation>Computers nearby with an open invitation</translation>
    </message>
    <message id="inv-hint-expired">
        <source>This invitation has expired. Ask for a new one.</source>
        <translation>This invitation has expired. Ask for a new one.</translation>
    </message>
    <message id="inv-hint-own">
        <source>This invitation was made on this computer. Accept it on the other computer.</source>
        <translation>This invitation was made on this computer. Accept it on the other computer.</translation>
    </message>
    <message id="no-preview-available">
        <source>No preview for "%1" available.</source>
        <translation>No preview for "%1" available.</translation>
    </message>
    <message id="btn-skip-all">
        <source>Skip all</source>
        <translation>Skip all</translation>
    </message>
    <message id="btn-retry">
        <source>Retry</source>
        <translation>Retry</translation>
    </message>
    <message id="copy-status-done-errors">
        <source>finished with errors</source>
        <translation>finished with errors</translation>
    </message>
    <message id="copy-left-out-heading" numerus="yes">
        <source>%n items could not be copied and were left out:</source>
        <translation>
            <numerusform>%n item could not be copied and was left out:</numerusform>
            <numerusform>%n items could not be copied and were left out:</numerusform>
        </translation>
    </message>
    <message id="copy-left-out-more" numerus="yes">
        <source>… and %n more</source>
        <translation>
            <numerusform>… and %n more</numerusform>
            <numerusform>… and %n more</numerusform>
        </translation>
    </message>
    <message id="move-progress-delete-files" numerus="yes">
        <source>%1 of %n original files deleted</source>
        <translation>
            <numerusform>%1 of %n original file deleted</numerusform>
            <numerusform>%1 of %n original files deleted</numerusform>
        </translation>
    </message>
    <message id="move-dlg-title-delete">
        <source>Deleting originals: %1 %</source>
        <translation>Deleting originals: %1 %</translation>
    </message>
    <message id="move-left-out-heading" numerus="yes">
        <source>%n items could not be moved:</source>
        <translation>
            <numerusform>%n item could not be moved:</numerusform>
            <numerusform>%n items could not be moved:</numerusform>
        </translation>
    </message>
    <message id="copy-q-title-replace">
        <source>Replace file?</source>
        <translation>Replace file?</translation>
    </message>
    <message id="copy-q-title-failure">
        <source>Item cannot be copied</source>
        <translation>Item cannot be copied</translation>
    </message>
    <message id="copy-sources-gone-heading" numerus="yes">
        <source>%n files arrived whole, but their sources no longer exist:</source>
        <translation>
            <numerusform>%n file arrived whole, but its source no longer exists:</numerusform>
            <numerusform>%n files arrived whole, but their sources no longer exist:</numerusform>
        </translation>
    </message>
    <message id="copyto-refused-no-computer">
        <source>The other file pane shows no computer.</source>
        <translation>The other file pane shows no computer.</translation>
    </message>
    <message id="copyto-refused-offline">
        <source>%1 is not connected.</source>
        <translation>%1 is not connected.</translation>
    </message>
    <message id="copyto-refused-missing">
        <source>There is no folder “%1” on %2.</source>
        <translation>There is no folder “%1” on %2.</translation>
    </message>
    <message id="copyto-refused-not-folder">
        <source>“%1” on %2 is a file, not a folder.</source>
        <translation>“%1” on %2 is a file, not a folder.</translation>
    </message>
    <message id="copyto-refused-read-only">
        <source>This computer may not write to “%1” on %2.</source>
        <translation>This computer may not write to “%1” on %2.</translation>
    </message>
    <message id="copyto-looking">
        <source>Looking for “%1” on %2…</source>
        <translation>Looking for “%1” on %2…</translation>
    </message>
    <message id="copy-title-init">
        <source>Preparing...</source>
        <translation>Preparing...</translation>
    </message>
    <message id="copy-title-aborted">
        <source>Aborted</source>
        <translation>Aborted</translation>
    </message>
    <message id="copy-title-paused">
        <source>Paused</source>
        <translation>Paused</translation>
    </message>
    <message id="copy-title-done">
        <source>Done</source>
        <translation>Done</translation>
    </message>
    <message id="copy-title-done-errors">
        <source>Finished with errors</source>
        <translation>Finished with errors</translation>
    </message>
</context>
</TS>
