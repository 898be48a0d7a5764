// End-to-end tests of trees that change while the run is under way, and of
// the promise that the program itself never writes into either tree.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fault_fs_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Big enough that reading it takes far longer than the test needs to change
// it once the program has opened it; sparse, so it costs no disk.
constexpr std::uintmax_t SLOW_FILE_SIZE = std::uintmax_t(1) << 28;
constexpr auto WAIT_FOR_OPEN = std::chrono::seconds(20);
// Long enough for any of these runs, short enough that a run blocked on a
// named pipe fails the test quickly.
constexpr auto SHORT_TIMEOUT = std::chrono::seconds(20);

std::string console_column(const std::string& name) {
    return right_aligned(name, RESULT_NAME_WIDTH);
}

std::string log_line(const std::string& name, const std::string& outcome) {
    return right_aligned(name, LOG_NAME_WIDTH) + outcome;
}

bool child_has_open(const fs::path& path) {
    const std::vector<fs::path> open = files_open_in_children();
    return std::find(open.begin(), open.end(), path) != open.end();
}

// Returns once the program has `path` open, which it does only after it has
// queried the sizes of both files and before it has read them.
bool wait_until_opened(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + WAIT_FOR_OPEN;
    while (std::chrono::steady_clock::now() < deadline) {
        if (child_has_open(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

void make_sparse_file(const fs::path& path, std::uintmax_t size) {
    write_file(path, "");
    fs::resize_file(path, size);
}

TEST(FileChangedAfterScan, RemovedOrReplacedByNamedPipeEndsTheRunWithReadFailure) {
    const struct {
        const char* change;
        void (*apply)(const fs::path& file);
    } changes[] = {
        {"removed", [](const fs::path& file) { fs::remove(file); }},
        {"replaced by a named pipe",
         [](const fs::path& file) {
             fs::remove(file);
             if (::mkfifo(file.c_str(), 0644) != 0) {
                 throw std::runtime_error("mkfifo");
             }
         }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        TestDirectory dir;
        const fs::path one = dir / "one";
        const fs::path two = dir / "two";
        write_file(one / "first", "data");
        write_file(one / "second", "data");
        // The first file is missing in the copy, so the run pauses on it; the
        // second one is changed in directory 1 meanwhile.
        const std::vector<std::string> order = listing_order(one);
        const std::string& missing = order[0];
        const std::string& changed = order[1];
        write_file(two / changed, "data");

        bool done = false;
        RunOptions options;
        options.timeout = SHORT_TIMEOUT;
        options.on_output = [&](const std::string& out) {
            if (!done && out.find("NICHT gefunden!") != std::string::npos) {
                change.apply(one / changed);
                done = true;
            }
        };
        const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(2) + progress_line(1, missing) + cleared_line(CLEAR_WIDTH) +
                               missing_line(console_column(missing)) + progress_line(2, changed) +
                               cleared_line(CLEAR_WIDTH) + read_failure_message(changed));
        EXPECT_EQ(run.log, log_line(missing, " - NICHT gefunden!\n") + aborted_log(changed));
        EXPECT_EQ(run.status, 1);
    }
}

TEST(FileReplacedAfterItWasOpenedAhead, IsComparedAsItStandsNowOnALocalOrAServedDrive) {
    // On a drive of this machine the look-ahead fetches ahead; behind FUSE,
    // answering every lookup afresh as a network share may, the reading
    // engine does.
    for (const bool served : {false, true}) {
        SCOPED_TRACE(served ? "served through FUSE" : "on a local drive");
        if (served && !fault_fs_unavailable().empty()) {
            GTEST_SKIP() << fault_fs_unavailable();
        }
        TestDirectory dir;
        const fs::path one = dir / "trees" / "one";
        const fs::path two = dir / "trees" / "two";
        for (const char* name : {"first", "second", "third"}) {
            write_file(one / name, "data");
        }
        // The run pauses on the first file, missing in the copy, long after it
        // has opened the next two ahead; meanwhile a file of other bytes takes
        // the place of the second one's source and of the third one's copy.
        const std::vector<std::string> order = listing_order(one);
        write_file(two / order[1], "data");
        write_file(two / order[2], "data");
        std::optional<FaultFsMount> mount;
        if (served) {
            mount.emplace(dir / "trees", dir / "mnt", std::vector<std::string>{"--cache-ms=0"});
        }
        const fs::path trees = served ? dir / "mnt" : dir / "trees";
        bool done = false;
        RunOptions options;
        options.timeout = SHORT_TIMEOUT;
        options.on_output = [&](const std::string& out) {
            if (!done && out.find("NICHT gefunden!") != std::string::npos) {
                for (const fs::path& file : {one / order[1], two / order[2]}) {
                    write_file(dir / "new", "DATA");
                    fs::rename(dir / "new", file);
                }
                done = true;
            }
        };
        const RunResult run = run_trelvik(dir, {trees / "one", trees / "two"}, options);

        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(3) + progress_line(1, order[0]) +
                               cleared_line(CLEAR_WIDTH) + missing_line(console_column(order[0])) +
                               progress_line(2, order[1]) + cleared_line(CLEAR_WIDTH) +
                               differing_line(console_column(order[1])) +
                               progress_line(3, order[2]) + cleared_line(CLEAR_WIDTH) +
                               differing_line(console_column(order[2])) + closing_lines(2, 1));
        EXPECT_EQ(run.status, 0);
    }
}

TEST(CopyChangedBetweenSizeQueryAndReads, TruncatedOrGrownIsReportedAsDifferent) {
    const struct {
        const char* change;
        void (*apply)(const fs::path& copy);
    } changes[] = {
        {"truncated", [](const fs::path& copy) { fs::resize_file(copy, 0); }},
        {"grown",
         [](const fs::path& copy) {
             std::ofstream(copy, std::ios::binary | std::ios::app) << "more";
         }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        TestDirectory dir;
        const fs::path one = dir / "one";
        const fs::path two = dir / "two";
        make_sparse_file(one / "big", SLOW_FILE_SIZE);
        make_sparse_file(two / "big", SLOW_FILE_SIZE);

        bool changed = false;
        RunOptions options;
        options.on_output = [&](const std::string& out) {
            if (!changed && out.find(progress_line(1, "big")) != std::string::npos) {
                changed = wait_until_opened(two / "big");
                change.apply(two / "big");
            }
        };
        const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

        EXPECT_TRUE(changed) << "the program never opened the copy";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(1) + progress_line(1, "big") + cleared_line(CLEAR_WIDTH) +
                               differing_line(console_column("big")) + closing_lines(1, 0));
        EXPECT_EQ(run.log, log_line("big", " - ACHTUNG!!! NICHT identisch!!!\n"));
        EXPECT_EQ(run.status, 0);
    }
}

TEST(TreesAfterRun, AreUnchangedByDifferencesMissingFilesAndReadFailure) {
    TestDirectory dir;
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    for (const char* name : {"a", "b", "c", "d"}) {
        write_file(one / name, "original");
    }
    write_file(one / "sub" / "nested", "nested");
    write_file(two / "sub" / "nested", "nested");
    write_file(two / "only-in-two", "extra");
    fs::create_symlink("only-in-two", two / "link");
    // The files meet, in the walk's order: an identical copy, a differing
    // one, a missing one, and a directory in place of the last one, which
    // ends the run. The nested file is identical, wherever the walk meets it.
    std::vector<std::string> order = listing_order(one);
    std::erase(order, "sub/nested");
    write_file(two / order[0], "original");
    write_file(two / order[1], "changed!");
    fs::create_directory(two / order[3]);

    const std::string before_one = tree_snapshot(one);
    const std::string before_two = tree_snapshot(two);
    const RunResult run = run_trelvik(dir, {one.string(), two.string()});

    EXPECT_EQ(tree_snapshot(one), before_one);
    EXPECT_EQ(tree_snapshot(two), before_two);
    EXPECT_NE(run.log.find(log_line(order[1], " - ACHTUNG!!! NICHT identisch!!!\n")),
              std::string::npos);
    EXPECT_NE(run.log.find(log_line(order[2], " - NICHT gefunden!\n")), std::string::npos);
    EXPECT_TRUE(run.log.ends_with(aborted_log(order[3])));
    EXPECT_TRUE(run.out.ends_with(read_failure_message(order[3])));
    EXPECT_EQ(run.status, 1);
}

}  // namespace
