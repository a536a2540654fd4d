<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Archiv entpacken</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
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
</context>
</TS>
