<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Extract archive</translation>
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
    <message id="upd-window-title">
        <source>Software update</source>
        <translation>Software update</translation>
    </message>
    <message id="upd-msg-querystatus">
        <source>Query update information...</source>
        <translation>Query update information...</translation>
    </message>
    <message id="upd-msg-noupdate">
        <source>All up-to-date, nusk is at the latest version %1.</source>
        <translation>All up-to-date, nusk is at the latest version %1.</translation>
    </message>
    <message id="upd-newavailable">
        <source>nusk %1 is now available — you have %2. Would you like to install it now?</source>
        <translation>nusk %1 is now available — you have %2. Would you like to install it now?</translation>
    </message>
    <message id="upd-msg-inforestart">
        <source>After the update has finished nusk will restart, this may take several seconds.</source>
        <translation>After the update has finished nusk will restart, this may take several seconds.</translation>
    </message>
    <message id="upd-msg-downloading">
        <source>Downloading update...</source>
        <translation>Downloading update...</translation>
    </message>
    <message id="upd-msg-dlfinished">
        <source>Download finished, restarting application...</source>
        <translation>Download finished, restarting application...</translation>
    </message>
    <message id="upd-btn-skip">
        <source>Skip this version</source>
        <translation>Skip this version</translation>
    </message>
    <message id="upd-btn-remind">
        <source>Remind me later</source>
        <translation>Remind me later</translation>
    </message>
    <message id="upd-btn-tryagain">
        <source>Try again</source>
        <translation>Try again</translation>
    </message>
    <message id="upd-btn-install">
        <source>Install update</source>
        <translation>Install update</translation>
    </message>
    <message id="upd-btn-show">
        <source>Show</source>
        <translation>Show</translation>
    </message>
    <message id="upd-ntf-newversion">
        <source>nusk %1 is available.</source>
        <translation>nusk %1 is available.</translation>
    </message>
    <message id="upd-btn-homepage">
        <source>Visit homepage</source>
        <translation>Visit homepage</translation>
    </message>
    <message id="upd-error-query">
        <source>Failed to query the update server. Please try again later.</source>
        <translation>Failed to query the update server. Please try again later.</translation>
    </message>
    <message id="upd-transferprogress">
        <source>%1 of %2</source>
        <translation>%1 of %2</translation>
    </message>
    <message id="upd-error-rmarfail">
        <source>Failed to delete %1.</source>
        <translation>Failed to delete %1.</translation>
    </message>
    <message id="upd-error-aropenfail">
        <source>Failed to create %1.</source>
        <translation>Failed to create %1.</translation>
    </message>
    <message id="upd-dlfailed">
        <source>Failed to download the update.</source>
        <translation>Failed to download the update.</translation>
    </message>
    <message id="upd-failextract2">
        <source>Failed to extract the update.</source>
        <translation>Failed to extract the update.</translation>
    </message>
    <message id="upd-error-dlnotexist.">
        <source>Update file %1 doesn't exist.</source>
        <translation>Update file %1 doesn't exist.</translation>
    </message>
    <message id="upd-error-dlopen">
        <source>Failed to open %1.</source>
        <translation>Failed to open %1.</translation>
    </message>
    <message id="upd-error-dlextract">
        <source>Failed to extract %1.</source>
        <translation>Failed to extract %1.</translation>
    </message>
    <message id="upd-error-insecure">
        <source>The update server must be reached over HTTPS.</source>
        <translation>The update server must be reached over HTTPS.</translation>
    </message>
    <message id="upd-error-timeout">
        <source>The update server stopped answering.</source>
        <translation>The update server stopped answering.</translation>
    </message>
    <message id="upd-error-feed">
        <source>The update server's information is incomplete or malformed.</source>
        <translation>The update server's information is incomplete or malformed.</translation>
    </message>
    <message id="upd-error-unsigned">
        <source>The offered update carries no valid signature, so it is not offered.</source>
        <translation>The offered update carries no valid signature, so it is not offered.</translation>
    </message>
    <message id="upd-newavailable-manual">
        <source>nusk %1 is now available — you have %2.</source>
        <translation>nusk %1 is now available — you have %2.</translation>
    </message>
    <message id="upd-msg-manual">
        <source>This build cannot check the signature of an update, so it installs none. The new version is here:</source>
        <translation>This build cannot check the signature of an update, so it installs none. The new version is here:</translation>
    </message>
    <message id="upd-error-write">
        <source>The download could not be stored or was larger than an update can be.</source>
        <translation>The download could not be stored or was larger than an update can be.</translation>
    </message>
    <message id="upd-error-digest">
        <source>The download does not match the checksum of the update server; nothing was changed.</source>
        <translation>The download does not match the checksum of the update server; nothing was changed.</translation>
    </message>
</context>
</TS>
