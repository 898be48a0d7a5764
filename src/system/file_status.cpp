// Small questions about the status of a path and the errors of their system
// calls.
#include "system/file_status.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace {

bool same_time(const struct statx_timestamp& a, const struct statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

std::error_code last_error() {
    return std::error_code(errno, std::generic_category());
}

bool means_absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

bool same_file(const struct stat& before, const struct stat& now) {
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino;
}

PathStatus path_status(const std::string& path, Freshness freshness) {
    constexpr unsigned WANTED = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;
    const int flags = freshness == Freshness::asked_anew ? AT_STATX_FORCE_SYNC : 0;
    struct statx status;
    if (::statx(AT_FDCWD, path.c_str(), flags, WANTED, &status) != 0) {
        return {.error = errno};
    }
    return {.device = makedev(status.stx_dev_major, status.stx_dev_minor),
            .inode = status.stx_ino,
            .mode = status.stx_mode,
            .size = static_cast<off_t>(status.stx_size),
            .changed = status.stx_ctime,
            .modified = status.stx_mtime};
}

bool same_unchanged_file(const PathStatus& before, const PathStatus& now) {
    return before.error == now.error &&
           (before.error != 0 ||
            (before.device == now.device && before.inode == now.inode && before.mode == now.mode &&
             before.size == now.size && same_time(before.changed, now.changed)));
}

bool shows_later_changes(const PathStatus& status) {
    return status.changed.tv_nsec != 0 || status.modified.tv_nsec != 0;
}
