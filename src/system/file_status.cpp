// Small questions about the status of a path and the errors of their system
// calls.
#include "system/file_status.h"

#include <sys/sysmacros.h>

#include <cerrno>

std::error_code last_error() {
    return std::error_code(errno, std::generic_category());
}

bool means_absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

struct stat status_from_statx(const struct statx& x) {
    struct stat status {};
    status.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    status.st_ino = x.stx_ino;
    status.st_mode = x.stx_mode;
    status.st_nlink = x.stx_nlink;
    status.st_uid = x.stx_uid;
    status.st_gid = x.stx_gid;
    status.st_size = static_cast<off_t>(x.stx_size);
    status.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    status.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
    return status;
}

bool same_file(const struct stat& before, const struct stat& now) {
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino;
}

bool same_unchanged_file(const struct statx& before, const struct statx& now) {
    return before.stx_dev_major == now.stx_dev_major && before.stx_dev_minor == now.stx_dev_minor &&
           before.stx_ino == now.stx_ino && before.stx_mode == now.stx_mode &&
           before.stx_size == now.stx_size && before.stx_ctime.tv_sec == now.stx_ctime.tv_sec &&
           before.stx_ctime.tv_nsec == now.stx_ctime.tv_nsec;
}
