// End-to-end tests with the copy on an ext4 file system in an image file,
// attached through a loop device: a run compares the source with the bytes
// on the copy's drive, not with what the page cache still holds of the copy,
// and writes out first what the copy program left in memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>

#include "fault_fs_mount.h"
#include "loop_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t COPY_SIZE = 200000;
// What the drive returns in place of the first bytes of the copy.
const std::string GARBLED = "GARBLED!";
// Size and alignment of a read that bypasses the page cache.
constexpr std::size_t DIRECT_READ_SIZE = 4096;
// An NTFS file system made in an image file, and the status of a shell whose
// command was not found.
constexpr std::uintmax_t NTFS_IMAGE_SIZE = 8 << 20;
constexpr int COMMAND_NOT_FOUND = 127;
// A tmpfs mounted for a test: room for the image, or for a few copies.
constexpr char TMPFS_OPTIONS[] = "size=8m";
// Said on standard error after the summary.
constexpr char WRITE_ERRORS_WARNING[] =
    "trelvik Warnung - Der Datenträger der Kopie hat beim Schreiben ihrer noch ausstehenden "
    "Daten Fehler gemeldet.\n\n";

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
// not yet written out. The image lies on a tmpfs of its own, the drive.
class CopyOnLoopDevice : public testing::Test {
  protected:
    void SetUp() override {
        require_private_mounts("mounts");
        // In a mount namespace of this process's own nothing stays mounted
        // should the process end early.
        ASSERT_TRUE(enter_private_mount_namespace());
        mount_tmpfs(drive);
        ext4.emplace(image, mount_point);
        if (!ext4->unavailable().empty()) {
            GTEST_SKIP() << ext4->unavailable();
        }
        fs::create_directory(copy);
        add_file("a.bin");
    }
    ~CopyOnLoopDevice() override {
        for (auto mount = mounts.rbegin(); mount != mounts.rend(); ++mount) {
            if (*mount == drive) {
                ext4.reset();
            }
            ::umount2(mount->c_str(), 0);
        }
    }

    // Writes the file `rel` of the source and its copy.
    void add_file(const std::string& rel) {
        write_file(source / rel, contents);
        write_file(copy / rel, contents);
    }

    // Mounts a tmpfs at `directory`, which is created, until the test ends.
    void mount_tmpfs(const fs::path& directory) {
        fs::create_directories(directory);
        if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, TMPFS_OPTIONS) != 0) {
            fail("mount tmpfs " + directory.string());
        }
        mounts.push_back(directory);
    }

    // Shrinks the tmpfs `drive`, which holds the image of a drive, to the
    // pages it holds: the drive takes no more blocks, and what waits in
    // memory to be written to it cannot be.
    void fill(const fs::path& drive) {
        struct statvfs room;
        ASSERT_EQ(::statvfs(drive.c_str(), &room), 0);
        const std::string full =
            "size=" + std::to_string((room.f_blocks - room.f_bfree) * room.f_frsize);
        ASSERT_EQ(::mount(nullptr, drive.c_str(), nullptr, MS_REMOUNT, full.c_str()), 0);
    }

    // Writes out the copy `file` and changes the first bytes of it on the
    // drive to GARBLED; the page cache still holds the written ones.
    void garble_on_drive(const fs::path& file) {
        const std::optional<off_t> place = drive_offset(file, FIEMAP_FLAG_SYNC);
        ASSERT_TRUE(place.has_value()) << "the synced copy has no place on the drive";
        std::string garbled = GARBLED;
        transfer_at(image, O_WRONLY, garbled.data(), garbled.size(), *place);
        ASSERT_EQ(read_from_drive(file).substr(0, GARBLED.size()), GARBLED);
    }

    // Has the copy's drive answer, to the program, as a rotating disk does:
    // the kernel calls it rotational, and its reads so far took 2 ms each.
    // The files that say so are covered, in this process's mount namespace,
    // until the test ends.
    void pose_as_rotating_disk() {
        struct stat status;
        ASSERT_EQ(::stat(mount_point.c_str(), &status), 0);
        const fs::path device =
            fs::canonical("/sys/dev/block/" + std::to_string(major(status.st_dev)) + ":" +
                          std::to_string(minor(status.st_dev)));
        write_file(dir / "rotational", "1\n");
        write_file(dir / "stat", "10 0 80 20 0 0 0 0 0 20 20 0 0 0 0 0 0\n");
        for (const auto& [file, covered] :
             {std::pair{dir / "rotational", device / "queue" / "rotational"},
              std::pair{dir / "stat", device / "stat"}}) {
            ASSERT_EQ(::mount(file.c_str(), covered.c_str(), nullptr, MS_BIND, nullptr), 0)
                << covered;
            mounts.push_back(covered);
        }
    }

    std::vector<std::string> arguments() const { return {source.string(), copy.string()}; }

    TestDirectory dir;
    const fs::path drive = dir / "drive";
    const fs::path image = drive / "image";
    const fs::path source = dir / "src";
    const fs::path mount_point = dir / "mnt";
    const fs::path copy = mount_point / "copy";
    const std::string contents = random_bytes(COPY_SIZE);
    // Unmounted in reverse order at the end of the test, the copy's file
    // system before the drive that holds its image.
    std::vector<fs::path> mounts;
    std::optional<LoopMountedExt4> ext4;
};

TEST_F(CopyOnLoopDevice, SyncedCopiesWhoseDriveGarblesThemAreReportedAsDifferent) {
    // Each copy is read from the drive, not only the first one; with the
    // source on this machine's drive, and behind FUSE, where the workers
    // decide as many files at once as they may, and on a drive that answers
    // as a rotating disk, where a run of files is read in the order in which
    // they lie on it.
    add_file("b.bin");
    const std::vector<std::string> order = listing_order(source);
    const struct {
        const char* what;
        bool served_source;
        bool rotating_copy_disk;
    } rows[] = {{"source on a local drive", false, false},
                {"source behind FUSE", true, false},
                {"copy on a drive that answers as a rotating disk", false, true}};
    for (const auto& [what, served_source, rotating_copy_disk] : rows) {
        SCOPED_TRACE(what);
        if (served_source && !fault_fs_unavailable().empty()) {
            GTEST_SKIP() << fault_fs_unavailable();
        }
        std::optional<FaultFsMount> mount;
        if (served_source) {
            mount.emplace(source, dir / "served");
        }
        if (rotating_copy_disk) {
            pose_as_rotating_disk();
        }
        // Written anew, as the run before left the garbled bytes in memory.
        for (const std::string& rel : order) {
            write_file(copy / rel, contents);
            garble_on_drive(copy / rel);
        }

        const RunResult run = run_trelvik(
            dir, {served_source ? (dir / "served").string() : source.string(), copy.string()});

        std::string out = announcement(2);
        std::string log;
        for (std::size_t k = 0; k < order.size(); ++k) {
            out += progress_line(k + 1, order[k]) + cleared_line(CLEAR_WIDTH) +
                   differing_line(right_aligned(order[k], RESULT_NAME_WIDTH));
            log += right_aligned(order[k], LOG_NAME_WIDTH) + " - ACHTUNG!!! NICHT identisch!!!\n";
        }
        EXPECT_EQ(run.out, out + closing_lines(2, 0));
        EXPECT_EQ(run.log, log);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

TEST_F(CopyOnLoopDevice, CopyRewrittenWithItsTimeSetBackAfterItWasOpenedAheadIsReadFromTheDrive) {
    // The run pauses on the first copy, garbled on the drive, after it has
    // opened the second ahead and dropped its pages; meanwhile the second is
    // written anew in place, its modification time set back, and garbled.
    add_file("b.bin");
    const std::vector<std::string> order = listing_order(source);
    const fs::path rewritten = copy / order[1];
    garble_on_drive(copy / order[0]);
    const fs::file_time_type modified = fs::last_write_time(rewritten);
    bool done = false;
    RunOptions options;
    options.on_output = [&](const std::string& out) {
        if (!done && out.find("NICHT identisch") != std::string::npos) {
            write_file(rewritten, contents);
            fs::last_write_time(rewritten, modified);
            garble_on_drive(rewritten);
            done = true;
        }
    };
    const RunResult run = run_trelvik(dir, arguments(), options);

    EXPECT_TRUE(run.out.ends_with(differing_line(right_aligned(order[1], RESULT_NAME_WIDTH)) +
                                  closing_lines(2, 0)))
        << run.out;
    EXPECT_EQ(run.status, 0);
}

TEST_F(CopyOnLoopDevice, CopyOnTheDriveAfterCopiesOnTmpfsIsReadFromTheDrive) {
    // The copies of the directory listed first lie on a tmpfs, so that the
    // first file system asked about holds its files in memory; the last
    // copy, on the drive, is garbled there.
    fs::remove(source / "a.bin");
    for (const char* rel : {"p/1", "p/2", "q/1", "q/2"}) {
        write_file(source / rel, contents);
    }
    const std::vector<std::string> order = listing_order(source);
    mount_tmpfs(copy / fs::path(order[0]).parent_path());
    for (const std::string& rel : order) {
        write_file(copy / rel, contents);
    }
    garble_on_drive(copy / order[3]);

    const RunResult run = run_trelvik(dir, arguments());

    EXPECT_TRUE(run.out.ends_with(differing_line(right_aligned(order[3], RESULT_NAME_WIDTH)) +
                                  closing_lines(1, 0)))
        << run.out;
    EXPECT_EQ(run.status, 0);
}

TEST_F(CopyOnLoopDevice, CopyOnAnNtfsDriveBelowTheCopyGarbledThereIsReportedAsDifferent) {
    // ntfs-3g reads the files it serves through the pages of its block
    // device, which dropping a copy's own pages does not reach. Its drive is
    // mounted below directory 2, next to a.bin on ext4.
    const fs::path ntfs = copy / "ntfs";
    const fs::path ntfs_image = dir / "ntfs-image";
    fs::create_directory(ntfs);
    write_file(ntfs_image, "");
    fs::resize_file(ntfs_image, NTFS_IMAGE_SIZE);
    const int made =
        std::system(("mkntfs -q -F -f " + ntfs_image.string() + " >/dev/null 2>&1").c_str());
    if (WIFEXITED(made) && WEXITSTATUS(made) == COMMAND_NOT_FOUND) {
        GTEST_SKIP() << "mkntfs (ntfs-3g) is not installed";
    }
    ASSERT_EQ(made, 0);
    ASSERT_EQ(
        std::system(
            ("mount -t ntfs-3g -o loop " + ntfs_image.string() + " " + ntfs.string()).c_str()),
        0);
    mounts.push_back(ntfs);
    write_file(source / "ntfs" / "a.bin", contents);
    write_file(ntfs / "a.bin", contents);
    // Written out through ntfs-3g and its device, then garbled in the image.
    const int fd = ::open((ntfs / "a.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(fd >= 0 && ::fsync(fd) == 0 && ::syncfs(fd) == 0);
    ::close(fd);
    const std::size_t place = read_file(ntfs_image).find(contents.substr(0, DIRECT_READ_SIZE));
    ASSERT_NE(place, std::string::npos) << "the copy is not in the image";
    std::string garbled = GARBLED;
    transfer_at(ntfs_image, O_WRONLY, garbled.data(), garbled.size(), static_cast<off_t>(place));

    const RunResult run = run_trelvik(dir, arguments());

    EXPECT_TRUE(run.out.ends_with(differing_line(right_aligned("ntfs/a.bin", RESULT_NAME_WIDTH)) +
                                  closing_lines(1, 0)))
        << run.out;
    EXPECT_EQ(run.status, 0);
}

TEST_F(CopyOnLoopDevice, WholeCopyStillInMemoryIsWrittenToTheDriveAndReportedIdentical) {
    // A file that the run does not read, being no copy of a file of the
    // source, is written out with the rest of the file system.
    write_file(copy / "extra.bin", contents);
    // Nothing writes them out this soon, short of a sync elsewhere on the
    // machine; then this test could not tell whether the run does.
    ASSERT_FALSE(drive_offset(copy / "a.bin").has_value())
        << "the copy reached its drive before the run";
    ASSERT_FALSE(drive_offset(copy / "extra.bin").has_value())
        << "the copy reached its drive before the run";

    const RunResult run = run_trelvik(dir, arguments());

    EXPECT_EQ(run.out, identical_file_output("a.bin"));
    EXPECT_EQ(run.log, right_aligned("a.bin", LOG_NAME_WIDTH) + " - OK\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(drive_offset(copy / "extra.bin").has_value())
        << "the run left a file of the copy in memory only";
    const std::optional<off_t> place = drive_offset(copy / "a.bin");
    ASSERT_TRUE(place.has_value()) << "the run left the copy in memory only";
    std::string on_drive(COPY_SIZE, '\0');
    transfer_at(image, O_RDONLY, on_drive.data(), COPY_SIZE, *place);
    EXPECT_EQ(on_drive, contents);
}

TEST_F(CopyOnLoopDevice, DriveThatFailsToTakeThePendingCopyIsToldAfterTheSummary) {
    // A drive of its own for each case, which then takes no more blocks:
    // directory 2 itself, written out whole before the pass, with the copy
    // waiting in memory, or with the copy written out before and another
    // file of it waiting; or a drive mounted below directory 2, whose
    // copies are written out one by one as they are read. The run reports
    // a copy as the drive holds it, and tells of the drive's errors.
    const struct {
        const char* what;
        bool below_directory_2;
        bool copy_written_out;
    } cases[] = {{"directory 2, copy waiting", false, false},
                 {"directory 2, copy written out, another file waiting", false, true},
                 {"drive below directory 2, copy waiting", true, false}};
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const auto& [what, below_directory_2, copy_written_out] = cases[k];
        SCOPED_TRACE(what);
        const fs::path failing = dir / ("failing-" + std::to_string(k));
        const fs::path source_2 = below_directory_2 ? source : failing / "source";
        const fs::path copy_2 = below_directory_2 ? copy : failing / "copy";
        mount_tmpfs(failing / "drive");
        const LoopMountedExt4 failing_ext4(failing / "drive" / "image",
                                           below_directory_2 ? copy / "below" : copy_2);
        const std::string rel = below_directory_2 ? "below/b.bin" : "b.bin";
        write_file(source_2 / rel, contents);
        write_file(copy_2 / rel, contents);
        if (copy_written_out) {
            ASSERT_TRUE(drive_offset(copy_2 / rel, FIEMAP_FLAG_SYNC).has_value());
            write_file(copy_2 / "extra.bin", contents);
        }
        fill(failing / "drive");
        // Standard error shares the pipe of standard output, so that the
        // order of the two shows.
        RunOptions options;
        options.errors_on_terminal = true;
        const RunResult run = run_trelvik(dir, {source_2.string(), copy_2.string()}, options);

        const std::vector<std::string> order = listing_order(source_2);
        std::string out = announcement(order.size());
        for (std::size_t number = 1; number <= order.size(); ++number) {
            out += progress_line(number, order[number - 1]) + cleared_line(CLEAR_WIDTH);
            if (order[number - 1] == rel && !copy_written_out) {
                out += differing_line(right_aligned(rel, RESULT_NAME_WIDTH));
            }
        }
        EXPECT_EQ(run.out, out + closing_lines(!copy_written_out, 0) + WRITE_ERRORS_WARNING);
        EXPECT_EQ(run.status, 0);
    }
}

}  // namespace
