/* A FUSE file system of the tests' own: every file and folder passes through to a folder
 * underneath, and each flush of a file (FSYNC) and of a folder (FSYNCDIR) is written to
 * standard output as "fsync <path>" or "fsyncdir <path>", so a test sees what reached the
 * disk. The first flush of a file whose name holds the mark fails with EIO; later ones
 * succeed, as a write-back error is reported once and the data it lost stays lost.
 *
 * With a mark "write:<mark>" the kernel keeps written data in its own cache (writeback
 * cache) and writes it out later, and every such write of a marked file fails: the error is
 * the kernel's write-back error, which syncfs reports.
 *
 * With a mark "close:<mark>" every close of a marked file opened for writing fails with EIO
 * (the data stays written), as NFS and FUSE file systems report a lost write-back there; its
 * flushes succeed.
 *
 *   nusk_failfs <backing folder> <mark> <mount point> [fuse options]
 *
 * An empty mark fails nothing. Runs until it is unmounted. */

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static int g_root = -1;
static const char *g_mark = "";
static int g_writeback = 0;
static int g_closeFails = 0;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static char **g_failed = NULL;
static size_t g_failedCount = 0;

/* The path relative to the backing folder ("." for the root). */
static const char *rel(const char *path)
{
    while (*path == '/')
        ++path;
    return *path ? path : ".";
}

static int result(int r)
{
    return r < 0 ? -errno : r;
}

/* A file unlinked while open has no path any more. */
static const char *shown(const char *path)
{
    return path ? path : "";
}

static void tell(const char *what, const char *path)
{
    pthread_mutex_lock(&g_lock);
    printf("%s %s\n", what, shown(path));
    fflush(stdout);
    pthread_mutex_unlock(&g_lock);
}

static int marked(const char *path)
{
    return *g_mark && strstr(shown(path), g_mark) != NULL;
}

/* Whether this flush is the one that fails: the first of a marked name. */
static int failsNow(const char *path)
{
    if (g_writeback || g_closeFails || !marked(path))
        return 0;
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_failedCount; ++i) {
        if (strcmp(g_failed[i], shown(path)) == 0) {
            pthread_mutex_unlock(&g_lock);
            return 0;
        }
    }
    char **grown = realloc(g_failed, (g_failedCount + 1) * sizeof(char *));
    if (grown) {
        g_failed = grown;
        g_failed[g_failedCount++] = strdup(shown(path));
    }
    pthread_mutex_unlock(&g_lock);
    return 1;
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    if (fi)
        return result(fstat((int)fi->fh, st));
    return result(fstatat(g_root, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                      enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    const int fd = openat(g_root, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return -errno;
    }
    struct dirent *e;
    while ((e = readdir(dir)) != NULL) {
        struct stat st;
        memset(&st, 0, sizeof(st));
        st.st_ino = e->d_ino;
        st.st_mode = (mode_t)DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, 0, 0))
            break;
    }
    closedir(dir);
    return 0;
}

static int fs_mkdir(const char *path, mode_t mode)
{
    return result(mkdirat(g_root, rel(path), mode));
}

static int fs_unlink(const char *path)
{
    return result(unlinkat(g_root, rel(path), 0));
}

static int fs_rmdir(const char *path)
{
    return result(unlinkat(g_root, rel(path), AT_REMOVEDIR));
}

static int fs_rename(const char *from, const char *to, unsigned int flags)
{
    return result(renameat2(g_root, rel(from), g_root, rel(to), flags));
}

static int fs_chmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (fi)
        return result(fchmod((int)fi->fh, mode));
    return result(fchmodat(g_root, rel(path), mode, 0));
}

static int fs_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    if (fi)
        return result(ftruncate((int)fi->fh, size));
    const int fd = openat(g_root, rel(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int r = result(ftruncate(fd, size));
    close(fd);
    return r;
}

static int fs_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    if (fi)
        return result(futimens((int)fi->fh, tv));
    return result(utimensat(g_root, rel(path), tv, AT_SYMLINK_NOFOLLOW));
}

/* With the writeback cache the kernel also reads what it writes back part of, and appends
 * on its own. */
static int backingFlags(int flags)
{
    if (!g_writeback)
        return flags;
    if ((flags & O_ACCMODE) == O_WRONLY)
        flags = (flags & ~O_ACCMODE) | O_RDWR;
    return flags & ~O_APPEND;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
    const int fd = openat(g_root, rel(path), backingFlags(fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fs_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    const int fd = openat(g_root, rel(path), backingFlags(fi->flags) | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    return result((int)pread((int)fi->fh, buf, size, offset));
}

static int fs_write(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    if (g_writeback && marked(path))
        return -EIO;
    return result((int)pwrite((int)fi->fh, buf, size, offset));
}

static int fs_statfs(const char *path, struct statvfs *st)
{
    (void)path;
    return result(fstatvfs(g_root, st));
}

/* Called at every close of a descriptor of the file. */
static int fs_flush(const char *path, struct fuse_file_info *fi)
{
    /* The request carries no open flags: the backing descriptor tells. */
    const int mode = fcntl((int)fi->fh, F_GETFL);
    const int written = mode >= 0 && (mode & O_ACCMODE) != O_RDONLY;
    return g_closeFails && written && marked(path) ? -EIO : 0;
}

static int fs_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fs_fsync(const char *path, int datasync, struct fuse_file_info *fi)
{
    (void)datasync;
    tell("fsync", path);
    if (failsNow(path))
        return -EIO;
    return result(fsync((int)fi->fh));
}

static int fs_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi)
{
    (void)datasync;
    (void)fi;
    tell("fsyncdir", path);
    const int fd = openat(g_root, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int r = result(fsync(fd));
    close(fd);
    return r;
}

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    if (g_writeback && (conn->capable & FUSE_CAP_WRITEBACK_CACHE))
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    /* Paths of files unlinked while open are gone at once, as on a disk: no hidden copies. */
    cfg->hard_remove = 1;
    cfg->use_ino = 1;
    /* A copy compares sizes and times: those of the backing folder as they are now. */
    if (g_closeFails) {
        cfg->entry_timeout = 0;
        cfg->attr_timeout = 0;
        cfg->negative_timeout = 0;
    }
    return NULL;
}

static const struct fuse_operations kOperations = {
    .getattr = fs_getattr,
    .mkdir = fs_mkdir,
    .unlink = fs_unlink,
    .rmdir = fs_rmdir,
    .rename = fs_rename,
    .chmod = fs_chmod,
    .truncate = fs_truncate,
    .open = fs_open,
    .read = fs_read,
    .write = fs_write,
    .statfs = fs_statfs,
    .flush = fs_flush,
    .release = fs_release,
    .fsync = fs_fsync,
    .readdir = fs_readdir,
    .fsyncdir = fs_fsyncdir,
    .init = fs_init,
    .create = fs_create,
    .utimens = fs_utimens,
};

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s <backing folder> <mark> <mount point> [fuse options]\n", argv[0]);
        return 2;
    }
    g_root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_root < 0) {
        perror(argv[1]);
        return 2;
    }
    g_mark = argv[2];
    if (strncmp(g_mark, "write:", 6) == 0) {
        g_writeback = 1;
        g_mark += 6;
    } else if (strncmp(g_mark, "close:", 6) == 0) {
        g_closeFails = 1;
        g_mark += 6;
    }
    /* What fuse_main reads: the program's name, then the mount point and the options. */
    argv[2] = argv[0];
    return fuse_main(argc - 2, argv + 2, &kOperations, NULL);
}
