// Tests of trelvik_fault_fs, the FUSE file system on which end-to-end tests
// make a tree's reads fail or hang, or the tree vanish.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fault_fs_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Reads of the test file fail from this byte on; the page before it reads.
constexpr ssize_t FAILING_OFFSET = 8192;
// How soon a reader held by the file system must end on SIGKILL.
constexpr auto KILL_TIME_LIMIT = std::chrono::seconds(1);
constexpr auto READER_TIMEOUT = std::chrono::seconds(10);
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(1);

// Waits until process `pid` waits inside read(); false when it does not
// within READER_TIMEOUT.
bool waits_in_read(pid_t pid) {
    const std::string in_read = std::to_string(SYS_read) + " ";
    const auto deadline = std::chrono::steady_clock::now() + READER_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_file("/proc/" + std::to_string(pid) + "/syscall").starts_with(in_read)) {
            return true;
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return false;
}

// Waits up to `limit` for child `pid` to end; true when a signal ended it.
bool ended_by_signal(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return WIFSIGNALED(status);
}

class FaultFsTest : public testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = fault_fs_unavailable();
        if (!unavailable.empty()) {
            GTEST_SKIP() << unavailable;
        }
    }

    TestDirectory dir;
    const fs::path source = dir / "src";
    const fs::path mount_point = dir / "mnt";
};

TEST_F(FaultFsTest, ServesTheBytesFailsTheReadAskedForAndVanishesWhenKilled) {
    const std::string head(FAILING_OFFSET, 'h');
    write_file(source / "dir" / "a.bin", head + "tail");
    FaultFsMount mount(source, mount_point,
                       {"--eio-read=dir/a.bin:" + std::to_string(FAILING_OFFSET)});

    const int fd = ::open((mount / "dir" / "a.bin").c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes(head.size(), '\0');
    EXPECT_EQ(::read(fd, bytes.data(), bytes.size()), FAILING_OFFSET);
    EXPECT_EQ(bytes, head);
    EXPECT_EQ(::read(fd, bytes.data(), bytes.size()), -1);
    EXPECT_EQ(errno, EIO);
    ::close(fd);

    mount.kill();
    EXPECT_EQ(::open((mount / "dir" / "a.bin").c_str(), O_RDONLY | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ENOTCONN);
}

TEST_F(FaultFsTest, HeldReaderEndsWithinASecondOfSigkillAndLaterReadersAwaitTheRelease) {
    write_file(source / "a.bin", "held");
    FaultFsMount mount(source, mount_point, {"--hang-read=a.bin"});
    const std::string path = mount / "a.bin";

    const pid_t reader = ::fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        char byte = 0;
        ::_exit(::read(::open(path.c_str(), O_RDONLY), &byte, 1) == 1 ? 0 : 1);
    }
    ASSERT_TRUE(waits_in_read(reader));
    ::kill(reader, SIGKILL);
    // Only the file system's answer to the kernel's interrupt ends the read.
    EXPECT_TRUE(ended_by_signal(reader, KILL_TIME_LIMIT));

    mount.release();
    EXPECT_EQ(read_file(path), "held");
}

}  // namespace
