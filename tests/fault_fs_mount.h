// Mounts trelvik_fault_fs (fault_fs.cpp), the FUSE file system on which a
// test makes a tree's reads fail, hang or slow down, or the tree vanish; what
// to do with the mount is left to the test.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// Why no test can mount the file system here (no /dev/fuse, or it was not
// built for want of libfuse3), or an empty string when they can.
std::string fault_fs_unavailable();

// trelvik_fault_fs mirroring a source directory at a mount point for as long
// as the object lives. The mount lies in a mount namespace that this process
// enters (once) for itself, which the programs it starts inherit, so nothing
// stays mounted on the machine.
class FaultFsMount {
  public:
    // Mounts `source` at `mount_point` (created if missing) with the file
    // system's `options`, such as "--eio-read=dir/a.bin:4096" (see the top of
    // fault_fs.cpp), and returns once the mount answers. Throws when it does
    // not within a few seconds, or when fault_fs_unavailable() says why not.
    FaultFsMount(const std::filesystem::path& source, const std::filesystem::path& mount_point,
                 const std::vector<std::string>& options = {});
    // Ends the file system if it still runs, and detaches the mount.
    ~FaultFsMount();
    FaultFsMount(const FaultFsMount&) = delete;
    FaultFsMount& operator=(const FaultFsMount&) = delete;

    // Ends the file system at once and leaves the mount behind, like a server
    // gone away: a call waiting for it fails with ECONNABORTED (or ENOTCONN
    // where the kernel asks again), later calls with ENOTCONN, except what
    // the kernel still has cached (status within --cache-ms, pages read).
    void kill();

  private:
    // Kills the file system and detaches the mount.
    void end();

    std::filesystem::path mount_point_;
    pid_t pid_ = -1;
};
