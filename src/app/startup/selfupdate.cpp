#include "app/startup/selfupdate.h"

#include "app/base/log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

const char kHandingOverVariable[] = "NUSK_HANDING_OVER_PID";

bool ensureParentDir(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

// Removes a file or a symbolic link (even a dangling one).
bool removeEntry(const QString& path)
{
    QFileInfo fi(path);
    if (!fi.exists() && !fi.isSymLink())
        return true;
    if (fi.isDir() && !fi.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

bool entryExists(const QString& path)
{
    QFileInfo fi(path);
    return fi.exists() || fi.isSymLink();
}

} // namespace

bool SelfUpdate::startHandOver(const QString& program, const QStringList& arguments, qint64 handingOverPid)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kHandingOverVariable), QString::number(handingOverPid));
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    return process.startDetached();
}

qint64 SelfUpdate::takeHandingOverPid()
{
    const qint64 pid = qEnvironmentVariable(kHandingOverVariable).toLongLong();
    qunsetenv(kHandingOverVariable);
    return pid > 0 ? pid : 0;
}

SelfUpdate::SelfUpdate(const QString& appDir, const QString& programName)
    : m_appDir(QDir::cleanPath(QDir(appDir).absolutePath()))
    , m_programName(programName)
{
}

bool SelfUpdate::isRunningFromUpdate() const
{
    QDir dir(m_appDir);
    if (dir.dirName() != QLatin1String("update") || !dir.cdUp())
        return false;
    const QFileInfo installed(dir.filePath(m_programName));
    return installed.isFile() && installed.isExecutable();
}

QString SelfUpdate::installDir() const
{
    if (isRunningFromUpdate())
        return QDir::cleanPath(m_appDir + QStringLiteral("/.."));
    return m_appDir;
}

QString SelfUpdate::updateDir() const
{
    return installDir() + QStringLiteral("/update");
}

QString SelfUpdate::rollbackDir() const
{
    return installDir() + QStringLiteral("/rollback");
}

QString SelfUpdate::installedProgram() const
{
    return installDir() + QLatin1Char('/') + m_programName;
}

QString SelfUpdate::updateProgram() const
{
    return updateDir() + QLatin1Char('/') + m_programName;
}

bool SelfUpdate::install()
{
    m_error.clear();
    if (!isRunningFromUpdate()) {
        m_error = QStringLiteral("not running from an update directory");
        return false;
    }
    const QString inst = installDir();
    const QString upd = updateDir();
    const QString rb = rollbackDir();

    // A rollback left by an earlier, interrupted hand-over would mix with this one.
    if (entryExists(rb) && !QDir(rb).removeRecursively()) {
        m_error = QStringLiteral("cannot clear %1").arg(rb);
        logPrintf(LogErr1, "self-update: %s", qUtf8Printable(m_error));
        return false;
    }

    QStringList files;
    QDirIterator it(upd, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(upd).relativeFilePath(it.next()));
    files.sort();

    QList<Move> moves;
    for (const QString& rel : files) {
        Move m;
        m.relPath = rel;
        const QString src = upd + QLatin1Char('/') + rel;
        const QString dst = inst + QLatin1Char('/') + rel;
        const QString back = rb + QLatin1Char('/') + rel;

        if (entryExists(dst)) {
            if (QFileInfo(dst).isDir() && !QFileInfo(dst).isSymLink()) {
                m_error = QStringLiteral("%1 is a directory").arg(dst);
            } else if (!ensureParentDir(back) || !QFile::rename(dst, back)) {
                m_error = QStringLiteral("cannot move %1 to %2").arg(dst, back);
            } else {
                m.replaced = true;
            }
        }
        if (m_error.isEmpty()) {
            if (!ensureParentDir(dst) || !QFile::rename(src, dst))
                m_error = QStringLiteral("cannot move %1 to %2").arg(src, dst);
            else
                m.placed = true;
        }
        moves.append(m);
        if (!m_error.isEmpty()) {
            logPrintf(LogErr1, "self-update: %s", qUtf8Printable(m_error));
            undo(moves);
            return false;
        }
        logPrintf(LogNfo1, "self-update: installed %s", qUtf8Printable(rel));
    }
    return true;
}

void SelfUpdate::undo(const QList<Move>& moves)
{
    const QString inst = installDir();
    const QString upd = updateDir();
    const QString rb = rollbackDir();
    for (int i = moves.size() - 1; i >= 0; --i) {
        const Move& m = moves.at(i);
        const QString src = upd + QLatin1Char('/') + m.relPath;
        const QString dst = inst + QLatin1Char('/') + m.relPath;
        const QString back = rb + QLatin1Char('/') + m.relPath;
        if (m.placed && !QFile::rename(dst, src))
            logPrintf(LogErr1, "self-update: cannot restore %s", qUtf8Printable(src));
        if (m.replaced && !QFile::rename(back, dst))
            logPrintf(LogErr1, "self-update: cannot restore %s", qUtf8Printable(dst));
    }
}

void SelfUpdate::removeLeftovers()
{
    for (const QString& dir : {updateDir(), rollbackDir()}) {
        if (!entryExists(dir))
            continue;
        if (!removeEntry(dir))
            logPrintf(LogErr1, "failed to remove %s", qUtf8Printable(dir));
    }
}
