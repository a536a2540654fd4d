<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="inv-contacting">
        <source>Contacting %1 …</source>
        <translation>Contacting %1 …</translation>
    </message>
    <message id="inv-paired">
        <source>Paired with %1.</source>
        <translation>Paired with %1.</translation>
    </message>
    <message id="inv-accept-failed">
        <source>The invitation could not be accepted.</source>
        <translation>The invitation could not be accepted.</translation>
    </message>
    <message id="inv-answer-title">
        <source>Invitation</source>
        <translation>Invitation</translation>
    </message>
    <message id="inv-answer-refused">
        <source>%1 answered but no longer knows this invitation (it was deleted, used or never created). Ask for a new invitation.</source>
        <translation>%1 answered but no longer knows this invitation (it was deleted, used or never created). Ask for a new invitation.</translation>
    </message>
    <message id="inv-answer-silent">
        <source>%1 did not answer. Make sure it is switched on and online, then accept the invitation again.</source>
        <translation>%1 did not answer. Make sure it is switched on and online, then accept the invitation again.</translation>
    </message>
    <message id="inv-hint-bad-link">
        <source>This is not an invitation link. Paste the whole link as it was sent.</source>
        <translation>This is not an invitation link. Paste the whole link as it was sent.</translation>
    </message>
    <message id="inv-hint-bad-code">
        <source>The code does not open this invitation. Check the code.</source>
        <translation>The code does not open this invitation. Check the code.</translation>
    </message>
    <message id="inv-nearby-none">
        <source>No computer nearby has an open invitation.</source>
        <translation>No computer nearby has an open invitation.</translation>
    </message>
    <message id="copy-refused-offline">
        <source>Cannot copy: %1 is not connected.</source>
        <translation>Cannot copy: %1 is not connected.</translation>
    </message>
    <message id="copy-refused-nothing">
        <source>Nothing selected to copy.</source>
        <translation>Nothing selected to copy.</translation>
    </message>
    <message id="copy-refused-read">
        <source>Cannot copy: the selection includes items this computer may not read.</source>
        <translation>Cannot copy: the selection includes items this computer may not read.</translation>
    </message>
    <message id="cut-refused-offline">
        <source>Cannot cut: %1 is not connected.</source>
        <translation>Cannot cut: %1 is not connected.</translation>
    </message>
    <message id="cut-refused-nothing">
        <source>Nothing selected to cut.</source>
        <translation>Nothing selected to cut.</translation>
    </message>
    <message id="cut-refused-read">
        <source>Cannot cut: the selection includes items this computer may not read.</source>
        <translation>Cannot cut: the selection includes items this computer may not read.</translation>
    </message>
    <message id="cut-refused-write">
        <source>Cannot cut: the selection includes items this computer may not change.</source>
        <translation>Cannot cut: the selection includes items this computer may not change.</translation>
    </message>
    <message id="filer-path-not-found">
        <source>“%1” was not found.</source>
        <translation>“%1” was not found.</translation>
    </message>
    <message id="docs-cannot-open">
        <source>The web browser could not be started. The documentation is at %1</source>
        <translation>The web browser could not be started. The documentation is at %1</translation>
    </message>
    <message id="open-no-application">
        <source>No application is set up to open “%1”.</source>
        <translation>No application is set up to open “%1”.</translation>
    </message>
    <message id="about-tor-off">
        <source>not running</source>
        <translation>not running</translation>
    </message>
    <message id="about-tor-refused">
        <source>Refused the control port: it cannot prove it is Tor. Turn on cookie authentication in Tor’s configuration (CookieAuthentication 1) and let this user read the cookie file.</source>
        <translation>Refused the control port: it cannot prove it is Tor. Turn on cookie authentication in Tor’s configuration (CookieAuthentication 1) and let this user read the cookie file.</translation>
    </message>
    <message id="file-copy-q-existing">
        <source>Existing: %1</source>
        <translation>Existing: %1</translation>
    </message>
    <message id="file-copy-q-replacement">
        <source>Replacement: %1</source>
        <translation>Replacement: %1</translation>
    </message>
    <message id="filer-new-folder-failed">
        <source>The folder “%1” could not be made.</source>
        <translation>The folder “%1” could not be made.</translation>
    </message>
    <message id="breadcrumb-online-switch">
        <source>online</source>
        <translation>online</translation>
    </message>
    <message id="drive-main-hd">
        <source>Main HD</source>
        <translation>Main HD</translation>
    </message>
    <message id="drive-local-disk">
        <source>Local Disk (%1)</source>
        <translation>Local Disk (%1)</translation>
    </message>
    <message id="drive-volume-gb">
        <source>%1 GB Volume</source>
        <translation>%1 GB Volume</translation>
    </message>
    <message id="remote-offline-suffix">
        <source>(offline)</source>
        <translation>(offline)</translation>
    </message>
    <message id="remote-needs-online">
        <source>Pairing needs the network: switch on “online” in the bar above a file pane.</source>
        <translation>Pairing needs the network: switch on “online” in the bar above a file pane.</translation>
    </message>
    <message id="inv-copied-stored">
        <source>Copied. The invitation is stored and valid for 72 hours: accept it via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>Copied. The invitation is stored and valid for 72 hours: accept it via 'Remote / Add by invitation...' on the other computer.</translation>
    </message>
    <message id="move-refused-offline">
        <source>Cannot move: %1 is not connected.</source>
        <translation>Cannot move: %1 is not connected.</translation>
    </message>
    <message id="move-refused-nothing">
        <source>Nothing selected to move.</source>
        <translation>Nothing selected to move.</translation>
    </message>
    <message id="move-refused-read">
        <source>Cannot move: the selection includes items this computer may not read.</source>
        <translation>Cannot move: the selection includes items this computer may not read.</translation>
    </message>
    <message id="move-refused-write">
        <source>Cannot move: the selection includes items this computer may not change.</source>
        <translation>Cannot move: the selection includes items this computer may not change.</translation>
    </message>
</context>
</TS>
