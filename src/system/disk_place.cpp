// A file's first extent, as FIEMAP maps it.
#include "system/disk_place.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::uint64_t place_on_disk(const std::string& path, ino_t inode) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return inode;
    }
    // The map's head with room for one extent, the first.
    alignas(struct fiemap) char room[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
    auto* map = reinterpret_cast<struct fiemap*>(room);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 1;
    const bool mapped = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents > 0;
    ::close(fd);
    return mapped ? map->fm_extents[0].fe_physical : inode;
}
