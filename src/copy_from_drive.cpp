// Write-out and page dropping of the copy, so that its bytes are read from
// its drive, with the record of the drive's write errors; the drop of a FUSE
// block device's pages; and the tests for file systems that hold their files
// in memory or are served from elsewhere.
#include "copy_from_drive.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <string_view>

#include "file_status.h"

namespace {

// Whether a write-out of the copy has failed in this run.
bool write_out_failed = false;

// The line of a block device's uevent file in /sys that names it.
constexpr std::string_view DEVICE_NAME_KEY = "DEVNAME=";

// The path of the block device `device` by the name the kernel gives it
// (/dev/sdb1, /dev/loop0), which needs no links made for it under /dev;
// empty when the kernel knows no such device.
std::string block_device_path(dev_t device) {
    std::ifstream uevent("/sys/dev/block/" + std::to_string(major(device)) + ':' +
                         std::to_string(minor(device)) + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.starts_with(DEVICE_NAME_KEY)) {
            return "/dev/" + line.substr(DEVICE_NAME_KEY.size());
        }
    }
    return "";
}

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

void write_out_file_system(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        write_out_failed |= ::syncfs(fd) != 0;
        ::close(fd);
    }
}

void drop_block_device_pages(const std::string& directory) {
    struct statfs file_system;
    struct stat status;
    if (::statfs(directory.c_str(), &file_system) != 0 ||
        static_cast<unsigned long>(file_system.f_type) != FUSE_SUPER_MAGIC ||
        ::stat(directory.c_str(), &status) != 0 || major(status.st_dev) == 0) {
        return;
    }
    const int fd = ::open(block_device_path(status.st_dev).c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat device;
    if (::fstat(fd, &device) == 0 && S_ISBLK(device.st_mode) && device.st_rdev == status.st_dev) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    ::close(fd);
}

void drop_cached_pages(int fd) {
    note_write_out(::sync_file_range(fd, 0, 0, WRITE_OUT_FLAGS));
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

void note_write_out(int result) {
    write_out_failed |= result < 0;
}

bool copy_drive_reported_write_errors() {
    return write_out_failed;
}

bool served_file_system(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && major(status.st_dev) == 0 &&
           held_in_memory(path) == false;
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
