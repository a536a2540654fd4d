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
</context>
</TS>
