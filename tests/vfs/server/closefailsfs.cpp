// A file system for the tests whose close of a written file fails, as NFS and FUSE file
// systems report a write-back error: it shows the folder `backing` at `mountpoint`, and every
// close of a file opened for writing whose name holds "close-fails" answers EIO (the data
// stays written). Everything else passes through. Runs in the foreground until unmounted or
// asked to end (SIGTERM, also when the test that started it dies), and unmounts itself then.
//
//   nusk_closefailsfs <backing> <mountpoint>

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

int g_root = -1;

// Paths come as "/a/b"; the backing folder is reached by descriptor, "." for the root.
const char *relative(const char *path)
{
    return path[1] ? path + 1 : ".";
}

int result(int r)
{
    return r < 0 ? -errno : 0;
}

int doGetattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    if (fi)
        return result(::fstat(int(fi->fh), st));
    return result(::fstatat(g_root, relative(path), st, AT_SYMLINK_NOFOLLOW));
}

int doReaddir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    const int fd = ::openat(g_root, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    while (dirent *entry = ::readdir(dir))
        fill(buffer, entry->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    ::closedir(dir);
    return 0;
}

int doReadlink(const char *path, char *buffer, size_t size)
{
    const ssize_t n = ::readlinkat(g_root, relative(path), buffer, size - 1);
    if (n < 0)
        return -errno;
    buffer[n] = '\0';
    return 0;
}

int doMkdir(const char *path, mode_t mode) { return result(::mkdirat(g_root, relative(path), mode)); }
int doUnlink(const char *path) { return result(::unlinkat(g_root, relative(path), 0)); }
int doRmdir(const char *path) { return result(::unlinkat(g_root, relative(path), AT_REMOVEDIR)); }
int doSymlink(const char *target, const char *path) { return result(::symlinkat(target, g_root, relative(path))); }

int doRename(const char *from, const char *to, unsigned int flags)
{
    return result(::renameat2(g_root, relative(from), g_root, relative(to), flags));
}

int doChmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    if (fi)
        return result(::fchmod(int(fi->fh), mode));
    return result(::fchmodat(g_root, relative(path), mode, 0));
}

int doChown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    if (fi)
        return result(::fchown(int(fi->fh), uid, gid));
    return result(::fchownat(g_root, relative(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int doTruncate(const char *path, off_t size, fuse_file_info *fi)
{
    if (fi)
        return result(::ftruncate(int(fi->fh), size));
    const int fd = ::openat(g_root, relative(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int r = result(::ftruncate(fd, size));
    ::close(fd);
    return r;
}

int doUtimens(const char *path, const timespec times[2], fuse_file_info *fi)
{
    if (fi)
        return result(::futimens(int(fi->fh), times));
    return result(::utimensat(g_root, relative(path), times, AT_SYMLINK_NOFOLLOW));
}

int doOpen(const char *path, fuse_file_info *fi)
{
    const int fd = ::openat(g_root, relative(path), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = std::uint64_t(fd);
    return 0;
}

int doCreate(const char *path, mode_t mode, fuse_file_info *fi)
{
    const int fd = ::openat(g_root, relative(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    fi->fh = std::uint64_t(fd);
    return 0;
}

int doRead(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi)
{
    const ssize_t n = ::pread(int(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : int(n);
}

int doWrite(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *fi)
{
    const ssize_t n = ::pwrite(int(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : int(n);
}

int doStatfs(const char *, struct statvfs *st) { return result(::fstatvfs(g_root, st)); }

// Every close(2) of a descriptor of the file comes here first, and its answer is close's.
int doFlush(const char *path, fuse_file_info *fi)
{
    // The request carries no open flags: the backing descriptor tells.
    const int mode = ::fcntl(int(fi->fh), F_GETFL);
    const bool written = mode >= 0 && (mode & O_ACCMODE) != O_RDONLY;
    return written && std::strstr(path, "close-fails") ? -EIO : 0;
}

int doRelease(const char *, fuse_file_info *fi)
{
    ::close(int(fi->fh));
    return 0;
}

int doFsync(const char *, int dataOnly, fuse_file_info *fi)
{
    return result(dataOnly ? ::fdatasync(int(fi->fh)) : ::fsync(int(fi->fh)));
}

void *doInit(fuse_conn_info *, fuse_config *config)
{
    // The inodes, sizes and times of the backing folder, as they are now: a copy compares them.
    config->use_ino = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <backing> <mountpoint>\n", argv[0]);
        return 2;
    }
    g_root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_root < 0) {
        std::perror(argv[1]);
        return 1;
    }
    fuse_operations ops{};
    ops.getattr = doGetattr;
    ops.readlink = doReadlink;
    ops.mkdir = doMkdir;
    ops.unlink = doUnlink;
    ops.rmdir = doRmdir;
    ops.symlink = doSymlink;
    ops.rename = doRename;
    ops.chmod = doChmod;
    ops.chown = doChown;
    ops.truncate = doTruncate;
    ops.open = doOpen;
    ops.read = doRead;
    ops.write = doWrite;
    ops.statfs = doStatfs;
    ops.flush = doFlush;
    ops.release = doRelease;
    ops.fsync = doFsync;
    ops.readdir = doReaddir;
    ops.init = doInit;
    ops.create = doCreate;
    ops.utimens = doUtimens;
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // One request at a time is enough for a test, and nothing here calls back into the mount.
    std::string options = "fsname=nusk-closefails";
    char *args[] = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-s"), const_cast<char *>("-o"),
                    options.data(), argv[2]};
    return fuse_main(int(sizeof args / sizeof args[0]), args, &ops, nullptr);
}
