// Write-out and page dropping of the copy, so that its bytes are read from
// its drive, with the record of the drive's write errors, and the test for
// file systems that hold their files in memory.
#include "copy_from_drive.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// Whether a write-out of the copy has failed in this run.
bool write_out_failed = false;

}  // namespace

void write_out_file_system(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        write_out_failed |= ::syncfs(fd) != 0;
        ::close(fd);
    }
}

void drop_cached_pages(int fd) {
    write_out_failed |= ::sync_file_range(fd, 0, 0,
                                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                              SYNC_FILE_RANGE_WAIT_AFTER) != 0;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

bool copy_drive_reported_write_errors() {
    return write_out_failed;
}

bool in_memory_file_system(InMemoryAnswer& last, const std::string& path, dev_t device) {
    if (last.device != device) {
        struct statfs file_system;
        if (::statfs(path.c_str(), &file_system) != 0) {
            return false;
        }
        const auto type = static_cast<unsigned long>(file_system.f_type);
        last.device = device;
        last.in_memory = type == TMPFS_MAGIC || type == RAMFS_MAGIC || type == PROC_SUPER_MAGIC ||
                         type == SYSFS_MAGIC;
    }
    return last.in_memory;
}
