<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Archiv entpacken</translation>
    </message>
    <message id="extract-error-missing">
        <source>The archive or its folder no longer exists.</source>
        <translation>Das Archiv oder sein Ordner existiert nicht mehr.</translation>
    </message>
    <message id="extract-error-no7zip">
        <source>7-Zip is not installed (the program "7z" was not found).</source>
        <translation>7-Zip ist nicht installiert (das Programm „7z“ wurde nicht gefunden).</translation>
    </message>
    <message id="extract-error-folder">
        <source>Cannot create the folder %1.</source>
        <translation>Der Ordner %1 kann nicht angelegt werden.</translation>
    </message>
    <message id="extract-error-start">
        <source>7-Zip could not be started.</source>
        <translation>7-Zip konnte nicht gestartet werden.</translation>
    </message>
    <message id="extract-error-list-timeout">
        <source>Listing %1 took too long; nothing was extracted.</source>
        <translation>Das Auflisten von %1 dauerte zu lange; es wurde nichts entpackt.</translation>
    </message>
    <message id="extract-error-list">
        <source>%1 is damaged or not an archive 7-Zip can read.</source>
        <translation>%1 ist beschädigt oder kein Archiv, das 7-Zip lesen kann.</translation>
    </message>
    <message id="extract-error-unsafe">
        <source>%1 was refused: its entry "%2" points outside the target folder.</source>
        <translation>%1 wurde abgelehnt: Der Eintrag „%2“ zeigt aus dem Zielordner hinaus.</translation>
    </message>
    <message id="extract-error-link">
        <source>%1 was refused: its entry "%2" is a link.</source>
        <translation>%1 wurde abgelehnt: Der Eintrag „%2“ ist eine Verknüpfung.</translation>
    </message>
    <message id="extract-error-failed">
        <source>7-Zip could not extract %1; the archive may be damaged.</source>
        <translation>7-Zip konnte %1 nicht entpacken; das Archiv ist vielleicht beschädigt.</translation>
    </message>
    <message id="extract-error-left">
        <source>The extracted files were left in %1.</source>
        <translation>Die entpackten Dateien liegen in %1.</translation>
    </message>
    <message id="launch-error-selection">
        <source>%1 cannot be started for this selection.</source>
        <translation>%1 kann für diese Auswahl nicht gestartet werden.</translation>
    </message>
    <message id="launch-error-start">
        <source>The program %1 could not be started.</source>
        <translation>Das Programm %1 konnte nicht gestartet werden.</translation>
    </message>
    <message id="upd-window-title">
        <source>Software update</source>
        <translation>Softwareupdate</translation>
    </message>
    <message id="upd-msg-querystatus">
        <source>Query update information...</source>
        <translation>Aktualisierungen werden abgefragt...</translation>
    </message>
    <message id="upd-msg-noupdate">
        <source>All up-to-date, nusk is at the latest version %1.</source>
        <translation>Die Version %1 von nusk ist auf dem aktuellsten Stand.</translation>
    </message>
    <message id="upd-newavailable">
        <source>nusk %1 is now available — you have %2. Would you like to install it now?</source>
        <translation>nusk %1 ist jetzt verfügbar — du hast Version %2. Möchtest du das Update jetzt installieren?</translation>
    </message>
    <message id="upd-msg-inforestart">
        <source>After the update has finished nusk will restart, this may take several seconds.</source>
        <translation>Nach dem Update wird nusk neugestartet, dies kann einige Sekunden dauern.</translation>
    </message>
    <message id="upd-msg-downloading">
        <source>Downloading update...</source>
        <translation>Update wird heruntergeladen...</translation>
    </message>
    <message id="upd-msg-dlfinished">
        <source>Download finished, restarting application...</source>
        <translation>Herunterladen abgeschlossen, Applikation wird neugestartet...</translation>
    </message>
    <message id="upd-btn-skip">
        <source>Skip this version</source>
        <translation>Diese Version überspringen</translation>
    </message>
    <message id="upd-btn-remind">
        <source>Remind me later</source>
        <translation>Später erinnern</translation>
    </message>
    <message id="upd-btn-tryagain">
        <source>Try again</source>
        <translation>Erneut versuchen</translation>
    </message>
    <message id="upd-btn-install">
        <source>Install update</source>
        <translation>Update installieren</translation>
    </message>
    <message id="upd-btn-show">
        <source>Show</source>
        <translation>Anzeigen</translation>
    </message>
    <message id="upd-ntf-newversion">
        <source>nusk %1 is available.</source>
        <translation>nusk %1 ist verfügbar.</translation>
    </message>
    <message id="upd-btn-homepage">
        <source>Visit homepage</source>
        <translation>Homepage besuchen</translation>
    </message>
    <message id="upd-error-query">
        <source>Failed to query the update server. Please try again later.</source>
        <translation>Abfragen des Updateservers fehlgeschlagen. Bitte versuche es später erneut.</translation>
    </message>
    <message id="upd-transferprogress">
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message id="upd-error-rmarfail">
        <source>Failed to delete %1.</source>
        <translation>Löschen von %1 fehlgeschlagen.</translation>
    </message>
    <message id="upd-error-aropenfail">
        <source>Failed to create %1.</source>
        <translation>Erstellen von %1 fehlgeschlagen.</translation>
    </message>
    <message id="upd-dlfailed">
        <source>Failed to download the update.</source>
        <translation>Herunterladen des Updates fehlgeschlagen.</translation>
    </message>
    <message id="upd-failextract2">
        <source>Failed to extract the update.</source>
        <translation>Entpacken des Updates fehlgeschlagen.</translation>
    </message>
    <message id="upd-error-dlnotexist.">
        <source>Update file %1 doesn't exist.</source>
        <translation>Die Updatedatei %1 existiert nicht.</translation>
    </message>
    <message id="upd-error-dlopen">
        <source>Failed to open %1.</source>
        <translation>Öffnen von %1 fehlgeschlagen.</translation>
    </message>
    <message id="upd-error-dlextract">
        <source>Failed to extract %1.</source>
        <translation>Entpacken von %1 fehlgeschlagen.</translation>
    </message>
    <message id="upd-error-insecure">
        <source>The update server must be reached over HTTPS.</source>
        <translation>Der Updateserver muss über HTTPS erreicht werden.</translation>
    </message>
    <message id="upd-error-timeout">
        <source>The update server stopped answering.</source>
        <translation>Der Updateserver antwortet nicht mehr.</translation>
    </message>
    <message id="upd-error-feed">
        <source>The update server's information is incomplete or malformed.</source>
        <translation>Die Angaben des Updateservers sind unvollständig oder fehlerhaft.</translation>
    </message>
    <message id="upd-error-unsigned">
        <source>The offered update carries no valid signature, so it is not offered.</source>
        <translation>Das angebotene Update trägt keine gültige Signatur und wird deshalb nicht angeboten.</translation>
    </message>
    <message id="upd-newavailable-manual">
        <source>nusk %1 is now available — you have %2.</source>
        <translation>nusk %1 ist jetzt verfügbar — du hast Version %2.</translation>
    </message>
    <message id="upd-msg-manual">
        <source>This build cannot check the signature of an update, so it installs none. The new version is here:</source>
        <translation>Diese Programmversion kann die Signatur eines Updates nicht prüfen und installiert deshalb keines. Die neue Version gibt es hier:</translation>
    </message>
    <message id="upd-error-write">
        <source>The download could not be stored or was larger than an update can be.</source>
        <translation>Der Download konnte nicht gespeichert werden oder war größer, als ein Update sein kann.</translation>
    </message>
    <message id="upd-error-digest">
        <source>The download does not match the checksum of the update server; nothing was changed.</source>
        <translation>Der Download passt nicht zur Prüfsumme des Updateservers; es wurde nichts verändert.</translation>
    </message>
</context>
</TS>
