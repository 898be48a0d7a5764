// Write-out and page dropping of the copy, so that its bytes are read from
// its drive, and the test for file systems that hold their files in memory.
#include "copy_from_drive.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "file_status.h"

void write_out_file_system(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

void drop_cached_pages(int fd) {
    ::sync_file_range(
        fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

namespace {

// Whether the file system at `path` holds its files in memory; none when that
// cannot be told.
std::optional<bool> held_in_memory(const std::string& path) {
    struct statfs file_system;
    if (::statfs(path.c_str(), &file_system) != 0) {
        return std::nullopt;
    }
    const auto type = static_cast<unsigned long>(file_system.f_type);
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC || type == PROC_SUPER_MAGIC ||
           type == SYSFS_MAGIC;
}

}  // namespace

bool in_memory_file_system(const std::string& path) {
    return held_in_memory(path).value_or(false);
}

bool in_memory_file_system(InMemoryAnswer& last, const std::string& path, dev_t device) {
    if (last.device != device) {
        const std::optional<bool> in_memory = held_in_memory(path);
        if (!in_memory) {
            return false;
        }
        last.device = device;
        last.in_memory = *in_memory;
    }
    return last.in_memory;
}

void decide_copy_pages(InMemoryAnswer& last, PreparedPair& prepared, const std::string& path_b,
                       const struct stat& status_b) {
    if (prepared.fd_b < 0 || !same_unchanged_file(prepared.status_b, status_b)) {
        prepared.copy_pages = in_memory_file_system(last, path_b, status_b.st_dev)
                                  ? CopyPages::keep
                                  : CopyPages::drop;
    }
}
