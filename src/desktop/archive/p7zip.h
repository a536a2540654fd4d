#pragma once

// One archive extraction through the system's 7-Zip console program ("7z", else "7za", found
// on PATH). GUI thread only.
//
// start() lists the archive first (blocking, bounded) and refuses it, without writing
// anything, when the listing fails or names an entry that could land outside the target: an
// absolute path, a ".." component, a symbolic or hard link. Extraction then always goes into
// a folder this object creates fresh (so nothing that existed before can be overwritten,
// whatever the listing missed), with "-aos" as a second guard. A single top-level item is
// moved out of that folder under a free name; several items keep the fresh folder, which is
// named after the archive. A failed or cancelled extraction removes the fresh folder again.
//
// After start() returned true exactly one of extracted() and failedExtracting() follows, then
// the object deletes itself. When start() returns false the caller deletes it.

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

// The folder tree of an archive listing. Paths use "/" between parts, as 7-Zip prints them
// on this platform.
struct ArchiveTreeNode
{
    QString path;                          // full path inside the archive; empty for the root
    QString name;                          // last part of path
    QStringList files;                     // names of the files directly inside
    std::vector<ArchiveTreeNode> children; // sub-folders, in order of creation

    // A returned pointer stays valid only until its parent's children grow.
    static ArchiveTreeNode* findFolder(ArchiveTreeNode& node, const QString& path);
    static ArchiveTreeNode* addFolder(ArchiveTreeNode& root, const QString& path);
    static ArchiveTreeNode* parentFolderFor(ArchiveTreeNode& root, const QString& path);
};

struct P7ZipPrivate;

class P7Zip : public QObject
{
    Q_OBJECT
public:
    P7Zip(QString archivePath, QObject* parent);
    ~P7Zip() override;

    // True when the name ends, in any letter case, in ".zip", ".7z", ".xz", ".lzma", ".gz"
    // or ".bz2".
    static bool isSupportedArchive(QString fileName);
    // Extraction runs where the archive lies: only files of the local computer qualify.
    static bool isExtractable(const QString& peerUuid, const QString& fileName);
    // The 7-Zip program found on PATH ("7z" preferred, then "7za"); empty when none.
    static QString program();

    // Lists the archive and starts the extraction into destDir. False when nothing was
    // started; errorString() then says why (empty only for a missing archive or folder).
    bool start(QString destDir);

    // Why the last start() or the extraction failed, for the user; empty after a cancel.
    QString errorString() const;
    // The folder 7-Zip extracts into (valid after a successful start()).
    QString outputDirectory() const;

    // Parses one chunk of 7-Zip's "-bsp1" progress text; -1 when it holds no percentage.
    static int parseProgress(const QByteArray& chunk);
    // The free name for `name` in `dir`: the name itself, else "name (N)" before the suffix.
    static QString freeName(const QString& dir, const QString& name, bool isFolder);

    // Test hooks: the listing's wait limits in milliseconds; a call with the output folder
    // between the extraction's end and the modes being set (empty: none).
    static void setListTimeoutsForTesting(int startMs, int finishMs);
    static void setBeforeModesHookForTesting(std::function<void(const QString&)> hook);

public Q_SLOTS:
    // Kills the extraction; failedExtracting() follows when the process has ended.
    void abortExtract();

Q_SIGNALS:
    void startExtracting(QString archiveFileName, qlonglong archiveSize);
    void extractProgress(int percent);
    void extracted(QString path);
    void failedExtracting();
    // A failure the user should read (refused archive, missing 7-Zip, damaged data); emitted
    // before start() returns false and before failedExtracting(), never for a cancel.
    void errorMessage(QString text);

private Q_SLOTS:
    void onReadyReadStandardOutput();
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);

private:
    bool listArchive();
    void chooseOutputDirectory(const QString& destDir, QString& outDir, QString& name);
    void fail(const QString& text);
    void finish();

    std::unique_ptr<P7ZipPrivate> d;
};
