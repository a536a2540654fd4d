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
    <message id="copy-error-sync">
        <source>The destination could not write the copy to its disk.</source>
        <translation>The destination could not write the copy to its disk.</translation>
    </message>
    <message id="copy-error-not-synced">
        <source>The destination did not confirm in time that the copy is on its disk; the sources were kept.</source>
        <translation>The destination did not confirm in time that the copy is on its disk; the sources were kept.</translation>
    </message>
    <message id="copy-error-source-changed-kept">
        <source>A source file kept changing while it was moved; it was kept: %1</source>
        <translation>A source file kept changing while it was moved; it was kept: %1</translation>
    </message>
    <message id="copy-error-sources-not-found">
        <source>Copied, but their sources were not found where they were at the end (moved or renamed?), so the copies were not checked against them: %1</source>
        <translation>Copied, but their sources were not found where they were at the end (moved or renamed?), so the copies were not checked against them: %1</translation>
    </message>
    <message id="copy-left-out-no-room">
        <source>does not fit on the destination&apos;s disk</source>
        <translation>does not fit on the destination&apos;s disk</translation>
    </message>
    <message id="copy-q-no-room">
        <source>This file does not fit on the destination&apos;s disk:
%1</source>
        <translation>This file does not fit on the destination&apos;s disk:
%1</translation>
    </message>
    <message id="copy-left-out-changing">
        <source>kept changing while it was copied</source>
        <translation>kept changing while it was copied</translation>
    </message>
    <message id="copy-left-out-partial">
        <source>unfinished copy left behind</source>
        <translation>unfinished copy left behind</translation>
    </message>
    <message id="copy-aborted-partial-kept">
        <source>Aborted. What was copied of an unfinished file is kept under a hidden name; copying again resumes it: %1</source>
        <translation>Aborted. What was copied of an unfinished file is kept under a hidden name; copying again resumes it: %1</translation>
    </message>
    <message id="move-error-same-place">
        <source>%1 is already in this folder.</source>
        <translation>%1 is already in this folder.</translation>
    </message>
    <message id="move-error-not-permitted">
        <source>%1 may not be moved there.</source>
        <translation>%1 may not be moved there.</translation>
    </message>
    <message id="move-error-failed">
        <source>%1 could not be moved.</source>
        <translation>%1 could not be moved.</translation>
    </message>
    <message id="move-error-changed-kept">
        <source>Changed after it was copied, so it was kept: %1</source>
        <translation>Changed after it was copied, so it was kept: %1</translation>
    </message>
    <message id="move-error-left-out">
        <source>Not moved: %1</source>
        <translation>Not moved: %1</translation>
    </message>
    <message id="move-error-sources-kept">
        <source>Copied, but kept at the source: %1</source>
        <translation>Copied, but kept at the source: %1</translation>
    </message>
    <message id="move-kept-changed">
        <source>copied, but changed since, so it was kept at the source</source>
        <translation>copied, but changed since, so it was kept at the source</translation>
    </message>
    <message id="move-kept-not-found">
        <source>copied, but not found where it was at the end (moved or renamed?), so it was not deleted</source>
        <translation>copied, but not found where it was at the end (moved or renamed?), so it was not deleted</translation>
    </message>
    <message id="move-kept-undeleted">
        <source>copied, but it could not be deleted at the source</source>
        <translation>copied, but it could not be deleted at the source</translation>
    </message>
    <message id="move-kept-cancelled">
        <source>copied, but kept at the source: the move was cancelled</source>
        <translation>copied, but kept at the source: the move was cancelled</translation>
    </message>
    <message id="move-kept-unanswered">
        <source>copied; the source did not confirm that it was deleted</source>
        <translation>copied; the source did not confirm that it was deleted</translation>
    </message>
    <message id="move-kept-saved-again">
        <source>copied, but saved again at the source after it was deleted, so it is there as well</source>
        <translation>copied, but saved again at the source after it was deleted, so it is there as well</translation>
    </message>
    <message id="copy-path-on-computer">
        <source>%1 on %2</source>
        <translation>%1 on %2</translation>
    </message>
    <message id="copy-paused-retry">
        <source>The copy was interrupted; it tries again in a moment.</source>
        <translation>The copy was interrupted; it tries again in a moment.</translation>
    </message>
    <message id="copy-waiting-for">
        <source>waiting for %1</source>
        <translation>waiting for %1</translation>
    </message>
    <message id="copy-waiting-data">
        <source>waiting for data</source>
        <translation>waiting for data</translation>
    </message>
    <message id="copy-left-out-gone">
        <source>no longer exists</source>
        <translation>no longer exists</translation>
    </message>
    <message id="copy-error-not-confirmed">
        <source>The destination did not confirm in time that the copy is on its disk.</source>
        <translation>The destination did not confirm in time that the copy is on its disk.</translation>
    </message>
    <message id="copy-error-flush-folder-gone">
        <source>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk.</source>
        <translation>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk.</translation>
    </message>
    <message id="move-error-flush-folder-gone">
        <source>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk; the sources were kept.</source>
        <translation>The destination folder was renamed, moved or deleted before the destination confirmed that the copy is on its disk; the sources were kept.</translation>
    </message>
    <message id="copy-error-sources-unlisted">
        <source>The sources could not be listed again to check that they did not change while they were copied.</source>
        <translation>The sources could not be listed again to check that they did not change while they were copied.</translation>
    </message>
    <message id="move-error-sources-unlisted">
        <source>The sources could not be listed again to check that they did not change while they were moved; they were kept.</source>
        <translation>The sources could not be listed again to check that they did not change while they were moved; they were kept.</translation>
    </message>
</context>
</TS>
