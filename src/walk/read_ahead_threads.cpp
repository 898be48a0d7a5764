// The threads for reading ahead, by the kind of the source's file system,
// whether its drive answered from memory, and the descriptors free.
#include "walk/read_ahead_threads.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "system/drive_reads.h"
#include "system/file_systems.h"
#include "system/open_file_limit.h"
#include "walk/directory_reader.h"

namespace {

// Threads that read ahead at most: each keeps one request of a file system
// served from elsewhere or of a drive in flight, which is what such file
// systems and drives serve several of at once; a rotating disk serves a few
// of them in an order that saves it seeks, but more only make it seek.
constexpr unsigned MAX_THREADS = 32;
constexpr unsigned ROTATING_DISK_THREADS = 4;
// Descriptors left to the walk beside those of the threads: one to read a
// directory with, and one to spare.
constexpr unsigned long WALK_DESCRIPTORS = 2;

// True when reading the first entries of the directory `root` took reads
// from a drive: its tree has not been read since it was last written out of
// memory.
bool read_from_drive(const std::string& root) {
    const long before = blocks_read_from_drives();
    DirectoryReader directory{::open(root.c_str(), ROOT_OPEN_FLAGS)};
    if (directory.fd < 0) {
        return false;
    }
    std::error_code error;
    read_more_entries(directory, error);
    ::close(directory.fd);
    return blocks_read_from_drives() != before;
}

}  // namespace

unsigned read_ahead_threads(const std::string& root) {
    const FileSystemKind kind = file_system_kind(root);
    if (kind == FileSystemKind::memory ||
        (kind == FileSystemKind::drive && !read_from_drive(root))) {
        return 0;
    }
    const unsigned long most = kind == FileSystemKind::drive && on_rotating_disk(root)
                                   ? ROTATING_DISK_THREADS
                                   : MAX_THREADS;
    const unsigned long free = free_descriptors();
    return free > WALK_DESCRIPTORS
               ? static_cast<unsigned>(std::min<unsigned long>(most, free - WALK_DESCRIPTORS))
               : 0;
}
