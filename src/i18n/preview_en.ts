<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="btn-preview-origsize">
        <source>Original size</source>
        <translation>Original size</translation>
    </message>
    <message id="btn-preview-fitview">
        <source>Fit in view</source>
        <translation>Fit in view</translation>
    </message>
    <message id="tooltip-preview-btn-origsize">
        <source>Scales content to 100%</source>
        <translation>Scales content to 100%</translation>
    </message>
    <message id="tooltip-preview-btn-fitview">
        <source>Fits the content to the view size</source>
        <translation>Fits the content to the view size</translation>
    </message>
</context>
</TS>
