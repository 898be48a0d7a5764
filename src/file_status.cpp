// Small questions about the status of a path and the errors of their system
// calls.
#include "file_status.h"

#include <sys/sysmacros.h>

#include <cerrno>

std::error_code last_error() {
    return std::error_code(errno, std::generic_category());
}

bool means_absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

bool regular_file_status(const std::string& path, struct stat& status) {
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
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

bool same_unchanged_file(const struct stat& before, const struct stat& now) {
    return same_file(before, now) && before.st_size == now.st_size &&
           before.st_ctim.tv_sec == now.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}
