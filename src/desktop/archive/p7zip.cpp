#include "desktop/archive/p7zip.h"

#include "app/base/log.h"
#include "db/dto.h"
#include "vfs/server/vfsopenfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_listStartMs = 30000;
int g_listFinishMs = 30000;
std::function<void(const QString&)> g_beforeModesHook;

QString joinPath(const QString& dir, const QString& name)
{
    return dir + QLatin1Char('/') + name;
}

bool entryExists(const QString& path)
{
    const QFileInfo fi(path);
    return fi.exists() || fi.isSymLink();
}

// 7-Zip prints paths in UTF-8 only under a UTF-8 locale.
QProcessEnvironment sevenZipEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return env;
}

// One entry of the "-slt" listing, collected until the empty line that ends it.
struct ListedEntry
{
    QString path;
    bool folder = false;
    bool link = false;    // symbolic or hard link, or a device/fifo/socket node
    int permissions = -1; // rwx bits of the Unix mode, -1 when the archive has none
    bool valid() const { return !path.isEmpty(); }
};

// The rwx bits of "drwxr-x---": set-id and sticky letters count only for their x.
int permissionBits(const QString& mode)
{
    int bits = 0;
    for (int i = 0; i < 9; ++i) {
        const QChar c = mode.at(1 + i);
        const bool set = i % 3 == 2 ? (c == QLatin1Char('x') || c == QLatin1Char('s') || c == QLatin1Char('t'))
                                    : c != QLatin1Char('-');
        if (set)
            bits |= 0400 >> i;
    }
    return bits;
}

// A Unix mode as 7-Zip prints it after the Windows attribute letters, e.g. "drwxr-xr-x".
const QRegularExpression& unixModePattern()
{
    static const QRegularExpression re(QStringLiteral("^([-dlcbps])[-rwxsStT]{9}$"));
    return re;
}

void readAttributes(const QString& value, ListedEntry& entry)
{
    const QStringList tokens = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& token : tokens) {
        const QRegularExpressionMatch m = unixModePattern().match(token);
        if (m.hasMatch()) {
            const QChar type = m.captured(1).at(0);
            entry.permissions = permissionBits(token);
            if (type == QLatin1Char('d'))
                entry.folder = true;
            else if (type != QLatin1Char('-'))
                entry.link = true;
        }
    }
    // Windows attribute letters come first; "D" marks a directory.
    if (!tokens.isEmpty() && tokens.first().contains(QLatin1Char('D'))
        && tokens.first().count(QRegularExpression(QStringLiteral("[A-Z]"))) == tokens.first().size())
        entry.folder = true;
}

// True when the path could resolve outside the extraction folder.
bool leavesFolder(const QString& path)
{
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return true;
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        return true;
    const QStringList parts = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    for (const QString& part : parts) {
        if (part == QLatin1String(".."))
            return true;
    }
    return false;
}

// Gives the entry at `relPath` below the folder `rootFd` its mode, walking down by descriptors
// that never follow a link: whatever replaced an extracted folder or file with a link (or a
// second name of a file outside) after the extraction keeps its own mode. Folders, and a file
// only while it has the one name 7-Zip gave it. False when the entry is no longer what was
// extracted.
bool applyModeBelow(int rootFd, const QString& relPath, int bits)
{
    const QStringList parts = relPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    int dirFd = ::dup(rootFd);
    for (int i = 0; dirFd >= 0 && i + 1 < parts.size(); ++i) {
        const int next = ::openat(dirFd, QFile::encodeName(parts.at(i)).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(dirFd);
        dirFd = next;
    }
    if (dirFd < 0)
        return false;
    // O_PATH opens a fifo or device planted here without waiting on it; the mode then goes
    // to the inode this descriptor holds, by its /proc name, never to a name resolved again.
    const int fd = ::openat(dirFd, QFile::encodeName(parts.last()).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    ::close(dirFd);
    if (fd < 0)
        return false;
    struct stat st;
    const bool extracted = ::fstat(fd, &st) == 0
                           && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1));
    const bool applied = extracted
                         && vfsfiles::applyPermissions(QStringLiteral("/proc/self/fd/%1").arg(fd), bits) == 0;
    ::close(fd);
    return applied;
}

bool containsLink(const QString& dir)
{
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isSymLink())
            return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------------------

ArchiveTreeNode* ArchiveTreeNode::findFolder(ArchiveTreeNode& node, const QString& path)
{
    for (ArchiveTreeNode& child : node.children) {
        if (child.path == path)
            return &child;
        // Descend only at a part boundary: "doc" does not hold "docs/x".
        if (path.startsWith(child.path + QLatin1Char('/')))
            return findFolder(child, path);
    }
    return nullptr;
}

ArchiveTreeNode* ArchiveTreeNode::addFolder(ArchiveTreeNode& root, const QString& path)
{
    if (ArchiveTreeNode* found = findFolder(root, path))
        return found;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    ArchiveTreeNode* parent = &root;
    QString name = path;
    if (slash >= 0) {
        const QString left = path.left(slash);
        parent = findFolder(root, left);
        if (!parent)
            parent = addFolder(root, left);
        name = path.mid(slash + 1);
    }
    ArchiveTreeNode node;
    node.path = path;
    node.name = name;
    parent->children.push_back(std::move(node));
    return &parent->children.back();
}

ArchiveTreeNode* ArchiveTreeNode::parentFolderFor(ArchiveTreeNode& root, const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return &root;
    const QString left = path.left(slash);
    ArchiveTreeNode* parent = findFolder(root, left);
    return parent ? parent : addFolder(root, left);
}

// ---------------------------------------------------------------------------------------

struct P7ZipPrivate
{
    QString archivePath;
    ArchiveTreeNode root;
    QProcess* process = nullptr;   // child of the P7Zip
    QString destDir;
    QString outDir;                // the fresh folder 7-Zip extracts into
    QString name;                  // the single top-level item, moved out afterwards
    QString error;
    bool started = false;          // the extraction process was asked to start
    bool cancelled = false;
    bool ended = false;            // extracted() or failedExtracting() was emitted
    // The modes the archive gives its entries (path inside it, rwx bits), folders last and
    // the deepest first: applied after the extraction, less the user's umask, as 7-Zip
    // versions differ in what they restore.
    std::vector<std::pair<QString, int>> modes;
};

P7Zip::P7Zip(QString archivePath, QObject* parent)
    : QObject(parent), d(new P7ZipPrivate)
{
    d->archivePath = archivePath;
}

P7Zip::~P7Zip()
{
    logPrintf(LogDbg1, "~P7Zip()");
    if (d->process) {
        // Destroyed with its owner mid-extraction: end 7-Zip without reporting to an object
        // that is going away, and drop the half-written folder.
        d->process->disconnect(this);
        if (d->process->state() != QProcess::NotRunning) {
            d->process->kill();
            d->process->waitForFinished(3000);
        }
        if (!d->ended && !d->outDir.isEmpty())
            QDir(d->outDir).removeRecursively();
    }
}

bool P7Zip::isSupportedArchive(QString fileName)
{
    static const char* const suffixes[] = {".zip", ".7z", ".xz", ".lzma", ".gz", ".bz2"};
    for (const char* suffix : suffixes) {
        if (fileName.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool P7Zip::isExtractable(const QString& peerUuid, const QString& fileName)
{
    return isNullUuidString(peerUuid) && isSupportedArchive(fileName);
}

QString P7Zip::program()
{
    for (const char* name : {"7z", "7za"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

void P7Zip::setListTimeoutsForTesting(int startMs, int finishMs)
{
    g_listStartMs = startMs;
    g_listFinishMs = finishMs;
}

void P7Zip::setBeforeModesHookForTesting(std::function<void(const QString&)> hook)
{
    g_beforeModesHook = std::move(hook);
}

QString P7Zip::errorString() const
{
    return d->error;
}

QString P7Zip::outputDirectory() const
{
    return d->outDir;
}

void P7Zip::fail(const QString& text)
{
    d->error = text;
    logPrintf(LogDbg1, "7Zip: %s", qUtf8Printable(text));
    Q_EMIT errorMessage(text);
}

bool P7Zip::start(QString destDir)
{
    if (d->started)
        return false;
    const QFileInfo archive(d->archivePath);
    if (d->archivePath.isEmpty() || !archive.isFile() || !QFileInfo(destDir).isDir()) {
        //% "The archive or its folder no longer exists."
        fail(qtTrId("extract-error-missing"));
        return false;
    }
    d->destDir = QDir::cleanPath(QFileInfo(destDir).absoluteFilePath());
    const QString program = P7Zip::program();
    if (program.isEmpty()) {
        //% "7-Zip is not installed (the program \"7z\" was not found)."
        fail(qtTrId("extract-error-no7zip"));
        return false;
    }
    if (!listArchive())
        return false;

    chooseOutputDirectory(d->destDir, d->outDir, d->name);
    logPrintf(LogDbg1, "7Zip destination: %s", qUtf8Printable(d->outDir));
    // A folder of our own making: nothing in it can be overwritten, and on failure it can
    // go whole without touching anything that was there before.
    if (!QDir().mkdir(d->outDir)) {
        const QString out = d->outDir;
        d->outDir.clear();
        //% "Cannot create the folder %1."
        fail(qtTrId("extract-error-folder").arg(out));
        return false;
    }

    d->process = new QProcess(this);
    d->process->setProcessEnvironment(sevenZipEnvironment());
    connect(d->process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &P7Zip::onFinished);
    connect(d->process, &QProcess::readyReadStandardOutput, this, &P7Zip::onReadyReadStandardOutput);
    connect(d->process, &QProcess::errorOccurred, this, &P7Zip::onErrorOccurred);

    Q_EMIT startExtracting(archive.fileName(), archive.size());

    d->started = true;
    d->process->start(program,
                      {QStringLiteral("x"), QStringLiteral("-aos"), QStringLiteral("-bso0"),
                       QStringLiteral("-bsp1"), QStringLiteral("-o") + d->outDir, QStringLiteral("--"),
                       d->archivePath});
    // A password prompt would wait forever on an open input.
    d->process->closeWriteChannel();
    return true;
}

bool P7Zip::listArchive()
{
    const QString archiveName = QFileInfo(d->archivePath).fileName();
    QProcess list;
    list.setProcessEnvironment(sevenZipEnvironment());
    list.start(program(), {QStringLiteral("l"), QStringLiteral("-ba"), QStringLiteral("-slt"),
                           QStringLiteral("--"), d->archivePath});
    list.closeWriteChannel();
    if (!list.waitForStarted(g_listStartMs)) {
        //% "7-Zip could not be started."
        fail(qtTrId("extract-error-start"));
        return false;
    }
    if (!list.waitForFinished(g_listFinishMs)) {
        list.kill();
        list.waitForFinished(3000);
        //% "Listing %1 took too long; nothing was extracted."
        fail(qtTrId("extract-error-list-timeout").arg(archiveName));
        return false;
    }
    if (list.exitStatus() != QProcess::NormalExit || list.exitCode() != 0) {
        //% "%1 is damaged or not an archive 7-Zip can read."
        fail(qtTrId("extract-error-list").arg(archiveName));
        return false;
    }

    ArchiveTreeNode root;
    ListedEntry entry;
    bool refused = false;
    std::vector<std::pair<QString, int>> fileModes;
    std::vector<std::pair<QString, int>> folderModes;
    auto take = [&]() {
        if (!entry.valid() || refused)
            return;
        if (leavesFolder(entry.path)) {
            //% "%1 was refused: its entry \"%2\" points outside the target folder."
            fail(qtTrId("extract-error-unsafe").arg(archiveName, entry.path));
            refused = true;
        } else if (entry.link) {
            //% "%1 was refused: its entry \"%2\" is a link."
            fail(qtTrId("extract-error-link").arg(archiveName, entry.path));
            refused = true;
        } else {
            QString path = entry.path;
            while (path.endsWith(QLatin1Char('/')))
                path.chop(1);
            if (entry.permissions >= 0)
                (entry.folder ? folderModes : fileModes).emplace_back(path, entry.permissions);
            if (entry.folder) {
                ArchiveTreeNode::addFolder(root, path);
            } else {
                ArchiveTreeNode* folder = ArchiveTreeNode::parentFolderFor(root, path);
                folder->files.append(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
            }
        }
        entry = ListedEntry();
    };

    const QList<QByteArray> lines = list.readAllStandardOutput().split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        logPrintf(LogDbg1, "%s", line.constData());
        const int eq = line.indexOf('=');
        const QByteArray key = eq > 0 ? line.left(eq).trimmed() : QByteArray();
        const QString value = eq > 0 ? QString::fromUtf8(line.mid(eq + 1)).trimmed() : QString();
        if (line.isEmpty()) {
            take();
        } else if (key == "Path") {
            take();   // a new entry without the empty line between still ends the previous one
            entry.path = value;
        } else if (key == "Folder") {
            entry.folder = entry.folder || value.endsWith(QLatin1Char('+'));
        } else if (key == "Attributes" || key == "Mode") {
            readAttributes(value, entry);
        } else if ((key == "Symbolic Link" || key == "Hard Link" || key == "Link") && !value.isEmpty()) {
            entry.link = true;
        }
    }
    take();   // an entry at the very end counts too, so that it is checked
    if (refused)
        return false;
    d->root = std::move(root);
    std::sort(folderModes.begin(), folderModes.end(),
              [](const auto& a, const auto& b) { return a.first.count(QLatin1Char('/')) > b.first.count(QLatin1Char('/')); });
    d->modes = std::move(fileModes);
    d->modes.insert(d->modes.end(), folderModes.begin(), folderModes.end());
    return true;
}

void P7Zip::chooseOutputDirectory(const QString& destDir, QString& outDir, QString& name)
{
    const QFileInfo archive(d->archivePath);
    const QString base = archive.completeBaseName().isEmpty() ? archive.fileName() : archive.completeBaseName();
    const int folders = int(d->root.children.size());
    const int files = d->root.files.size();

    QString candidate;
    name.clear();
    if (folders == 1 && files == 0)
        name = d->root.children.front().name;
    else if (folders == 0 && files == 1)
        name = d->root.files.front();

    if (!name.isEmpty()) {
        candidate = joinPath(destDir, QLatin1Char('.') + base + QString::number(qHash(archive.fileName(), 0u)));
    } else {
        candidate = joinPath(destDir, base);
    }
    outDir = candidate;
    for (int n = 1; entryExists(outDir); ++n)
        outDir = QStringLiteral("%1 (%2)").arg(candidate).arg(n);
}

QString P7Zip::freeName(const QString& dir, const QString& name, bool isFolder)
{
    QString pattern;
    QString base;
    QString suffix;
    const int firstDot = name.indexOf(QLatin1Char('.'));
    if (!isFolder && firstDot > 0 && firstDot < name.size() - 1) {
        QStringList parts = name.mid(firstDot + 1).split(QLatin1Char('.'), Qt::SkipEmptyParts);
        suffix = parts.takeLast();
        // Short, non-numeric parts belong to the suffix ("tar.gz"); "2020" or "final1234"
        // stay with the name.
        static const QRegularExpression digitsOnly(QStringLiteral("^[0-9]+$"));
        while (!parts.isEmpty()) {
            const QString& part = parts.last();
            if (part.size() > 4 || digitsOnly.match(part).hasMatch())
                break;
            suffix = parts.takeLast() + QLatin1Char('.') + suffix;
        }
        base = name.left(firstDot);
        if (!parts.isEmpty())
            base += QLatin1Char('.') + parts.join(QLatin1Char('.'));
    }
    QString candidate = name;
    for (int n = 1; entryExists(joinPath(dir, candidate)); ++n) {
        candidate = suffix.isEmpty() ? QStringLiteral("%1 (%2)").arg(name).arg(n)
                                     : QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(suffix);
    }
    return candidate;
}

int P7Zip::parseProgress(const QByteArray& chunk)
{
    int i = 0;
    while (i < chunk.size() && !std::isalnum(static_cast<unsigned char>(chunk.at(i))))
        ++i;
    const QByteArray rest = chunk.mid(i);
    if (rest.size() < 4 || rest.at(0) < '0' || rest.at(0) > '9')
        return -1;
    const int percent = rest.indexOf('%');
    if (percent < 0)
        return -1;
    bool ok = false;
    const int value = rest.left(percent).toInt(&ok);
    return ok && value >= 0 && value <= 100 ? value : -1;
}

void P7Zip::onReadyReadStandardOutput()
{
    const QByteArray chunk = d->process->readAllStandardOutput();
    const int percent = parseProgress(chunk);
    if (percent >= 0)
        Q_EMIT extractProgress(percent);
    logPrintf(LogDbg1, "%s", chunk.constData());
}

void P7Zip::abortExtract()
{
    if (!d->process || d->process->state() == QProcess::NotRunning)
        return;
    d->cancelled = true;
    d->error.clear();
    d->process->kill();
}

void P7Zip::onErrorOccurred(QProcess::ProcessError error)
{
    // Only a failed start never reaches finished(); every other error ends there.
    if (error != QProcess::FailedToStart || d->ended)
        return;
    fail(qtTrId("extract-error-start"));
    QDir(d->outDir).removeRecursively();
    d->ended = true;
    Q_EMIT failedExtracting();
    deleteLater();
}

void P7Zip::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    logPrintf(LogDbg1, "7z extract finished. exitCode: %d, exitStatus: %d", exitCode, int(exitStatus));
    if (d->ended)
        return;
    d->ended = true;
    const QString archiveName = QFileInfo(d->archivePath).fileName();

    auto failed = [&](const QString& text, bool removeOutput) {
        if (!text.isEmpty())
            fail(text);
        if (removeOutput && !QDir(d->outDir).removeRecursively())
            logPrintf(LogDbg1, "failed to delete temp directory: %s", qUtf8Printable(d->outDir));
        Q_EMIT failedExtracting();
        deleteLater();
    };

    if (d->cancelled) {
        failed(QString(), true);
        return;
    }
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        //% "7-Zip could not extract %1; the archive may be damaged."
        failed(qtTrId("extract-error-failed").arg(archiveName), true);
        return;
    }
    // The listing refused links; a link that shows up anyway means the listing lied.
    if (containsLink(d->outDir)) {
        failed(qtTrId("extract-error-link").arg(archiveName, QStringLiteral("?")), true);
        return;
    }

    if (g_beforeModesHook)
        g_beforeModesHook(d->outDir);
    // Every item gets the archive's mode as `cp` would give it; a read-only folder only
    // after what is inside it. The folder may be shared with other processes: the check for
    // links above is no promise for what the names lead to by now.
    const int outFd = ::open(QFile::encodeName(d->outDir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    for (const auto& [entryPath, bits] : d->modes) {
        if (outFd < 0 || !applyModeBelow(outFd, entryPath, bits))
            logPrintf(LogDbg1, "mode of %s not set: not the extracted item, or refused", qUtf8Printable(entryPath));
    }
    if (outFd >= 0)
        ::close(outFd);

    QString result = d->outDir;
    if (!d->name.isEmpty()) {
        const QStringList content = QDir(d->outDir).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        bool moved = false;
        if (content.size() == 1 && content.first() == d->name) {
            const QString item = joinPath(d->outDir, d->name);
            const QString target = joinPath(d->destDir, freeName(d->destDir, d->name, QFileInfo(item).isDir()));
            if (QDir().rename(item, target)) {
                moved = true;
                result = target;
                if (!QDir(d->outDir).removeRecursively())
                    logPrintf(LogDbg1, "failed to delete temp directory: %s", qUtf8Printable(d->outDir));
            }
        }
        if (!moved) {
            // More than the listing promised, or the move failed: keep everything together
            // in a visible folder named after the archive.
            const QFileInfo archive(d->archivePath);
            const QString target = joinPath(d->destDir, freeName(d->destDir, archive.completeBaseName(), true));
            if (!QDir().rename(d->outDir, target)) {
                //% "The extracted files were left in %1."
                failed(qtTrId("extract-error-left").arg(d->outDir), false);
                return;
            }
            result = target;
        }
    }
    Q_EMIT extracted(result);
    deleteLater();
}
