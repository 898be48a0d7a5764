// End-to-end tests with the copy on an ext4 file system in an image file,
// attached through a loop device: a run compares the source with the bytes
// on the copy's drive, not with what the page cache still holds of the copy,
// and writes out first what the copy program left in memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <optional>
#include <random>

#include "loop_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Widths of the columns when standard output is a pipe.
constexpr std::size_t CLEAR_WIDTH = 100;
constexpr std::size_t RESULT_NAME_WIDTH = 47;
constexpr std::size_t LOG_NAME_WIDTH = 80;

constexpr std::size_t COPY_SIZE = 200000;
// What the drive returns in place of the first bytes of the copy.
const std::string GARBLED = "GARBLED!";
// Size and alignment of a read that bypasses the page cache.
constexpr std::size_t DIRECT_READ_SIZE = 4096;

// `count` random bytes, the same ones on every run.
std::string random_bytes(std::size_t count) {
    std::mt19937 generator(count);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// Offset on its drive of the first byte of the file at `path`; none while the
// file system has not yet given the data a place there (delayed allocation).
// With FIEMAP_FLAG_SYNC in `flags` the file's data are written out first and
// waited for; without, nothing is written out. A file this small on a fresh
// file system lies in one piece.
std::optional<off_t> drive_offset(const fs::path& path, std::uint32_t flags = 0) {
    alignas(fiemap) char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    fiemap* map = reinterpret_cast<fiemap*>(request);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = flags;
    map->fm_extent_count = 1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::ioctl(fd, FS_IOC_FIEMAP, map) != 0) {
        fail("FIEMAP " + path.string());
    }
    ::close(fd);
    if (map->fm_mapped_extents == 0 || (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_UNKNOWN)) {
        return std::nullopt;
    }
    return static_cast<off_t>(map->fm_extents[0].fe_physical);
}

// Opens `path` with `flags`, reads or writes `size` bytes at `offset` from or
// into `buffer`, and closes it again.
void transfer_at(const fs::path& path, int flags, void* buffer, std::size_t size, off_t offset) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    const bool writing = (flags & O_ACCMODE) == O_WRONLY;
    const ssize_t done = fd < 0    ? -1
                         : writing ? ::pwrite(fd, buffer, size, offset)
                                   : ::pread(fd, buffer, size, offset);
    if (done != static_cast<ssize_t>(size) || (writing && ::fsync(fd) != 0)) {
        fail("transfer " + path.string());
    }
    ::close(fd);
}

// The first DIRECT_READ_SIZE bytes of `path` as its drive holds them.
std::string read_from_drive(const fs::path& path) {
    alignas(DIRECT_READ_SIZE) char buffer[DIRECT_READ_SIZE];
    transfer_at(path, O_RDONLY | O_DIRECT, buffer, DIRECT_READ_SIZE, 0);
    return std::string(buffer, DIRECT_READ_SIZE);
}

// A source tree with a.bin in the test directory, and directory 2 on a fresh
// ext4 file system in an image file, mounted through a loop device for as
// long as the test lasts; its copy of a.bin is written through the mount and
// not yet written out.
class CopyOnLoopDevice : public testing::Test {
  protected:
    void SetUp() override {
        drive.emplace(image, mount_point);
        if (!drive->unavailable().empty()) {
            GTEST_SKIP() << drive->unavailable();
        }
        fs::create_directory(copy);
        write_file(source / "a.bin", contents);
        write_file(copy / "a.bin", contents);
    }

    std::vector<std::string> arguments() const { return {source.string(), copy.string()}; }

    TestDirectory dir;
    const fs::path image = dir / "image";
    const fs::path source = dir / "src";
    const fs::path mount_point = dir / "mnt";
    const fs::path copy = mount_point / "copy";
    const std::string contents = random_bytes(COPY_SIZE);
    std::optional<LoopMountedExt4> drive;
};

TEST_F(CopyOnLoopDevice, SyncedCopyWhoseDriveGarblesItIsReportedAsDifferent) {
    const std::optional<off_t> place = drive_offset(copy / "a.bin", FIEMAP_FLAG_SYNC);
    ASSERT_TRUE(place.has_value()) << "the synced copy has no place on the drive";
    // The drive now returns other bytes than were written; the file system's
    // page cache still holds the written ones.
    std::string garbled = GARBLED;
    transfer_at(image, O_WRONLY, garbled.data(), garbled.size(), *place);
    ASSERT_EQ(read_from_drive(copy / "a.bin").substr(0, GARBLED.size()), GARBLED);

    const RunResult run = run_trelvik(dir, arguments());

    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "a.bin") + cleared_line(CLEAR_WIDTH) +
                           differing_line(right_aligned("a.bin", RESULT_NAME_WIDTH)) +
                           closing_lines(1, 0));
    EXPECT_EQ(run.log,
              right_aligned("a.bin", LOG_NAME_WIDTH) + " - ACHTUNG!!! NICHT identisch!!!\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(CopyOnLoopDevice, CopyStillInMemoryIsWrittenToTheDriveAndReportedIdentical) {
    // Nothing writes it out this soon, short of a sync elsewhere on the
    // machine; then this test could not tell whether the run does.
    ASSERT_FALSE(drive_offset(copy / "a.bin").has_value())
        << "the copy reached its drive before the run";

    const RunResult run = run_trelvik(dir, arguments());

    EXPECT_EQ(run.out, identical_file_output("a.bin"));
    EXPECT_EQ(run.log, right_aligned("a.bin", LOG_NAME_WIDTH) + " - OK\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const std::optional<off_t> place = drive_offset(copy / "a.bin");
    ASSERT_TRUE(place.has_value()) << "the run left the copy in memory only";
    std::string on_drive(COPY_SIZE, '\0');
    transfer_at(image, O_RDONLY, on_drive.data(), COPY_SIZE, *place);
    EXPECT_EQ(on_drive, contents);
}

}  // namespace
