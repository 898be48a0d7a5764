// Remembering the kind of each file system met, per device.
#include "fetch/file_systems_met.h"

#include <sys/sysmacros.h>

#include "fetch/copy_from_drive.h"

FileSystemKind CopyFileSystems::kind(dev_t device, const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const auto& [known, kind] : known_) {
        if (known == device) {
            return kind;
        }
    }
    const FileSystemKind kind = file_system_kind(path);
    // A FUSE file system with a device number of a block device reads
    // its files through that device's pages.
    if (kind == FileSystemKind::served && major(device) != 0) {
        drop_block_device_pages(device);
    }
    known_.emplace_back(device, kind);
    return kind;
}
