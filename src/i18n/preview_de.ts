<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="btn-preview-origsize">
        <source>Original size</source>
        <translation>Originalgröße</translation>
    </message>
    <message id="btn-preview-fitview">
        <source>Fit in view</source>
        <translation>Einpassen</translation>
    </message>
    <message id="tooltip-preview-btn-origsize">
        <source>Scales content to 100%</source>
        <translation>Zeigt den Inhalt in 100 %</translation>
    </message>
    <message id="tooltip-preview-btn-fitview">
        <source>Fits the content to the view size</source>
        <translation>Passt den Inhalt in die Ansicht ein</translation>
    </message>
</context>
</TS>
