// Small questions about the status of a path, answered from stat().
#include "file_status.h"

#include <cerrno>

bool means_absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

bool regular_file_status(const std::string& path, struct stat& status) {
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool same_file(const struct stat& before, const struct stat& now) {
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino;
}

bool same_unchanged_file(const struct stat& before, const struct stat& now) {
    return same_file(before, now) && before.st_size == now.st_size &&
           before.st_ctim.tv_sec == now.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}
