<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Ausschneiden</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to</source>
        <translation>Kopieren nach</translation>
    </message>
    <message id="action-move-to">
        <source>Move to</source>
        <translation>Verschieben nach</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>In den Papierkorb verschieben</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Eigenschaften</translation>
    </message>
    <message id="action-show-inexplorer">
        <source>Show in file manager</source>
        <translation>Im Dateimanager anzeigen</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>als Liste</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>als Spalten</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>als Symbole</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Versteckte Elemente anzeigen</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Rechte Seite umschalten</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Im rechten Bereich öffnen</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Im linken Bereich öffnen</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>In neuem Tab im linken Bereich öffnen</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>In neuem Tab im rechten Bereich öffnen</translation>
    </message>
    <message id="action-open-in-tab">
        <source>Open in new tab</source>
        <translation>In neuem Tab öffnen</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>Neues Fenster</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>Neuer Tab</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Zeige Dateien auf der rechten Seite</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Zeige Nodes</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Laufwerk freigeben</translation>
    </message>
    <message id="column-name">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="column-size">
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message id="column-modified">
        <source>Modified</source>
        <translation>Geändert</translation>
    </message>
    <message id="place-shares">
        <source>Shares</source>
        <translation>Freigaben</translation>
    </message>
    <message id="item-type-folder">
        <source>Folder</source>
        <translation>Ordner</translation>
    </message>
    <message id="open-src-file-access-denied">
        <source>Access denied to open source file.</source>
        <translation>Zugriff verweigert: Quelldatei kann nicht geöffnet werden.</translation>
    </message>
    <message id="open-dst-file-access-denied">
        <source>Access denied to open destination file.</source>
        <translation>Zugriff verweigert: Zieldatei kann nicht geöffnet werden.</translation>
    </message>
    <message id="file-copy-q-overwrite">
        <source>The file already exists, do you want to replace it?</source>
        <translation>Die Datei existiert bereits. Möchten Sie sie ersetzen?</translation>
    </message>
    <message id="copy-eta-seconds">
        <source>nearly done</source>
        <translation>fast fertig</translation>
    </message>
    <message id="copy-eta-less1minute">
        <source>less than a minute</source>
        <translation>weniger als eine Minute</translation>
    </message>
    <message id="copy-eta-minutes">
        <source>about %1 minutes</source>
        <translation>etwa %1 Minuten</translation>
    </message>
    <message id="copy-eta-hours">
        <source>about %1 hours</source>
        <translation>etwa %1 Stunden</translation>
    </message>
    <message id="copy-error-peer-missing">
        <source>The peer of the copy is no longer known.</source>
        <translation>Der Rechner dieser Kopie ist nicht mehr bekannt.</translation>
    </message>
    <message id="copy-error-into-itself">
        <source>A folder cannot be copied into itself.</source>
        <translation>Ein Ordner kann nicht in sich selbst kopiert werden.</translation>
    </message>
    <message id="copy-error-dst-missing">
        <source>The destination folder does not exist.</source>
        <translation>Der Zielordner existiert nicht.</translation>
    </message>
    <message id="copy-error-source-missing">
        <source>The source no longer exists.</source>
        <translation>Die Quelle existiert nicht mehr.</translation>
    </message>
    <message id="copy-error-same-file">
        <source>Source and destination are the same file.</source>
        <translation>Quelle und Ziel sind dieselbe Datei.</translation>
    </message>
    <message id="copy-error-dst-is-folder">
        <source>The destination has a folder where a file should go.</source>
        <translation>Am Ziel liegt ein Ordner, wo eine Datei hin soll.</translation>
    </message>
    <message id="copy-error-dst-not-folder">
        <source>The destination has a file where a folder should go.</source>
        <translation>Am Ziel liegt eine Datei, wo ein Ordner hin soll.</translation>
    </message>
    <message id="copy-error-dst-is-link">
        <source>The destination is a symbolic link; it is not replaced.</source>
        <translation>Das Ziel ist eine symbolische Verknüpfung; sie wird nicht ersetzt.</translation>
    </message>
    <message id="copy-error-no-duplicate-name">
        <source>No free name for the copy was found.</source>
        <translation>Für die Kopie wurde kein freier Name gefunden.</translation>
    </message>
    <message id="copy-error-offline">
        <source>This computer is offline. The copy goes on once it is switched online again.</source>
        <translation>Dieser Computer ist offline. Die Kopie geht weiter, sobald er wieder online geschaltet ist.</translation>
    </message>
    <message id="copy-error-peer-unreachable">
        <source>%1 cannot be reached. The copy goes on when it can be reached again.</source>
        <translation>%1 ist nicht erreichbar. Die Kopie geht weiter, sobald es wieder erreichbar ist.</translation>
    </message>
    <message id="copy-error-write-short">
        <source>Not all data could be written to the destination. Is its disk full?</source>
        <translation>Nicht alle Daten konnten ans Ziel geschrieben werden. Ist der Datenträger voll?</translation>
    </message>
    <message id="file-copy-count" numerus="yes">
        <source>(%n. Copy)</source>
        <translation>
            <numerusform>(Kopie)</numerusform>
            <numerusform>(%n. Kopie)</numerusform>
        </translation>
    </message>
    <message id="btn-close">
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message id="btn-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="btn-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="btn-move">
        <source>Move</source>
        <translation>Verschieben</translation>
    </message>
    <message id="btn-skip">
        <source>Skip</source>
        <translation>Überspringen</translation>
    </message>
    <message id="btn-replace">
        <source>Replace</source>
        <translation>Ersetzen</translation>
    </message>
    <message id="btn-replace-all">
        <source>Replace all</source>
        <translation>Alle ersetzen</translation>
    </message>
    <message id="size-bytes" numerus="yes">
        <source>%n bytes</source>
        <translation>
            <numerusform>%n Byte</numerusform>
            <numerusform>%n Bytes</numerusform>
        </translation>
    </message>
</context>
</TS>
