<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="action-remote">
        <source>&amp;Remote</source>
        <translation>&amp;Fernzugriff</translation>
    </message>
    <message id="action-edit">
        <source>&amp;Edit</source>
        <translation>&amp;Bearbeiten</translation>
    </message>
    <message id="action-view">
        <source>&amp;Files view</source>
        <translation>&amp;Dateiansicht</translation>
    </message>
    <message id="action-help">
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message id="action-create-invitation">
        <source>Create invitation...</source>
        <translation>Einladung erstellen...</translation>
    </message>
    <message id="action-add-invitation">
        <source>Add by invitation...</source>
        <translation>Über Einladung hinzufügen...</translation>
    </message>
    <message id="action-active-invitations">
        <source>Active Invitations...</source>
        <translation>Aktive Einladungen...</translation>
    </message>
    <message id="action-about-nusk">
        <source>About nusk</source>
        <translation>Über nusk</translation>
    </message>
    <message id="action-online-docs">
        <source>Online documentation</source>
        <translation>Online-Dokumentation</translation>
    </message>
    <message id="action-check-updates">
        <source>Check for updates</source>
        <translation>Nach Updates suchen</translation>
    </message>
    <message id="about-beta">
        <source>public beta</source>
        <translation>öffentliche Beta</translation>
    </message>
    <message id="about-version">
        <source>version</source>
        <translation>Version</translation>
    </message>
    <message id="about-tor-version">
        <source>Tor version:</source>
        <translation>Tor-Version:</translation>
    </message>
    <message id="about-qt-version">
        <source>Qt version:</source>
        <translation>Qt-Version:</translation>
    </message>
    <message id="about-renderer">
        <source>Renderer:</source>
        <translation>Renderer:</translation>
    </message>
    <message id="about-licenses">
        <source>Open Source Licenses</source>
        <translation>Open-Source-Lizenzen</translation>
    </message>
    <message id="about-notice">
        <source>nusk is made with Qt, libsodium and other open source software; their licences are in the licenses folder beside the program.</source>
        <translation>nusk verwendet Qt, libsodium und weitere Open-Source-Software; deren Lizenzen liegen im Ordner licenses neben dem Programm.</translation>
    </message>
    <message id="title-copy-to">
        <source>Copy to other file pane</source>
        <translation>In anderes Dateifenster kopieren</translation>
    </message>
    <message id="label-copyto-destination">
        <source>Copy to</source>
        <translation>Kopieren nach</translation>
    </message>
    <message id="title-move-to">
        <source>Move to other file pane</source>
        <translation>In anderes Dateifenster verschieben</translation>
    </message>
    <message id="label-moveto-destination">
        <source>Move to</source>
        <translation>Verschiebe nach</translation>
    </message>
    <message id="inv-create-title">
        <source>Create invitation</source>
        <translation>Einladung erstellen</translation>
    </message>
    <message id="inv-btn-create">
        <source>Create invitation</source>
        <translation>Einladung erstellen</translation>
    </message>
    <message id="inv-info-text">
        <source>The following invitation can be sent via email or messenger to a remote computer.</source>
        <translation>Die folgende Einladung kann per E-Mail oder Messenger an einen entfernten Computer geschickt werden.</translation>
    </message>
    <message id="inv-code-description">
        <source>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</source>
        <translation>Der Code verschlüsselt die Einladung und sollte über einen getrennten Weg wie Telefon oder einen sicheren Messenger mitgeteilt werden.</translation>
    </message>
    <message id="inv-password-label">
        <source>Code:</source>
        <translation>Code:</translation>
    </message>
    <message id="inv-copy-to-clipboard">
        <source>Copy to clipboard</source>
        <translation>In die Zwischenablage kopieren</translation>
    </message>
    <message id="inv-accept-hint">
        <source>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>Die Einladung kann auf dem anderen Computer über 'Fernzugriff / Über Einladung hinzufügen...' angenommen werden.</translation>
    </message>
    <message id="inv-process-invitation-dlg-title">
        <source>Accept invitation</source>
        <translation>Einladung annehmen</translation>
    </message>
    <message id="btn-invaccept">
        <source>Accept invitation</source>
        <translation>Einladung annehmen</translation>
    </message>
    <message id="inv-description-accept-invitation">
        <source>By accepting the invitation two computers can be connected.</source>
        <translation>Durch Annehmen der Einladung werden zwei Computer verbunden.</translation>
    </message>
    <message id="inv-paste-invitation-placeholder">
        <source>Paste the invitation here...</source>
        <translation>Einladung hier einfügen...</translation>
    </message>
    <message id="inv-accept-description">
        <source>It may take several minutes to initially establish the connection. Creating file shares can be done via "Context menu / Share with".</source>
        <translation>Es kann einige Minuten dauern, bis die Verbindung zum ersten Mal steht. Freigaben werden über "Kontextmenü / Freigeben für" erstellt.</translation>
    </message>
    <message id="inv-password-input">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-hint-codeinput">
        <source>The code decrypts the invitation.</source>
        <translation>Der Code entschlüsselt die Einladung.</translation>
    </message>
    <message id="inv-hint-valid-data">
        <source>Looks good, ready to connect.</source>
        <translation>Sieht gut aus, bereit zum Verbinden.</translation>
    </message>
    <message id="inv-hint-invalid-data">
        <source>The entered data is invalid.</source>
        <translation>Die Eingaben sind ungültig.</translation>
    </message>
    <message id="inv-active-title">
        <source>Active invitations</source>
        <translation>Aktive Einladungen</translation>
    </message>
    <message id="inv-active-invitations-list-hdr">
        <source>Invitations</source>
        <translation>Einladungen</translation>
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
        <translation>Erstellt</translation>
    </message>
    <message id="inv-active-invitations-expires-label">
        <source>Expires</source>
        <translation>Läuft ab</translation>
    </message>
    <message id="inv-delete-confirmation-title">
        <source>Delete confirmation</source>
        <translation>Löschen bestätigen</translation>
    </message>
    <message id="inv-delete-confirmation-txt">
        <source>Delete this invitation?</source>
        <translation>Diese Einladung löschen?</translation>
    </message>
    <message id="copy-dlg-title">
        <source>%1 % done</source>
        <translation>%1 % erledigt</translation>
    </message>
    <message id="copy-status-aborted">
        <source>aborted</source>
        <translation>abgebrochen</translation>
    </message>
    <message id="copy-status-paused">
        <source>paused</source>
        <translation>angehalten</translation>
    </message>
    <message id="copy-status-init">
        <source>initialize...</source>
        <translation>wird vorbereitet...</translation>
    </message>
    <message id="copy-status-failed">
        <source>Copy failed</source>
        <translation>Kopieren fehlgeschlagen</translation>
    </message>
    <message id="copy-status-done">
        <source>done</source>
        <translation>fertig</translation>
    </message>
    <message id="copy-progress-info1" numerus="yes">
        <source>to copy %1 in %n files</source>
        <translation>
            <numerusform>%1 in %n Datei zu kopieren</numerusform>
            <numerusform>%1 in %n Dateien zu kopieren</numerusform>
        </translation>
    </message>
    <message id="copy-progress-asked" numerus="yes">
        <source>%n items to copy</source>
        <translation>
            <numerusform>%n Element zu kopieren</numerusform>
            <numerusform>%n Elemente zu kopieren</numerusform>
        </translation>
    </message>
    <message id="copy-progress-info2">
        <source>%1 % of %2 copied</source>
        <translation>%1 % von %2 kopiert</translation>
    </message>
    <message id="inv-nearby-open-invitations">
        <source>Computers nearby with an open invitation</source>
        <translation>Computer in der Nähe mit offener Einladung</translation>
    </message>
    <message id="inv-hint-expired">
        <source>This invitation has expired. Ask for a new one.</source>
        <translation>Diese Einladung ist abgelaufen. Bitte um eine neue.</translation>
    </message>
    <message id="inv-hint-own">
        <source>This invitation was made on this computer. Accept it on the other computer.</source>
        <translation>Diese Einladung wurde auf diesem Computer erstellt. Nehmen Sie sie auf dem anderen Computer an.</translation>
    </message>
    <message id="no-preview-available">
        <source>No preview for "%1" available.</source>
        <translation>Keine Vorschau für „%1“ verfügbar.</translation>
    </message>
    <message id="btn-skip-all">
        <source>Skip all</source>
        <translation>Alle überspringen</translation>
    </message>
    <message id="btn-retry">
        <source>Retry</source>
        <translation>Wiederholen</translation>
    </message>
    <message id="copy-status-done-errors">
        <source>finished with errors</source>
        <translation>mit Fehlern beendet</translation>
    </message>
    <message id="copy-left-out-heading" numerus="yes">
        <source>%n items could not be copied and were left out:</source>
        <translation>
            <numerusform>%n Element konnte nicht kopiert werden und wurde ausgelassen:</numerusform>
            <numerusform>%n Elemente konnten nicht kopiert werden und wurden ausgelassen:</numerusform>
        </translation>
    </message>
    <message id="copy-left-out-more" numerus="yes">
        <source>… and %n more</source>
        <translation>
            <numerusform>… und %n weiteres</numerusform>
            <numerusform>… und %n weitere</numerusform>
        </translation>
    </message>
    <message id="move-progress-delete-files" numerus="yes">
        <source>%1 of %n original files deleted</source>
        <translation>
            <numerusform>%1 von %n Originaldatei gelöscht</numerusform>
            <numerusform>%1 von %n Originaldateien gelöscht</numerusform>
        </translation>
    </message>
    <message id="move-dlg-title-delete">
        <source>Deleting originals: %1 %</source>
        <translation>Originale werden gelöscht: %1 %</translation>
    </message>
    <message id="move-left-out-heading" numerus="yes">
        <source>%n items could not be moved:</source>
        <translation>
            <numerusform>%n Element konnte nicht verschoben werden:</numerusform>
            <numerusform>%n Elemente konnten nicht verschoben werden:</numerusform>
        </translation>
    </message>
    <message id="copy-q-title-replace">
        <source>Replace file?</source>
        <translation>Datei ersetzen?</translation>
    </message>
    <message id="copy-q-title-failure">
        <source>Item cannot be copied</source>
        <translation>Element kann nicht kopiert werden</translation>
    </message>
    <message id="copy-sources-gone-heading" numerus="yes">
        <source>%n files arrived whole, but their sources no longer exist:</source>
        <translation>
            <numerusform>%n Datei ist vollständig angekommen, aber ihre Quelle gibt es nicht mehr:</numerusform>
            <numerusform>%n Dateien sind vollständig angekommen, aber ihre Quellen gibt es nicht mehr:</numerusform>
        </translation>
    </message>
    <message id="copyto-refused-no-computer">
        <source>The other file pane shows no computer.</source>
        <translation>Das andere Dateifenster zeigt keinen Computer.</translation>
    </message>
    <message id="copyto-refused-offline">
        <source>%1 is not connected.</source>
        <translation>%1 ist nicht verbunden.</translation>
    </message>
    <message id="copyto-refused-missing">
        <source>There is no folder “%1” on %2.</source>
        <translation>Auf %2 gibt es keinen Ordner „%1“.</translation>
    </message>
    <message id="copyto-refused-not-folder">
        <source>“%1” on %2 is a file, not a folder.</source>
        <translation>„%1“ auf %2 ist eine Datei, kein Ordner.</translation>
    </message>
    <message id="copyto-refused-read-only">
        <source>This computer may not write to “%1” on %2.</source>
        <translation>Dieser Computer darf nicht in „%1“ auf %2 schreiben.</translation>
    </message>
    <message id="copyto-looking">
        <source>Looking for “%1” on %2…</source>
        <translation>„%1“ wird auf %2 gesucht…</translation>
    </message>
    <message id="copy-title-init">
        <source>Preparing...</source>
        <translation>Wird vorbereitet...</translation>
    </message>
    <message id="copy-title-aborted">
        <source>Aborted</source>
        <translation>Abgebrochen</translation>
    </message>
    <message id="copy-title-paused">
        <source>Paused</source>
        <translation>Angehalten</translation>
    </message>
    <message id="copy-title-done">
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message id="copy-title-done-errors">
        <source>Finished with errors</source>
        <translation>Mit Fehlern beendet</translation>
    </message>
</context>
</TS>
