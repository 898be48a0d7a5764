// The file systems that the copy's files were met on, each asked for its kind
// once, and the page cache of a FUSE file system's block device dropped when
// it is first met. Telling a file system's kind is the system's.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "system/file_systems.h"

// The file systems of the copy's files met so far, by device, each asked for
// its kind once, by whichever thread meets it first: the question costs a
// system call, and the files of a tree mostly lie on one file system. A FUSE
// file system on a block device (ntfs-3g) has that device's pages dropped
// when it is first met.
class CopyFileSystems {
  public:
    // The kind of the file system of `device`, which holds `path`.
    FileSystemKind kind(dev_t device, const std::string& path);

  private:
    std::mutex mutex_;
    std::vector<std::pair<dev_t, FileSystemKind>> known_{};
};
