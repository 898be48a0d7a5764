// Making and mounting an ext4 file system in an image file for a test.
#include "loop_mount.h"

#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t IMAGE_SIZE = 8 << 20;
// Status of a shell whose command was not found.
constexpr int COMMAND_NOT_FOUND = 127;

}  // namespace

LoopMountedExt4::LoopMountedExt4(const fs::path& image, const fs::path& mount_point,
                                 const std::string& options)
    : image_(image), mount_point_(mount_point) {
    require_private_mounts("a mount through a loop device");
    if (!fs::exists("/dev/loop-control")) {
        unavailable_ = "this machine has no loop devices (/dev/loop-control is missing)";
        return;
    }
    std::ofstream(image, std::ios::binary);
    fs::resize_file(image, IMAGE_SIZE);
    const int made = std::system(("mkfs.ext4 -q -F " + options + " " + image.string()).c_str());
    if (WIFEXITED(made) && WEXITSTATUS(made) == COMMAND_NOT_FOUND) {
        unavailable_ = "mkfs.ext4 is not installed";
        return;
    }
    if (made != 0) {
        throw std::runtime_error("mkfs.ext4 failed on " + image.string());
    }
    if (!enter_private_mount_namespace()) {
        fail("mount namespace of its own");
    }
    fs::create_directory(mount_point);
    mount();
    mounted_ = true;
}

void LoopMountedExt4::mount() const {
    const std::string command = "mount -o loop " + image_.string() + " " + mount_point_.string();
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error(command + " failed");
    }
}

void LoopMountedExt4::remount() const {
    if (::umount2(mount_point_.c_str(), 0) != 0) {
        fail("umount " + mount_point_.string());
    }
    mount();
}

LoopMountedExt4::~LoopMountedExt4() {
    if (mounted_) {
        ::umount2(mount_point_.c_str(), 0);
    }
}
