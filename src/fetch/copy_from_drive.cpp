// Write-out of the copy, so that its bytes are read from its drive, with the
// record of the drive's write errors; the drop of a FUSE block device's pages.
#include "fetch/copy_from_drive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string_view>

namespace {

// Whether a write-out of the copy has failed in this run, as any of the
// threads that write out the copy's files found.
std::atomic<bool> write_out_failed = false;

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

}  // namespace

void write_out_file_system(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        if (::syncfs(fd) != 0) {
            write_out_failed = true;
        }
        ::close(fd);
    }
}

void drop_block_device_pages(dev_t device) {
    const std::string path = block_device_path(device);
    const int fd =
        path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISBLK(status.st_mode) && status.st_rdev == device) {
        // Pages that wait to be written would stay.
        if (::fdatasync(fd) != 0) {
            write_out_failed = true;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    ::close(fd);
}

void drop_copy_pages(int fd) {
    constexpr unsigned WRITE_OUT_FLAGS =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (::sync_file_range(fd, 0, 0, WRITE_OUT_FLAGS) != 0) {
        write_out_failed = true;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

bool copy_drive_reported_write_errors() {
    return write_out_failed;
}
