// A fresh ext4 file system in an image file, mounted through a loop device,
// for tests that need a file system of their own.
#pragma once

#include <filesystem>
#include <string>

class LoopMountedExt4 {
  public:
    // Makes an ext4 file system in the file `image`, with the further
    // mkfs.ext4 `options`, and mounts it at `mount_point`, which it creates.
    // The mount lives in a mount namespace of the calling process's own, so
    // that nothing stays mounted should the process end early. Throws when a
    // step fails on a machine that has what it takes.
    LoopMountedExt4(const std::filesystem::path& image, const std::filesystem::path& mount_point,
                    const std::string& options = "");
    // Unmounts it; the loop device then lets go of the image.
    ~LoopMountedExt4();
    LoopMountedExt4(const LoopMountedExt4&) = delete;
    LoopMountedExt4& operator=(const LoopMountedExt4&) = delete;

    // Why this machine cannot mount it, for the test to skip on: it has no
    // loop devices or no mkfs.ext4. Empty when it is mounted.
    const std::string& unavailable() const { return unavailable_; }

    // Unmounts it and mounts it again, so that nothing of it is left in
    // memory: the next reads of its files and directories go to its drive.
    void remount() const;

  private:
    void mount() const;

    std::filesystem::path image_;
    std::filesystem::path mount_point_;
    std::string unavailable_;
    bool mounted_ = false;
};
