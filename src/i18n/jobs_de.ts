<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="copy-error-source-changed">
        <source>A source file kept changing while it was copied: %1</source>
        <translation>Eine Quelldatei hat sich während des Kopierens immer wieder geändert: %1</translation>
    </message>
    <message id="copy-error-left-out">
        <source>Left out, it could not be copied: %1</source>
        <translation>Ausgelassen, konnte nicht kopiert werden: %1</translation>
    </message>
    <message id="copy-q-unreadable">
        <source>This item cannot be read:
%1</source>
        <translation>Dieses Element kann nicht gelesen werden:
%1</translation>
    </message>
    <message id="copy-q-unwritable">
        <source>This item cannot be written at the destination:
%1</source>
        <translation>Dieses Element kann am Ziel nicht geschrieben werden:
%1</translation>
    </message>
    <message id="copy-q-path-too-long">
        <source>The path of this item is too long to be copied:
%1</source>
        <translation>Der Pfad dieses Elements ist zu lang zum Kopieren:
%1</translation>
    </message>
    <message id="copy-left-out-unreadable">
        <source>cannot be read</source>
        <translation>kann nicht gelesen werden</translation>
    </message>
    <message id="copy-left-out-unwritable">
        <source>cannot be written at the destination</source>
        <translation>kann am Ziel nicht geschrieben werden</translation>
    </message>
    <message id="copy-left-out-path-too-long">
        <source>path too long</source>
        <translation>Pfad zu lang</translation>
    </message>
    <message id="copy-left-out-failed">
        <source>could not be copied</source>
        <translation>konnte nicht kopiert werden</translation>
    </message>
    <message id="copy-error-left-out-more" numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 und %n weiteres</numerusform>
            <numerusform>%1 und %n weitere</numerusform>
        </translation>
    </message>
</context>
</TS>
