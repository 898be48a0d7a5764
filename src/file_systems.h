// What kind of file system holds a file, told by the file system's type: one
// on a drive of this machine, one that holds its files in memory, or one
// served from elsewhere (a network share, a FUSE server), whose every answer
// may take a round trip. Where each kind is read differently is left to the
// rooms that read.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

enum class FileSystemKind { drive, memory, served };

// The kind of the file system holding `path`; a drive where that cannot be
// told.
FileSystemKind file_system_kind(const std::string& path);

// True when `path` lies on a file system served from elsewhere.
bool served_file_system(const std::string& path);

// The file systems met in a run, by device, each asked for its kind once: the
// question costs a system call, and the files of a tree mostly lie on one
// file system. For the copy's side, a FUSE file system on a block device
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
