#include "fault_fs_mount.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

#ifdef TRELVIK_FAULT_FS
constexpr const char* FAULT_FS_BINARY = TRELVIK_FAULT_FS;
#else
constexpr const char* FAULT_FS_BINARY = nullptr;
#endif
constexpr auto MOUNT_TIMEOUT = std::chrono::seconds(10);
constexpr auto MOUNT_POLL_INTERVAL = std::chrono::milliseconds(10);

// Puts this process, the first time, into a mount namespace of its own from
// which no mount propagates to the machine's.
void enter_private_mount_namespace_once() {
    static const bool entered = enter_private_mount_namespace();
    if (!entered) {
        throw std::runtime_error("cannot enter a private mount namespace");
    }
}

// The device of `path`, or 0 when it cannot be had.
dev_t device_of(const fs::path& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_dev : 0;
}

// Whether a file system answers at `path`, other than that on `before`.
bool mounted_over(const fs::path& path, dev_t before) {
    const dev_t device = device_of(path);
    return device != 0 && device != before;
}

}  // namespace

std::string fault_fs_unavailable() {
    if (FAULT_FS_BINARY == nullptr) {
        return "trelvik_fault_fs was not built: libfuse3 (libfuse3-dev) was not found";
    }
    if (!fs::exists("/dev/fuse")) {
        return "this machine has no FUSE (/dev/fuse is missing)";
    }
    return "";
}

FaultFsMount::FaultFsMount(const fs::path& source, const fs::path& mount_point,
                           const std::vector<std::string>& options)
    : mount_point_(mount_point) {
    if (const std::string unavailable = fault_fs_unavailable(); !unavailable.empty()) {
        throw std::runtime_error(unavailable);
    }
    require_private_mounts("a FUSE mount");
    enter_private_mount_namespace_once();
    fs::create_directories(mount_point);
    const dev_t unmounted = device_of(mount_point);
    std::vector<std::string> words = {FAULT_FS_BINARY};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back(source.string());
    words.push_back(mount_point.string());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        // Should the test end without ending it, the file system ends too.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + MOUNT_TIMEOUT;
    while (!mounted_over(mount_point, unmounted)) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
        }
        if (pid_ < 0 || std::chrono::steady_clock::now() > deadline) {
            end();
            throw std::runtime_error("trelvik_fault_fs did not mount " + mount_point.string());
        }
        std::this_thread::sleep_for(MOUNT_POLL_INTERVAL);
    }
}

FaultFsMount::~FaultFsMount() {
    end();
}

void FaultFsMount::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void FaultFsMount::end() {
    kill();
    ::umount2(mount_point_.c_str(), MNT_DETACH);
}
