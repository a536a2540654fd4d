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
    <message id="copy-error-sync">
        <source>The destination could not write the copy to its disk.</source>
        <translation>Das Ziel konnte die Kopie nicht auf seinen Datenträger schreiben.</translation>
    </message>
    <message id="copy-error-not-synced">
        <source>The destination did not confirm in time that the copy is on its disk; the sources were kept.</source>
        <translation>Das Ziel hat nicht rechtzeitig bestätigt, dass die Kopie auf seinem Datenträger ist; die Quellen wurden behalten.</translation>
    </message>
    <message id="copy-error-source-changed-kept">
        <source>A source file kept changing while it was moved; it was kept: %1</source>
        <translation>Eine Quelldatei hat sich beim Verschieben immer wieder geändert; sie wurde behalten: %1</translation>
    </message>
    <message id="copy-error-sources-not-found">
        <source>Copied, but their sources were not found where they were at the end (moved or renamed?), so the copies were not checked against them: %1</source>
        <translation>Kopiert, aber ihre Quellen waren am Ende nicht mehr dort, wo sie waren (verschoben oder umbenannt?); die Kopien wurden daher nicht mit ihnen abgeglichen: %1</translation>
    </message>
    <message id="copy-left-out-no-room">
        <source>does not fit on the destination&apos;s disk</source>
        <translation>passt nicht auf den Datenträger des Ziels</translation>
    </message>
    <message id="copy-q-no-room">
        <source>This file does not fit on the destination&apos;s disk:
%1</source>
        <translation>Diese Datei passt nicht auf den Datenträger des Ziels:
%1</translation>
    </message>
    <message id="copy-left-out-changing">
        <source>kept changing while it was copied</source>
        <translation>hat sich beim Kopieren immer wieder geändert</translation>
    </message>
    <message id="copy-left-out-partial">
        <source>unfinished copy left behind</source>
        <translation>unfertige Kopie zurückgeblieben</translation>
    </message>
    <message id="copy-aborted-partial-kept">
        <source>Aborted. What was copied of an unfinished file is kept under a hidden name; copying again resumes it: %1</source>
        <translation>Abgebrochen. Was von einer unfertigen Datei kopiert wurde, bleibt unter einem versteckten Namen erhalten; erneutes Kopieren setzt dort fort: %1</translation>
    </message>
    <message id="move-error-same-place">
        <source>%1 is already in this folder.</source>
        <translation>%1 ist bereits in diesem Ordner.</translation>
    </message>
    <message id="move-error-not-permitted">
        <source>%1 may not be moved there.</source>
        <translation>%1 darf nicht dorthin verschoben werden.</translation>
    </message>
    <message id="move-error-failed">
        <source>%1 could not be moved.</source>
        <translation>%1 konnte nicht verschoben werden.</translation>
    </message>
    <message id="move-error-changed-kept">
        <source>Changed after it was copied, so it was kept: %1</source>
        <translation>Nach dem Kopieren geändert, daher behalten: %1</translation>
    </message>
    <message id="move-error-left-out">
        <source>Not moved: %1</source>
        <translation>Nicht verschoben: %1</translation>
    </message>
    <message id="move-error-sources-kept">
        <source>Copied, but kept at the source: %1</source>
        <translation>Kopiert, aber an der Quelle behalten: %1</translation>
    </message>
    <message id="move-kept-changed">
        <source>copied, but changed since, so it was kept at the source</source>
        <translation>kopiert, aber seither geändert, daher an der Quelle behalten</translation>
    </message>
    <message id="move-kept-not-found">
        <source>copied, but not found where it was at the end (moved or renamed?), so it was not deleted</source>
        <translation>kopiert, aber am Ende nicht mehr dort gefunden, wo es war (verschoben oder umbenannt?), daher nicht gelöscht</translation>
    </message>
    <message id="move-kept-undeleted">
        <source>copied, but it could not be deleted at the source</source>
        <translation>kopiert, konnte aber an der Quelle nicht gelöscht werden</translation>
    </message>
    <message id="move-kept-cancelled">
        <source>copied, but kept at the source: the move was cancelled</source>
        <translation>kopiert, aber an der Quelle behalten: das Verschieben wurde abgebrochen</translation>
    </message>
    <message id="move-kept-unanswered">
        <source>copied; the source did not confirm that it was deleted</source>
        <translation>kopiert; die Quelle hat das Löschen nicht bestätigt</translation>
    </message>
    <message id="move-kept-saved-again">
        <source>copied, but saved again at the source after it was deleted, so it is there as well</source>
        <translation>kopiert, aber nach dem Löschen an der Quelle erneut gespeichert, daher auch dort vorhanden</translation>
    </message>
    <message id="copy-path-on-computer">
        <source>%1 on %2</source>
        <translation>%1 auf %2</translation>
    </message>
    <message id="copy-paused-retry">
        <source>The copy was interrupted; it tries again in a moment.</source>
        <translation>Das Kopieren wurde unterbrochen; es wird gleich erneut versucht.</translation>
    </message>
    <message id="copy-waiting-for">
        <source>waiting for %1</source>
        <translation>wartet auf %1</translation>
    </message>
    <message id="copy-waiting-data">
        <source>waiting for data</source>
        <translation>wartet auf Daten</translation>
    </message>
    <message id="copy-left-out-gone">
        <source>no longer exists</source>
        <translation>existiert nicht mehr</translation>
    </message>
    <message id="copy-error-not-confirmed">
        <source>The destination did not confirm in time that the copy is on its disk.</source>
        <translation>Das Ziel hat nicht rechtzeitig bestätigt, dass die Kopie auf seinem Datenträger ist.</translation>
    </message>
    <message id="copy-error-flush-folder-gone">
        <source>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk.</source>
        <translation>Der Zielordner wurde umbenannt, verschoben oder gelöscht, bevor das Ziel bestätigt hat, dass die Kopie auf seinem Datenträger ist.</translation>
    </message>
    <message id="move-error-flush-folder-gone">
        <source>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk; the sources were kept.</source>
        <translation>Der Zielordner wurde umbenannt, verschoben oder gelöscht, bevor das Ziel bestätigt hat, dass die Kopie auf seinem Datenträger ist; die Quellen wurden behalten.</translation>
    </message>
    <message id="copy-error-sources-unlisted">
        <source>The sources could not be listed again to check that they did not change while they were copied.</source>
        <translation>Die Quellen konnten nicht noch einmal aufgelistet werden, um zu prüfen, dass sie sich beim Kopieren nicht geändert haben.</translation>
    </message>
    <message id="move-error-sources-unlisted">
        <source>The sources could not be listed again to check that they did not change while they were moved; they were kept.</source>
        <translation>Die Quellen konnten nicht noch einmal aufgelistet werden, um zu prüfen, dass sie sich beim Verschieben nicht geändert haben; sie wurden behalten.</translation>
    </message>
</context>
</TS>
