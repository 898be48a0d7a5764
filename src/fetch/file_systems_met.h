// The file systems met in a run, each asked for its kind once, and the
// page cache of a FUSE file system's block device dropped when the copy's
// side first meets it. Telling a file system's kind is the system's.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "system/file_systems.h"

// The file systems met on one side of a run, by device, each asked for its
// kind once: the question costs a system call, and the files of a tree
// mostly lie on one file system. For the copy's side, a FUSE file system on a block device
// (ntfs-3g) has that device's pages dropped when it is first met.
class FileSystems {
  public:
    enum class Side { source, copy };
    explicit FileSystems(Side side) : side_(side) {}

    // The kind of the file system of `device`, which holds `path`.
    FileSystemKind kind(dev_t device, const std::string& path);

  private:
    Side side_;
    std::vector<std::pair<dev_t, FileSystemKind>> known_{};
};

// The file systems of each side met so far.
struct FileSystemsMet {
    FileSystems source{FileSystems::Side::source};
    FileSystems copy{FileSystems::Side::copy};
};
