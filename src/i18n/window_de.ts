<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="inv-contacting">
        <source>Contacting %1 …</source>
        <translation>%1 wird kontaktiert …</translation>
    </message>
    <message id="inv-paired">
        <source>Paired with %1.</source>
        <translation>Mit %1 verbunden.</translation>
    </message>
    <message id="inv-accept-failed">
        <source>The invitation could not be accepted.</source>
        <translation>Die Einladung konnte nicht angenommen werden.</translation>
    </message>
    <message id="inv-answer-title">
        <source>Invitation</source>
        <translation>Einladung</translation>
    </message>
    <message id="inv-answer-refused">
        <source>%1 answered but no longer knows this invitation (it was deleted, used or never created). Ask for a new invitation.</source>
        <translation>%1 hat geantwortet, kennt diese Einladung aber nicht mehr (sie wurde gelöscht, schon verwendet oder nie erstellt). Bitten Sie um eine neue Einladung.</translation>
    </message>
    <message id="inv-answer-silent">
        <source>%1 did not answer. Make sure it is switched on and online, then accept the invitation again.</source>
        <translation>%1 hat nicht geantwortet. Prüfen Sie, ob der Computer eingeschaltet und online ist, und nehmen Sie die Einladung dann erneut an.</translation>
    </message>
    <message id="inv-hint-bad-link">
        <source>This is not an invitation link. Paste the whole link as it was sent.</source>
        <translation>Das ist kein Einladungslink. Fügen Sie den ganzen Link so ein, wie er gesendet wurde.</translation>
    </message>
    <message id="inv-hint-bad-code">
        <source>The code does not open this invitation. Check the code.</source>
        <translation>Der Code öffnet diese Einladung nicht. Prüfen Sie den Code.</translation>
    </message>
    <message id="inv-nearby-none">
        <source>No computer nearby has an open invitation.</source>
        <translation>Kein Computer in der Nähe hat eine offene Einladung.</translation>
    </message>
    <message id="copy-refused-offline">
        <source>Cannot copy: %1 is not connected.</source>
        <translation>Kopieren nicht möglich: %1 ist nicht verbunden.</translation>
    </message>
    <message id="copy-refused-nothing">
        <source>Nothing selected to copy.</source>
        <translation>Nichts zum Kopieren ausgewählt.</translation>
    </message>
    <message id="copy-refused-read">
        <source>Cannot copy: the selection includes items this computer may not read.</source>
        <translation>Kopieren nicht möglich: Die Auswahl enthält Elemente, die dieser Computer nicht lesen darf.</translation>
    </message>
    <message id="cut-refused-offline">
        <source>Cannot cut: %1 is not connected.</source>
        <translation>Ausschneiden nicht möglich: %1 ist nicht verbunden.</translation>
    </message>
    <message id="cut-refused-nothing">
        <source>Nothing selected to cut.</source>
        <translation>Nichts zum Ausschneiden ausgewählt.</translation>
    </message>
    <message id="cut-refused-read">
        <source>Cannot cut: the selection includes items this computer may not read.</source>
        <translation>Ausschneiden nicht möglich: Die Auswahl enthält Elemente, die dieser Computer nicht lesen darf.</translation>
    </message>
    <message id="cut-refused-write">
        <source>Cannot cut: the selection includes items this computer may not change.</source>
        <translation>Ausschneiden nicht möglich: Die Auswahl enthält Elemente, die dieser Computer nicht ändern darf.</translation>
    </message>
    <message id="filer-path-not-found">
        <source>“%1” was not found.</source>
        <translation>„%1“ wurde nicht gefunden.</translation>
    </message>
    <message id="docs-cannot-open">
        <source>The web browser could not be started. The documentation is at %1</source>
        <translation>Der Webbrowser konnte nicht gestartet werden. Die Dokumentation finden Sie unter %1</translation>
    </message>
    <message id="open-no-application">
        <source>No application is set up to open “%1”.</source>
        <translation>Keine Anwendung ist zum Öffnen von „%1“ eingerichtet.</translation>
    </message>
    <message id="about-tor-off">
        <source>not running</source>
        <translation>läuft nicht</translation>
    </message>
    <message id="about-tor-refused">
        <source>Refused the control port: it cannot prove it is Tor. Turn on cookie authentication in Tor’s configuration (CookieAuthentication 1) and let this user read the cookie file.</source>
        <translation>Steuerport abgelehnt: Er kann nicht nachweisen, dass er Tor ist. Schalten Sie in der Konfiguration von Tor die Cookie-Authentifizierung ein (CookieAuthentication 1) und erlauben Sie diesem Benutzer, die Cookie-Datei zu lesen.</translation>
    </message>
    <message id="file-copy-q-existing">
        <source>Existing: %1</source>
        <translation>Vorhanden: %1</translation>
    </message>
    <message id="file-copy-q-replacement">
        <source>Replacement: %1</source>
        <translation>Ersatz: %1</translation>
    </message>
    <message id="filer-new-folder-failed">
        <source>The folder “%1” could not be made.</source>
        <translation>Der Ordner „%1“ konnte nicht angelegt werden.</translation>
    </message>
    <message id="breadcrumb-online-switch">
        <source>online</source>
        <translation>Online</translation>
    </message>
    <message id="drive-main-hd">
        <source>Main HD</source>
        <translation>Hauptfestplatte</translation>
    </message>
    <message id="drive-local-disk">
        <source>Local Disk (%1)</source>
        <translation>Lokaler Datenträger (%1)</translation>
    </message>
    <message id="drive-volume-gb">
        <source>%1 GB Volume</source>
        <translation>%1-GB-Volume</translation>
    </message>
    <message id="remote-offline-suffix">
        <source>(offline)</source>
        <translation>(offline)</translation>
    </message>
    <message id="remote-needs-online">
        <source>Pairing needs the network: switch on “online” in the bar above a file pane.</source>
        <translation>Zum Verbinden braucht es das Netzwerk: Schalten Sie „Online“ in der Leiste über einer Dateiansicht ein.</translation>
    </message>
    <message id="inv-copied-stored">
        <source>Copied. The invitation is stored and valid for 72 hours: accept it via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>Kopiert. Die Einladung ist gespeichert und 72 Stunden gültig: Nehmen Sie sie auf dem anderen Computer über „Fernzugriff / Über Einladung hinzufügen...“ an.</translation>
    </message>
    <message id="move-refused-offline">
        <source>Cannot move: %1 is not connected.</source>
        <translation>Verschieben nicht möglich: %1 ist nicht verbunden.</translation>
    </message>
    <message id="move-refused-nothing">
        <source>Nothing selected to move.</source>
        <translation>Nichts zum Verschieben ausgewählt.</translation>
    </message>
    <message id="move-refused-read">
        <source>Cannot move: the selection includes items this computer may not read.</source>
        <translation>Verschieben nicht möglich: Die Auswahl enthält Elemente, die dieser Computer nicht lesen darf.</translation>
    </message>
    <message id="move-refused-write">
        <source>Cannot move: the selection includes items this computer may not change.</source>
        <translation>Verschieben nicht möglich: Die Auswahl enthält Elemente, die dieser Computer nicht ändern darf.</translation>
    </message>
</context>
</TS>
