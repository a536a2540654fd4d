<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="copy-error-source-changed">
        <source>A source file kept changing while it was copied: %1</source>
        <translation>A source file kept changing while it was copied: %1</translation>
    </message>
    <message id="copy-error-left-out">
        <source>Left out, it could not be copied: %1</source>
        <translation>Left out, it could not be copied: %1</translation>
    </message>
    <message id="copy-q-unreadable">
        <source>This item cannot be read:
%1</source>
        <translation>This item cannot be read:
%1</translation>
    </message>
    <message id="copy-q-unwritable">
        <source>This item cannot be written at the destination:
%1</source>
        <translation>This item cannot be written at the destination:
%1</translation>
    </message>
    <message id="copy-q-path-too-long">
        <source>The path of this item is too long to be copied:
%1</source>
        <translation>The path of this item is too long to be copied:
%1</translation>
    </message>
    <message id="copy-left-out-unreadable">
        <source>cannot be read</source>
        <translation>cannot be read</translation>
    </message>
    <message id="copy-left-out-unwritable">
        <source>cannot be written at the destination</source>
        <translation>cannot be written at the destination</translation>
    </message>
    <message id="copy-left-out-path-too-long">
        <source>path too long</source>
        <translation>path too long</translation>
    </message>
    <message id="copy-left-out-failed">
        <source>could not be copied</source>
        <translation>could not be copied</translation>
    </message>
    <message id="copy-error-left-out-more" numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 and %n more</numerusform>
            <numerusform>%1 and %n more</numerusform>
        </translation>
    </message>
</context>
</TS>
