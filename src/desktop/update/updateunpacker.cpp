#include "desktop/update/updateunpacker.h"

#include <KArchive>
#include <KArchiveDirectory>
#include <KArchiveFile>
#include <KTar>
#include <KZip>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>
#include <sys/stat.h>

namespace {

// An update is the program and its files; far more than this is not one.
constexpr qint64 kMaxUnpackedBytes = qint64(4) * 1024 * 1024 * 1024;

struct Writer
{
    qint64 written = 0;
    QString error;

    bool safeName(const QString& name)
    {
        return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
    }

    bool isLink(const KArchiveEntry* entry)
    {
        return !entry->symLinkTarget().isEmpty() || (entry->permissions() & S_IFMT) == S_IFLNK;
    }

    bool copyFile(const KArchiveFile* file, const QString& target)
    {
        std::unique_ptr<QIODevice> in(file->createDevice());
        QFile out(target);
        if (!in || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            error = QStringLiteral("cannot create %1").arg(target);
            return false;
        }
        QByteArray block;
        while (!in->atEnd()) {
            block = in->read(256 * 1024);
            if (block.isEmpty())
                break;
            written += block.size();
            if (written > kMaxUnpackedBytes) {
                error = QStringLiteral("the archive unpacks to more than %1 bytes").arg(kMaxUnpackedBytes);
                return false;
            }
            if (out.write(block) != block.size()) {
                error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
                return false;
            }
        }
        if (!out.flush()) {
            error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
            return false;
        }
        // Only the execute bits are taken from the archive: no set-id bits, nothing writable
        // by others.
        const bool executable = (file->permissions() & 0111) != 0;
        QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        if (executable)
            perms |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        out.setPermissions(perms);
        return true;
    }

    bool copyDir(const KArchiveDirectory* dir, const QString& target)
    {
        const QStringList names = dir->entries();
        for (const QString& name : names) {
            const KArchiveEntry* entry = dir->entry(name);
            if (!entry)
                continue;
            if (!safeName(name)) {
                error = QStringLiteral("unsafe entry name \"%1\"").arg(name);
                return false;
            }
            if (isLink(entry)) {
                error = QStringLiteral("entry \"%1\" is a link").arg(name);
                return false;
            }
            const QString path = target + QLatin1Char('/') + name;
            if (entry->isDirectory()) {
                if (!QDir().mkdir(path) && !QFileInfo(path).isDir()) {
                    error = QStringLiteral("cannot create %1").arg(path);
                    return false;
                }
                if (!copyDir(static_cast<const KArchiveDirectory*>(entry), path))
                    return false;
            } else if (entry->isFile()) {
                if (!copyFile(static_cast<const KArchiveFile*>(entry), path))
                    return false;
            } else {
                error = QStringLiteral("entry \"%1\" is neither file nor folder").arg(name);
                return false;
            }
        }
        return true;
    }
};

} // namespace

namespace UpdateUnpacker {

bool unpack(const QString& archivePath, const QString& targetDir, const QString& requiredProgram, QString* error)
{
    auto failed = [&](const QString& text) {
        *error = text;
        QDir(targetDir).removeRecursively();
        return false;
    };

    // A previous, perhaps partial, update never mixes with this one.
    if (QFileInfo::exists(targetDir) || QFileInfo(targetDir).isSymLink()) {
        if (QFileInfo(targetDir).isSymLink() ? !QFile::remove(targetDir) : !QDir(targetDir).removeRecursively()) {
            *error = QStringLiteral("cannot remove the old %1").arg(targetDir);
            return false;
        }
    }

    std::unique_ptr<KArchive> archive;
    if (archivePath.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        archive.reset(new KZip(archivePath));
    else
        archive.reset(new KTar(archivePath, QStringLiteral("application/x-gzip")));
    if (!archive->open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(QFileInfo(archivePath).fileName(), archive->errorString());
        return false;
    }
    const KArchiveDirectory* root = archive->directory();
    const QStringList top = root ? root->entries() : QStringList();
    if (top.isEmpty())
        return failed(QStringLiteral("the archive is empty"));
    Writer writer;
    const KArchiveDirectory* source = root;
    if (top.size() == 1) {
        const KArchiveEntry* only = root->entry(top.first());
        if (only && writer.isLink(only))
            return failed(QStringLiteral("entry \"%1\" is a link").arg(top.first()));
        if (only && only->isDirectory() && writer.safeName(top.first()))
            source = static_cast<const KArchiveDirectory*>(only);
    }

    if (!QDir().mkpath(targetDir))
        return failed(QStringLiteral("cannot create %1").arg(targetDir));
    if (!writer.copyDir(source, targetDir))
        return failed(writer.error);
    const QString program = targetDir + QLatin1Char('/') + requiredProgram;
    if (!QFileInfo(program).isFile())
        return failed(QStringLiteral("the archive holds no program \"%1\"").arg(requiredProgram));
    // The hand-over starts it, whatever mode the archive recorded.
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    return true;
}

} // namespace UpdateUnpacker
