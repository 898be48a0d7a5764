// Telling file systems by their type, and rotating disks by what the kernel
// says of their devices.
#include "system/file_systems.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <fstream>

namespace {

// Types of file systems whose files are served from elsewhere than a drive
// of this machine: FUSE, and the network file systems (NFS, SMB and CIFS,
// 9p, Ceph, AFS, Coda, Lustre, GlusterFS and others through FUSE, OrangeFS).
constexpr std::array<unsigned long, 12> SERVED_TYPES = {
    FUSE_SUPER_MAGIC, NFS_SUPER_MAGIC,  SMB_SUPER_MAGIC,         SMB2_SUPER_MAGIC,
    CIFS_SUPER_MAGIC, V9FS_MAGIC,       CEPH_SUPER_MAGIC,        AFS_SUPER_MAGIC,
    AFS_FS_MAGIC,     CODA_SUPER_MAGIC, 0x0bd00bd0 /* Lustre */, 0x20030528 /* OrangeFS */};

// The time of a seek on a rotating disk, which no disk that answers sooner
// on average spends on its reads.
constexpr unsigned long long SEEK_MILLISECONDS = 1;

// Types of file systems that hold their files in memory only.
constexpr std::array<unsigned long, 4> MEMORY_TYPES = {TMPFS_MAGIC, RAMFS_MAGIC, PROC_SUPER_MAGIC,
                                                       SYSFS_MAGIC};

bool one_of(unsigned long type, const auto& types) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

FileSystemKind file_system_kind(const std::string& path) {
    struct statfs file_system;
    if (::statfs(path.c_str(), &file_system) != 0) {
        return FileSystemKind::drive;
    }
    const auto type = static_cast<unsigned long>(file_system.f_type);
    if (one_of(type, SERVED_TYPES)) {
        return FileSystemKind::served;
    }
    return one_of(type, MEMORY_TYPES) ? FileSystemKind::memory : FileSystemKind::drive;
}

bool on_rotating_disk(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        return false;
    }
    const std::string device = "/sys/dev/block/" + std::to_string(major(status.st_dev)) + ':' +
                               std::to_string(minor(status.st_dev));
    // A partition's queue is that of the disk it lies on, one level up.
    char rotational = 0;
    for (const char* queue : {"/queue/rotational", "/../queue/rotational"}) {
        if (std::ifstream(device + queue) >> rotational) {
            break;
        }
    }
    if (rotational != '1') {
        return false;
    }
    // The reads of the device so far, and the milliseconds they took.
    unsigned long long reads = 0;
    unsigned long long merged = 0;
    unsigned long long sectors = 0;
    unsigned long long milliseconds = 0;
    std::ifstream(device + "/stat") >> reads >> merged >> sectors >> milliseconds;
    return reads == 0 || milliseconds >= reads * SEEK_MILLISECONDS;
}
