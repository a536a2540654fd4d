<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Extract archive</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="extract-error-missing">
        <source>The archive or its folder no longer exists.</source>
        <translation>The archive or its folder no longer exists.</translation>
    </message>
    <message id="extract-error-no7zip">
        <source>7-Zip is not installed (the program "7z" was not found).</source>
        <translation>7-Zip is not installed (the program "7z" was not found).</translation>
    </message>
    <message id="extract-error-folder">
        <source>Cannot create the folder %1.</source>
        <translation>Cannot create the folder %1.</translation>
    </message>
    <message id="extract-error-start">
        <source>7-Zip could not be started.</source>
        <translation>7-Zip could not be started.</translation>
    </message>
    <message id="extract-error-list-timeout">
        <source>Listing %1 took too long; nothing was extracted.</source>
        <translation>Listing %1 took too long; nothing was extracted.</translation>
    </message>
    <message id="extract-error-list">
        <source>%1 is damaged or not an archive 7-Zip can read.</source>
        <translation>%1 is damaged or not an archive 7-Zip can read.</translation>
    </message>
    <message id="extract-error-unsafe">
        <source>%1 was refused: its entry "%2" points outside the target folder.</source>
        <translation>%1 was refused: its entry "%2" points outside the target folder.</translation>
    </message>
    <message id="extract-error-link">
        <source>%1 was refused: its entry "%2" is a link.</source>
        <translation>%1 was refused: its entry "%2" is a link.</translation>
    </message>
    <message id="extract-error-failed">
        <source>7-Zip could not extract %1; the archive may be damaged.</source>
        <translation>7-Zip could not extract %1; the archive may be damaged.</translation>
    </message>
    <message id="extract-error-left">
        <source>The extracted files were left in %1.</source>
        <translation>The extracted files were left in %1.</translation>
    </message>
    <message id="launch-error-selection">
        <source>%1 cannot be started for this selection.</source>
        <translation>%1 cannot be started for this selection.</translation>
    </message>
    <message id="launch-error-start">
        <source>The program %1 could not be started.</source>
        <translation>The program %1 could not be started.</translation>
    </message>
</context>
</TS>
