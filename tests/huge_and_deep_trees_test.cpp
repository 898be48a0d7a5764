// End-to-end tests of trees of unusual size and shape: files over 4 GiB,
// trees deeper than the limit on open files, and paths longer than the system
// lets a program name in one piece.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>

#include "fault_fs_mount.h"
#include "loop_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t PROGRESS_NAME_WIDTH = 61;

// One byte more than a 32-bit size can hold.
constexpr off_t OVER_FOUR_GIB = (off_t(1) << 32) + 1;
constexpr auto SPARSE_RUN_TIMEOUT = std::chrono::minutes(5);
// More than the files decided ahead of the one whose turn it is.
constexpr int FILES_BEHIND_A_BIG_ONE = 1100;
// Longer than a run over a few thousand small files takes.
constexpr auto SHORT_TIMEOUT = std::chrono::seconds(20);

// Levels of the deep trees, and the limits on open files of the run: a walk
// that held one directory open per level would need more than the soft
// limit, and in the second case more than the hard limit too.
constexpr int TREE_DEPTH = 100;
constexpr unsigned long LOW_SOFT_LIMIT = 32;
constexpr unsigned long ROOMY_HARD_LIMIT = 256;
constexpr unsigned long LOW_HARD_LIMIT = 20;
// Files beside the deep trees' chains: their entries take many reads, which
// the walk must finish before it gives up the root's descriptor at the low
// hard limit.
constexpr int BIG_DIRECTORY_FILES = 4000;

// A tree of so many directories, each below one made before it and taken at
// random, and so many files spread over them at random; a chain deeper than
// LOW_HARD_LIMIT hangs below one of them.
constexpr int RANDOM_DIRECTORIES = 200;
constexpr int RANDOM_FILES = 500;
constexpr int RANDOM_TREE_CHAIN = 30;
constexpr unsigned RANDOM_TREE_SEED = 21;

// A directory name of 200 bytes; 25 of them make a path longer than PATH_MAX.
const std::string LONG_NAME(200, 'x');
constexpr int LONG_PATH_LEVELS = 25;
static_assert(LONG_PATH_LEVELS * 201 > PATH_MAX);
// Levels of them in a source behind FUSE: few enough that the file system's
// own paths, relative to the short directory it mirrors, stay within
// PATH_MAX; its mount point lengthens the paths that the program sees.
constexpr int SERVED_LONG_PATH_LEVELS = 8;
// So many levels of one-letter names make a path longer than PATH_MAX too;
// a walk whose memory grows with the square of the depth needs over 500 MiB
// for them.
constexpr int SHORT_NAME_LEVELS = 3000;
static_assert(SHORT_NAME_LEVELS * 2 > PATH_MAX);
// What a scan that ends on a path too long may cost, however deep the tree.
constexpr auto QUICK_END = std::chrono::seconds(1);
constexpr long MEMORY_BOUND_KIB = 64 * 1024;

std::string shortened(const std::string& name, std::size_t width) {
    return name.size() > width ? "..." + name.substr(name.size() - (width - 3)) : name;
}

// A file of `size` bytes that are all zero but for `last_byte` at the end;
// holes cost no disk.
void make_sparse_file(const fs::path& path, off_t size, char last_byte) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, size) != 0 ||
        (last_byte != 0 && ::pwrite(fd, &last_byte, 1, size - 1) != 1)) {
        throw std::runtime_error("sparse file " + path.string());
    }
    ::close(fd);
}

// Directories `levels` deep below `root`, each named `name`, made one below
// the other through open directories so that no full path is ever used; a
// file "file" holding "data" at the bottom. Returns the relative path of the
// file.
std::string make_deep_tree(const fs::path& root, const std::string& name, int levels) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string relative;
    for (int level = 0; level < levels && fd >= 0; ++level) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int below = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = below;
        relative += name + "/";
    }
    const int file = fd < 0 ? -1 : ::openat(fd, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0 || ::write(file, "data", 4) != 4) {
        throw std::runtime_error("deep tree below " + root.string());
    }
    ::close(file);
    ::close(fd);
    return relative + "file";
}

TEST(SparseFilesOverFourGiB, IdenticalOnesPassAndOneDifferingInItsLastByteIsFound) {
    TestDirectory dir;
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    fs::create_directories(one);
    fs::create_directories(two);
    make_sparse_file(one / "identical", OVER_FOUR_GIB, 0);
    // Further names of the same file, so that its bytes are read from memory
    // the system already holds rather than made anew for every name.
    fs::create_hard_link(one / "identical", one / "last-byte");
    fs::create_hard_link(one / "identical", two / "identical");
    make_sparse_file(two / "last-byte", OVER_FOUR_GIB, 'x');
    // More small files than the workers decide ahead, listed after a big
    // file, so that they reach the end of their window while it is compared.
    for (const fs::path& root : {one, two}) {
        for (int i = 0; i < FILES_BEHIND_A_BIG_ONE; ++i) {
            write_file(root / "small" / std::to_string(i), "");
        }
    }
    if (listing_order(one).front().starts_with("small/")) {
        for (const fs::path& root : {one, two}) {
            fs::rename(root / "small", root / "swapped");
            fs::rename(root / "identical", root / "small");
            fs::rename(root / "swapped", root / "identical");
        }
    }

    // Some 16 GiB of zeros are read, which takes a while on a busy machine.
    RunOptions options;
    options.timeout = SPARSE_RUN_TIMEOUT;
    const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

    std::string out = announcement(2 + FILES_BEHIND_A_BIG_ONE);
    std::string log;
    std::size_t number = 0;
    for (const std::string& name : listing_order(one)) {
        out += progress_line(++number, name) + cleared_line(CLEAR_WIDTH);
        if (name == "last-byte") {
            out += differing_line(right_aligned(name, RESULT_NAME_WIDTH));
            log += right_aligned(name, LOG_NAME_WIDTH) + " - ACHTUNG!!! NICHT identisch!!!\n";
        } else {
            log += right_aligned(name, LOG_NAME_WIDTH) + " - OK\n";
        }
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out + closing_lines(1, 0));
    EXPECT_EQ(run.log, log);
    EXPECT_EQ(run.status, 0);
}

// Runs over two trees alike, each with two chains of directories TREE_DEPTH
// deep and `root_files` files beside them, under the limits on open files
// given, and expects every file found in the order of the walk and reported
// identical. The walk's way back from the first chain passes levels whose
// directories it may have had to close.
void expect_deep_trees_compared(unsigned long soft_limit, unsigned long hard_limit,
                                int root_files) {
    TestDirectory dir;
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    for (const fs::path& root : {one, two}) {
        fs::create_directories(root);
        make_deep_tree(root, "d", TREE_DEPTH);
        make_deep_tree(root, "e", TREE_DEPTH);
        for (int i = 0; i < root_files; ++i) {
            write_file(root / std::to_string(i), "");
        }
    }

    RunOptions options;
    options.open_files_soft_limit = soft_limit;
    options.open_files_hard_limit = hard_limit;
    const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

    std::string out = announcement(root_files + 2);
    std::string log;
    std::size_t number = 0;
    for (const std::string& rel : listing_order(one)) {
        out += progress_line(++number, shortened(rel, PROGRESS_NAME_WIDTH)) +
               cleared_line(CLEAR_WIDTH);
        log += right_aligned(shortened(rel, LOG_NAME_WIDTH), LOG_NAME_WIDTH) + " - OK\n";
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out + closing_lines(0, 0));
    EXPECT_EQ(run.log, log);
    EXPECT_EQ(run.status, 0);
}

TEST(TreeDeeperThanSoftFileLimit, IsWalkedToTheBottom) {
    expect_deep_trees_compared(LOW_SOFT_LIMIT, ROOMY_HARD_LIMIT, 0);
}

TEST(FewOpenFilesAllowed, StillEnoughToCompareFileByFileOrTooFewForOnePairEndTheRunOnTheFirst) {
    // Where a limit is lowered, the file at whose turn it is.
    constexpr int LOWERED_AT = 100;
    // The standard streams, the log and one pair of files: the files decided
    // ahead must not take what the comparison needs, nor the descriptors
    // that the program inherited open; with 20, a few files are decided at
    // a time, far fewer than the files, on a local drive and behind FUSE;
    // behind FUSE at 64, the copy's directories listed ahead are more than
    // the descriptors free. With 5 there is no room for the pair, and the
    // run ends with a read failure on the first file rather than wait for
    // room. A limit lowered while the run is under way leaves the files that
    // no longer find descriptors to be decided anew.
    const struct {
        unsigned long limit;
        int inherited;
        unsigned long lowered_to;
    } tight[] = {{5, 0, 0}, {7, 0, 0}, {20, 0, 0}, {64, 12, 0}, {64, 0, 20}, {64, 0, 7}};
    constexpr unsigned long NO_ROOM_FOR_A_PAIR = 5;
    constexpr int DIRECTORIES = 300;
    constexpr int FILES_EACH = 8;
    TestDirectory dir;
    for (int i = 0; i < DIRECTORIES * FILES_EACH; ++i) {
        const std::string rel = std::to_string(i / FILES_EACH) + "/" + std::to_string(i);
        write_file(dir / "trees" / "one" / rel, "data");
        write_file(dir / "trees" / "two" / rel, "data");
    }
    const std::string first = listing_order(dir / "trees" / "one").front();
    std::optional<FaultFsMount> mount;
    if (fault_fs_unavailable().empty()) {
        mount.emplace(dir / "trees", dir / "mnt");
    }
    for (const fs::path& trees : {dir / "trees", dir / "mnt"}) {
        for (const auto [limit, inherited, lowered_to] : tight) {
            // The sanitizers need descriptors of their own to check the
            // type of an object, which they misreport where there are none.
            if ((trees == dir / "mnt" && !mount) || (SANITIZED && limit == NO_ROOM_FOR_A_PAIR)) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << trees << ", limit " << limit << ", inherited "
                                            << inherited << ", lowered to " << lowered_to);
            RunOptions options;
            options.open_files_soft_limit = limit;
            options.open_files_hard_limit = limit;
            options.inherited_descriptors = inherited;
            options.lowered_open_files_limit = lowered_to;
            options.lower_open_files_after = " Vergleiche Datei Nr " + std::to_string(LOWERED_AT);
            options.timeout = SHORT_TIMEOUT;
            const RunResult run = run_trelvik(dir, {trees / "one", trees / "two"}, options);

            const bool room = limit > NO_ROOM_FOR_A_PAIR;
            EXPECT_FALSE(run.timed_out);
            EXPECT_EQ(run.err, "");
            EXPECT_TRUE(run.out.ends_with(room ? closing_lines(0, 0)
                                               : progress_line(1, first) +
                                                     cleared_line(CLEAR_WIDTH) +
                                                     read_failure_message(first)))
                << run.out.substr(std::max<std::size_t>(run.out.size(), 200) - 200);
            EXPECT_EQ(run.status, room ? 0 : 1);
        }
    }
}

// A random tree below `root` (see RANDOM_DIRECTORIES), with a "lost+found"
// that may not be read; returns its directories, the root first.
std::vector<fs::path> make_random_tree(const fs::path& root) {
    std::mt19937 random(RANDOM_TREE_SEED);
    std::vector<fs::path> directories = {root};
    fs::create_directories(root);
    for (int i = 0; i < RANDOM_DIRECTORIES; ++i) {
        directories.push_back(directories[random() % directories.size()] / std::to_string(i));
        fs::create_directory(directories.back());
    }
    for (int i = 0; i < RANDOM_FILES; ++i) {
        write_file(directories[random() % directories.size()] / (std::to_string(i) + ".txt"), "");
    }
    make_deep_tree(directories[random() % directories.size()], "c", RANDOM_TREE_CHAIN);
    const fs::path excluded = directories[random() % directories.size()] / "lost+found";
    write_file(excluded / "hidden", "");
    fs::permissions(excluded, fs::perms::none);
    return directories;
}

// Walks the random tree of `directories` at the low hard limit, once with
// all of it readable and once with two directories unreadable, where the walk
// fails at the first of them that it meets: `walk_one_way` and
// `walk_the_other` run the program over it, and must give the same output,
// the same status and the same failure (named as the one way names it).
void expect_walked_alike(
    const std::vector<fs::path>& directories,
    const std::function<RunResult(const RunOptions&)>& walk_one_way,
    const std::function<RunResult(const RunOptions&)>& walk_the_other,
    const std::function<std::string(std::string)>& as_named_the_other_way = [](std::string err) {
        return err;
    }) {
    RunOptions options;
    options.open_files_soft_limit = LOW_HARD_LIMIT;
    options.open_files_hard_limit = LOW_HARD_LIMIT;
    for (const bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "two directories unreadable" : "all readable");
        if (unreadable) {
            fs::permissions(directories[RANDOM_DIRECTORIES / 2], fs::perms::none);
            fs::permissions(directories[RANDOM_DIRECTORIES], fs::perms::none);
            options.user = NOBODY;
        }
        const RunResult one_way = walk_one_way(options);
        const RunResult other = walk_the_other(options);

        EXPECT_EQ(one_way.err.empty(), !unreadable) << one_way.err;
        EXPECT_EQ(other.err, as_named_the_other_way(one_way.err));
        EXPECT_EQ(other.out, one_way.out);
        EXPECT_EQ(other.status, one_way.status);
    }
}

TEST(FewOpenFilesAllowed, TreeBehindFuseIsWalkedInTheOrderAndToTheFailureOfTheLocalWalk) {
    // Behind FUSE, directories are read ahead several at a time; on a drive
    // of this machine, warm, the walk reads one at a time. Both trees are the
    // same.
    if (!fault_fs_unavailable().empty()) {
        GTEST_SKIP() << fault_fs_unavailable();
    }
    TestDirectory dir;
    const std::vector<fs::path> directories = make_random_tree(dir / "trees" / "one");
    const FaultFsMount mount(dir / "trees", dir / "mnt", {"--cache-ms=0"});
    const auto walk = [&](const char* trees) {
        return [&dir, trees](const RunOptions& options) {
            return run_trelvik(dir, {dir / trees / "one", dir / trees / "one"}, options);
        };
    };
    expect_walked_alike(directories, walk("trees"), walk("mnt"), [](std::string err) {
        return err.empty() ? err
                           : err.replace(err.find("trees"), std::string("trees").size(), "mnt");
    });
}

TEST(FewOpenFilesAllowed, TreeReadColdFromItsDriveIsWalkedInTheOrderAndToTheFailureOfAWarmWalk) {
    // Freshly mounted, the drive answers from itself, and directories are
    // read ahead several at a time; read again, it answers from memory, and
    // the walk reads one at a time.
    TestDirectory dir;
    const LoopMountedExt4 drive(dir / "image", dir / "drive");
    if (!drive.unavailable().empty()) {
        GTEST_SKIP() << drive.unavailable();
    }
    const fs::path one = dir / "drive" / "one";
    const auto walk = [&](bool cold) {
        return [&dir, &drive, &one, cold](const RunOptions& options) {
            if (cold) {
                drive.remount();
            }
            return run_trelvik(dir, {one, one}, options);
        };
    };
    expect_walked_alike(make_random_tree(one), walk(true), walk(false));
}

TEST(FewOpenFilesAllowed, CopiesThatVanishAfterTheyWereOpenedAheadAreCountedMissing) {
    // The limit leaves room for about VANISHING files decided at once, two
    // descriptors each, besides sixteen for what the program holds and keeps
    // free. The run pauses on the first file, missing in the copy, after it
    // has opened the next ones ahead, and their
    // copies are removed meanwhile. While it pauses on the last file, also
    // missing, it holds no file of either tree open.
    constexpr unsigned long VANISHING = 5;
    constexpr unsigned long LIMIT = 16 + 2 * VANISHING;
    constexpr unsigned long FILES = 3 * VANISHING;
    TestDirectory dir;
    for (unsigned long k = 0; k < FILES; ++k) {
        write_file(dir / "one" / std::to_string(k), "data");
        write_file(dir / "two" / std::to_string(k), "data");
    }
    const std::vector<std::string> order = listing_order(dir / "one");
    fs::remove(dir / "two" / order.front());
    fs::remove(dir / "two" / order.back());
    std::size_t problems_seen = 0;
    std::vector<fs::path> open_at_last_pause;
    RunOptions options;
    options.open_files_soft_limit = LIMIT;
    options.open_files_hard_limit = LIMIT;
    options.on_output = [&](const std::string& out) {
        std::size_t problems = 0;
        for (std::size_t at = 0; (at = out.find("NICHT gefunden!", at)) != std::string::npos;
             ++at) {
            ++problems;
        }
        if (problems_seen == 0 && problems == 1) {
            for (unsigned long k = 1; k <= VANISHING; ++k) {
                fs::remove(dir / "two" / order[k]);
            }
        }
        if (problems == VANISHING + 2 && problems_seen < problems) {
            open_at_last_pause = files_open_in_program();
        }
        problems_seen = problems;
    };
    const RunResult run =
        run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.ends_with(closing_lines(0, VANISHING + 2))) << run.out;
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(open_at_last_pause.empty());
    for (const fs::path& open : open_at_last_pause) {
        EXPECT_FALSE(open.string().starts_with(dir.path().string())) << open;
    }
}

TEST(TreeDeeperThanHardFileLimit, IsWalkedToTheBottom) {
    expect_deep_trees_compared(LOW_HARD_LIMIT, LOW_HARD_LIMIT, BIG_DIRECTORY_FILES);
}

TEST(PathLongerThanPathMax, InSourceTreeEndsTheScanNamingTheFile) {
    // Behind FUSE, mounted so deep that the lowest directories lie past
    // PATH_MAX, the directories are read ahead of the walk only where their
    // entries can be reached by their paths; the walk reads the others.
    const struct {
        std::string name;
        int levels;
        bool served;
    } trees[] = {{LONG_NAME, LONG_PATH_LEVELS, false},
                 {"d", SHORT_NAME_LEVELS, false},
                 {LONG_NAME, SERVED_LONG_PATH_LEVELS, true}};
    for (const auto& [name, levels, served] : trees) {
        SCOPED_TRACE(testing::Message() << levels << (served ? " behind FUSE" : ""));
        if (served && !fault_fs_unavailable().empty()) {
            continue;
        }
        TestDirectory dir;
        fs::create_directories(dir / "trees" / "one");
        fs::create_directories(dir / "two");
        const std::string rel = make_deep_tree(dir / "trees" / "one", name, levels);
        fs::path mount_point = dir / "mnt";
        while (served && mount_point.native().size() + rel.size() < PATH_MAX) {
            mount_point /= LONG_NAME;
        }
        std::optional<FaultFsMount> mount;
        if (served) {
            mount.emplace(dir / "trees", mount_point);
        }
        const fs::path one = (served ? mount_point : dir / "trees") / "one";

        const RunResult run = run_trelvik(dir, {one.string(), (dir / "two").string()});

        EXPECT_EQ(run.err, "FEHLER: Zugriff verweigert bei \"" + one.string() + "/" + rel +
                               "\" (File name too long)\n\n");
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(run.log_exists);
        EXPECT_EQ(run.status, 1);
        EXPECT_LT(run.elapsed, QUICK_END);
        // Behind FUSE the threads that read ahead take memory of their own,
        // the more under the sanitizers.
        if (!served) {
            EXPECT_LT(run.peak_memory_kib, MEMORY_BOUND_KIB);
        }
    }
}

TEST(PathLongerThanPathMax, OfCounterpartEndsTheRunWithReadFailureNamingIt) {
    TestDirectory dir;
    // Directory 2 itself is just short enough to be named; the path of the
    // copy below it is not.
    fs::path two = dir / "two";
    while (two.native().size() + 1 + LONG_NAME.size() < PATH_MAX) {
        two /= LONG_NAME;
    }
    fs::create_directories(two);
    const std::string rel = LONG_NAME + "-file";
    ASSERT_GE(two.native().size() + 1 + rel.size(), std::size_t(PATH_MAX));
    write_file(dir / "one" / rel, "data");

    const RunResult run = run_trelvik(dir, {(dir / "one").string(), two.string()});

    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, shortened(rel, PROGRESS_NAME_WIDTH)) +
                           cleared_line(CLEAR_WIDTH) + read_failure_message(rel));
    std::string log = "\n";
    EXPECT_EQ(run.log, log += read_failure_message(rel));
    EXPECT_EQ(run.status, 1);
}

}  // namespace
