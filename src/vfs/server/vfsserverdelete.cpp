// DELETE_FILE as it runs on the pool: checked, then done by name inside the checked folder.

#include "vfs/server/vfsserverjobs.h"

#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/server/trash.h"
#include "vfs/server/versionlinger.h"

#include <QFile>

#include <cerrno>
#include <functional>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using vfsaccess::LinkMode;

namespace {

std::mutex treeHookMutex;
std::function<void()> treeRemovalHook;

void beforeTreeRemoval()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(treeHookMutex);
        hook = treeRemovalHook;
    }
    if (hook)
        hook();
}

} // namespace

void vfsserverfs::setTreeRemovalHookForTests(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(treeHookMutex);
    treeRemovalHook = std::move(hook);
}

void DeleteFileJob::run()
{
    needsLongLane = false;
    status = check();
    if (status == FSO_STATUS_SUCCESS) {
        QByteArray name;
        const int parent = vfsaccess::openParentDirectory(localPath, &name);
        // "Not found" says the name is gone from its folder. A folder on the way that is
        // gone or is no folder says nothing of the name: it may have moved with its folder,
        // and a move that read this as gone would leave its source unnamed.
        if (parent < 0)
            status = FSO_STATUS_IO_ERROR;
        else if (!rules.entryInside(localPath, parent, name))
            status = FSO_STATUS_NOT_PERMITTED;
        else
            status = removeAt(parent, name);
        if (parent >= 0)
            ::close(parent);
    }
    if (!needsLongLane)
        fsoreply::deleted(reply, trId, status, requestPath);
    state = VfsServerJobReplyReady;
}

std::uint8_t DeleteFileJob::check() const
{
    if (rules.isLocal())
        return FSO_STATUS_SUCCESS;
    if (rules.check(localPath, vfsaccess::AclWrite, LinkMode::NoFollowLast) != FSO_STATUS_SUCCESS)
        return FSO_STATUS_NOT_PERMITTED;
    // Neither a shared item's root nor a folder holding one: either would end a share.
    return rules.holdsShareRoot(localPath) ? FSO_STATUS_NOT_PERMITTED : FSO_STATUS_SUCCESS;
}

std::uint8_t DeleteFileJob::removeAt(int dirFd, const QByteArray &name)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
    // The caller copied one version of a file and may delete that one only, whatever the name
    // holds now; the version is checked on what is taken away, as it is taken.
    if (version.given())
        return removeVersionAt(dirFd, name);
    const bool trash = flags & FSO_DELETE_TO_TRASH;
    if (S_ISDIR(st.st_mode)) {
        // A drive is never deleted, whoever asks.
        if (vfsserverfs::isMountPoint(localPath))
            return FSO_STATUS_NOT_PERMITTED;
        if ((flags & FSO_DELETE_ONLY_EMPTY) && !trash) {
            // The folder alone: whatever it still holds (a name no listing could carry, a file
            // created since the caller looked) keeps it, and the caller learns so from status 1.
            // Files deleted from it that linger a moment (versionlinger.h) go first; one saved
            // again meanwhile is there by now, and keeps it.
            bool removed = ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0;
            if (!removed && (errno == ENOTEMPTY || errno == EEXIST)
                && versionguard::LingeringFiles::endIn(dirFd, name))
                removed = ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0;
            if (!removed)
                return errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
            return FSO_STATUS_SUCCESS;
        }
        if (!trash) {
            if (!inLongLane) {
                needsLongLane = true;
                return FSO_STATUS_SUCCESS;
            }
            beforeTreeRemoval();
            return vfsserverfs::removeTreeAt(dirFd, name, QFile::encodeName(localPath), cancelled)
                       ? FSO_STATUS_SUCCESS
                       : FSO_STATUS_IO_ERROR;
        }
    }
    // The delete job asks its user whether to delete for good on 14, and only then.
    if (trash)
        return trash::moveToTrashAt(dirFd, name) ? FSO_STATUS_SUCCESS : FSO_STATUS_NETWORK_PATH;
    // A symbolic link goes itself; what it points at stays.
    return ::unlinkat(dirFd, name.constData(), 0) == 0 ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
}

std::uint8_t DeleteFileJob::removeVersionAt(int dirFd, const QByteArray &name) const
{
    if (!(flags & FSO_DELETE_TO_TRASH))
        return versionguard::unlinkVersion(dirFd, name, version);
    const versionguard::HeldVersion held(dirFd, name, version);
    if (held.status() != FSO_STATUS_SUCCESS)
        return held.status();
    switch (trash::moveVersionToTrashAt(dirFd, name, held)) {
    case trash::VersionTrashed::Trashed: return FSO_STATUS_SUCCESS;
    case trash::VersionTrashed::Changed: return FSO_STATUS_CHANGED;
    case trash::VersionTrashed::Failed: return FSO_STATUS_NETWORK_PATH;
    }
    return FSO_STATUS_IO_ERROR;
}
