// Unit tests of the byte-wise comparison of one file with its copy.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "compare/file_compare.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t BLOCK = 65536;

static_assert(FILES_IDENTICAL == 0 && FILES_DIFFERENT == 1 && FILES_UNREADABLE == 2);

// `size` bytes of a pattern that does not repeat with the block size, so that
// blocks compared at the wrong offset would differ.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return bytes;
}

std::string with_byte_flipped(std::string bytes, std::size_t position) {
    bytes[position] = static_cast<char>(bytes[position] ^ 0x01);
    return bytes;
}

// Tells whether any of the watched paths has been opened since the watch
// began. Querying a file's status does not count as opening it.
class OpenWatch {
  public:
    explicit OpenWatch(std::initializer_list<fs::path> paths)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const fs::path& path : paths) {
            EXPECT_GE(::inotify_add_watch(fd_, path.c_str(), IN_OPEN), 0) << path;
        }
    }
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool any_opened() {
        alignas(inotify_event) char events[4096];
        return ::read(fd_, events, sizeof events) > 0;
    }

  private:
    int fd_;
};

// Kills the test with SIGALRM when it is still running after `seconds`, so
// that a call that blocks fails the test instead of hanging it.
class Deadline {
  public:
    explicit Deadline(unsigned seconds) { ::alarm(seconds); }
    ~Deadline() { ::alarm(0); }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
};

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(FilesEqual, EqualFilesAreIdenticalAtEverySizeAroundTheBlockSize) {
    TestDirectory dir;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK, 2 * BLOCK + 3}) {
        const std::string bytes = pattern(size);
        write_file(dir / "a", bytes);
        write_file(dir / "b", bytes);
        EXPECT_EQ(files_equal(dir / "a", dir / "b"), FILES_IDENTICAL) << size << " bytes";
        EXPECT_EQ(files_equal(dir / "a", dir / "a"), FILES_IDENTICAL) << size << " bytes";
    }
}

TEST(FilesEqual, FilesDifferingInOneByteAreDifferentWhereverTheByteIs) {
    TestDirectory dir;
    for (const std::size_t size : {std::size_t{1}, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK}) {
        const std::string bytes = pattern(size);
        write_file(dir / "a", bytes);
        for (const std::size_t position : {std::size_t{0}, size / 2, size - 1}) {
            write_file(dir / "b", with_byte_flipped(bytes, position));
            EXPECT_EQ(files_equal(dir / "a", dir / "b"), FILES_DIFFERENT)
                << size << " bytes, differing at " << position;
            EXPECT_EQ(files_equal(dir / "b", dir / "a"), FILES_DIFFERENT)
                << size << " bytes, differing at " << position;
        }
    }
}

TEST(FilesEqual, FilesOfDifferentSizeAreDifferentWithoutBeingOpened) {
    TestDirectory dir;
    const std::string bytes = pattern(BLOCK + 1);
    for (const std::size_t shorter : {std::size_t{0}, std::size_t{1}, BLOCK}) {
        write_file(dir / "long", bytes);
        write_file(dir / "short", bytes.substr(0, shorter));
        OpenWatch watch{dir / "long", dir / "short"};
        EXPECT_EQ(files_equal(dir / "long", dir / "short"), FILES_DIFFERENT) << shorter;
        EXPECT_EQ(files_equal(dir / "short", dir / "long"), FILES_DIFFERENT) << shorter;
        EXPECT_FALSE(watch.any_opened()) << shorter;
    }
}

TEST(FilesEqual, MissingPathOrDirectoryIsAnErrorAndIsNeverOpened) {
    TestDirectory dir;
    write_file(dir / "empty", "");
    write_file(dir / "file", "inhalt\n");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    OpenWatch watch{dir / "empty", dir / "file", dir / "sub"};
    for (const char* other : {"empty", "file"}) {
        for (const char* odd : {"sub", "missing", "dangling"}) {
            EXPECT_EQ(files_equal(dir / other, dir / odd), FILES_UNREADABLE) << other << " " << odd;
            EXPECT_EQ(files_equal(dir / odd, dir / other), FILES_UNREADABLE) << odd << " " << other;
        }
    }
    EXPECT_EQ(files_equal(dir / "sub", dir / "sub"), FILES_UNREADABLE);
    EXPECT_EQ(files_equal(dir / "missing", dir / "missing"), FILES_UNREADABLE);
    EXPECT_FALSE(watch.any_opened());
}

TEST(FilesEqual, NamedPipeDeviceOrSocketIsAnErrorAndIsNeverOpened) {
    require_root("a device file");
    TestDirectory dir;
    write_file(dir / "empty", "");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    make_socket(dir / "socket");
    fs::create_symlink("pipe", dir / "link-to-pipe");

    // Every special file has size 0, like the empty file: only the type test
    // keeps a pipe without a writer from being opened and read.
    const Deadline deadline(10);
    OpenWatch watch{dir / "empty", dir / "pipe", dir / "null", dir / "socket"};
    for (const char* special : {"pipe", "null", "socket", "link-to-pipe"}) {
        EXPECT_EQ(files_equal(dir / "empty", dir / special), FILES_UNREADABLE) << special;
        EXPECT_EQ(files_equal(dir / special, dir / "empty"), FILES_UNREADABLE) << special;
        EXPECT_EQ(files_equal(dir / special, dir / special), FILES_UNREADABLE) << special;
    }
    EXPECT_FALSE(watch.any_opened());
}

TEST(FilesEqual, SymbolicLinksAreFollowedOnEitherSide) {
    TestDirectory dir;
    write_file(dir / "a", "gleich\n");
    write_file(dir / "b", "gleich\n");
    write_file(dir / "c", "anders\n");
    fs::create_symlink("a", dir / "link-a");
    fs::create_symlink(dir / "link-a", dir / "link-link-a");
    fs::create_symlink("c", dir / "link-c");
    EXPECT_EQ(files_equal(dir / "link-a", dir / "b"), FILES_IDENTICAL);
    EXPECT_EQ(files_equal(dir / "b", dir / "link-a"), FILES_IDENTICAL);
    EXPECT_EQ(files_equal(dir / "link-link-a", dir / "link-a"), FILES_IDENTICAL);
    EXPECT_EQ(files_equal(dir / "link-a", dir / "link-c"), FILES_DIFFERENT);
    EXPECT_EQ(files_equal(dir / "c", dir / "link-a"), FILES_DIFFERENT);
}

TEST(FilesEqual, FileWithoutReadPermissionIsAnErrorForAnUnprivilegedUser) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "readable", "geheim\n");
    write_file(dir / "unreadable", "geheim\n");
    write_file(dir / "unreadable-longer", "geheim und mehr\n");
    fs::permissions(dir / "unreadable", fs::perms::none);
    fs::permissions(dir / "unreadable-longer", fs::perms::none);
    const std::string readable = dir / "readable";
    const std::string unreadable = dir / "unreadable";
    const std::string longer = dir / "unreadable-longer";

    EXPECT_EXIT(
        {
            become_user(NOBODY);
            std::exit(files_equal(unreadable, readable));
        },
        ::testing::ExitedWithCode(FILES_UNREADABLE), "");
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            std::exit(files_equal(readable, unreadable));
        },
        ::testing::ExitedWithCode(FILES_UNREADABLE), "");
    // Sizes that differ decide without opening either file.
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            std::exit(files_equal(longer, readable));
        },
        ::testing::ExitedWithCode(FILES_DIFFERENT), "");
}

TEST(FilesEqual, ReadFailureIsAnErrorNotTheEndOfTheData) {
    // A regular file of size 0 whose first read fails: address 0 is never
    // mapped. Taken as an empty file it would pass as identical.
    ASSERT_TRUE(fs::is_regular_file("/proc/self/mem"));
    ASSERT_EQ(fs::file_size("/proc/self/mem"), 0u);
    EXPECT_EQ(files_equal("/proc/self/mem", "/proc/self/mem"), FILES_UNREADABLE);
}

TEST(FilesEqual, LeavesNoFileOpenOnAnyOutcome) {
    TestDirectory dir;
    write_file(dir / "a", pattern(BLOCK + 5));
    write_file(dir / "b", pattern(BLOCK + 5));
    write_file(dir / "c", with_byte_flipped(pattern(BLOCK + 5), BLOCK + 4));
    write_file(dir / "d", "kurz\n");
    write_file(dir / "e", "");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    const Deadline deadline(10);
    const std::size_t before = open_descriptor_count();
    EXPECT_EQ(files_equal(dir / "e", dir / "pipe"), FILES_UNREADABLE);
    EXPECT_EQ(files_equal(dir / "a", dir / "b"), FILES_IDENTICAL);
    EXPECT_EQ(files_equal(dir / "a", dir / "c"), FILES_DIFFERENT);
    EXPECT_EQ(files_equal(dir / "a", dir / "d"), FILES_DIFFERENT);
    EXPECT_EQ(files_equal(dir / "a", dir / "missing"), FILES_UNREADABLE);
    EXPECT_EQ(files_equal("/proc/self/mem", "/proc/self/mem"), FILES_UNREADABLE);
    EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
