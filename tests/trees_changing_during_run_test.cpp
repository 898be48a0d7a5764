// End-to-end tests of trees that change while the run is under way, and of
// the promise that the program itself never writes into either tree.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "fault_fs_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Big enough that reading it takes far longer than the test needs to change
// another file once the program has opened it; sparse, so it costs no disk.
constexpr std::uintmax_t SLOW_FILE_SIZE = std::uintmax_t(1) << 28;
// Behind the test file system, a file of this size whose reads are each
// answered so late.
constexpr std::uintmax_t SLOW_READ_SIZE = 256 << 10;
constexpr const char* SLOW_READ_MS = "150";
// The block that the program compares at a time.
constexpr std::uintmax_t COMPARE_BLOCK = 64 << 10;
// How long after a file has been decided ahead the test changes it: long
// enough for a check of it made before the file before it is decided to have
// been made, well within the comparison of a slow file.
constexpr auto AFTER_DECISION = std::chrono::milliseconds(50);
// The mode of the files the tests make, set again to change a file's status
// and not its bytes.
constexpr mode_t FILE_MODE = 0644;
// Long enough for any of these runs on a busy machine, short enough that a
// run blocked on a named pipe fails the test quickly.
constexpr auto SHORT_TIMEOUT = std::chrono::seconds(20);

std::string console_column(const std::string& name) {
    return right_aligned(name, RESULT_NAME_WIDTH);
}

std::string log_line(const std::string& name, const std::string& outcome) {
    return right_aligned(name, LOG_NAME_WIDTH) + outcome;
}

// Where a test's trees lie: on a drive of this machine; or behind FUSE,
// numbering files by path as sshfs does, and answering every question
// afresh, or from what the kernel keeps of its answers for a second (as
// network file systems do), or with times in whole seconds and the change
// time the modification time, as sshfs gives them.
struct Drive {
    const char* name;
    bool served;
    const char* cache_ms;
    bool whole_seconds;
};
void PrintTo(const Drive& drive, std::ostream* out) {
    *out << drive.name;
}
constexpr Drive LOCAL = {"Local", false, "", false};
constexpr Drive SERVED = {"Served", true, "0", false};
constexpr Drive DRIVES[] = {LOCAL,
                            SERVED,
                            {"ServedCaching", true, "1000", false},
                            {"ServedInWholeSeconds", true, "0", true}};

// The directory that holds `dir`'s "trees" as `drive` serves them, mounted
// into `mount` where served.
fs::path trees_on(const Drive& drive, const TestDirectory& dir, std::optional<FaultFsMount>& mount,
                  const std::vector<std::string>& more_options = {}) {
    if (!drive.served) {
        return dir / "trees";
    }
    std::vector<std::string> options = {std::string("--cache-ms=") + drive.cache_ms,
                                        "--ino-by-path"};
    if (drive.whole_seconds) {
        options.emplace_back("--whole-seconds");
    }
    options.insert(options.end(), more_options.begin(), more_options.end());
    mount.emplace(dir / "trees", dir / "mnt", options);
    return dir / "mnt";
}

// A write lease on a file, held by a child process, as a file server holds
// one for a client that has the file open: an open by another process breaks
// it and waits until the holder lets go, which it does only when told.
class LeaseHolder {
  public:
    explicit LeaseHolder(const fs::path& file) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release_, O_CLOEXEC) != 0 ||
            (pid_ = ::fork()) < 0) {
            fail("lease holder");
        }
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release_[1]);
            sigset_t broken;
            sigemptyset(&broken);
            sigaddset(&broken, SIGIO);
            ::sigprocmask(SIG_BLOCK, &broken, nullptr);
            const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            char held = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
            // An open that breaks the lease shows as SIGIO, read from a
            // signalfd; the test lets go by writing to release_, before the
            // break or after it (the program's opens may run in any order),
            // and ends by closing it.
            struct pollfd waits[2] = {{::signalfd(-1, &broken, SFD_CLOEXEC), POLLIN, 0},
                                      {release_[0], POLLIN, 0}};
            bool was_broken = false;
            bool told = false;
            bool waiting = ::write(ready[1], &held, 1) == 1 && held;
            while (waiting && !(was_broken && told) && ::poll(waits, 2, -1) > 0) {
                if ((waits[0].revents & POLLIN) != 0) {
                    was_broken = true;
                    waits[0].fd = -1;
                }
                if (waits[1].revents != 0) {
                    told = ::read(release_[0], &held, 1) == 1;
                    waiting = told;
                }
            }
            // Exits with 0 when an open broke the lease, and the holder let
            // go when told.
            ::_exit(was_broken && told && ::fcntl(fd, F_SETLEASE, F_UNLCK) == 0 ? 0 : 1);
        }
        ::close(ready[1]);
        ::close(release_[0]);
        held_ = ::read(ready[0], &held_, 1) == 1 && held_;
        ::close(ready[0]);
    }
    ~LeaseHolder() { was_broken(); }
    LeaseHolder(const LeaseHolder&) = delete;
    LeaseHolder& operator=(const LeaseHolder&) = delete;

    bool holds() const { return held_; }
    void let_go() { (void)!::write(release_[1], "", 1); }
    // Waits for the holder; true when an open broke the lease and the holder
    // let go when told.
    bool was_broken() {
        if (pid_ > 0) {
            ::close(release_[1]);
            ::waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return status_ == 0;
    }

  private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    char held_ = 0;
    int status_ = -1;
};

void make_sparse_file(const fs::path& path, std::uintmax_t size) {
    write_file(path, "");
    fs::resize_file(path, size);
}

TEST(FileChangedAfterScan, RemovedOrReplacedByNamedPipeEndsTheRunAndCopyMadeSinceIsCompared) {
    // Each change falls in the pause after the first file, missing in the
    // copy, when the second file has been decided ahead.
    const struct {
        const char* change;
        void (*apply)(const fs::path& source, const fs::path& copy);
        bool ends_run;
    } changes[] = {
        {"source removed", [](const fs::path& source, const fs::path&) { fs::remove(source); },
         true},
        {"source replaced by a named pipe",
         [](const fs::path& source, const fs::path&) {
             fs::remove(source);
             if (::mkfifo(source.c_str(), 0644) != 0) {
                 throw std::runtime_error("mkfifo");
             }
         },
         true},
        {"copy made, missing before",
         [](const fs::path&, const fs::path& copy) { write_file(copy, "DATA"); }, false},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        TestDirectory dir;
        const fs::path one = dir / "one";
        const fs::path two = dir / "two";
        write_file(one / "first", "data");
        write_file(one / "second", "data");
        const std::vector<std::string> order = listing_order(one);
        const std::string& missing = order[0];
        const std::string& changed = order[1];
        fs::create_directories(two);
        if (change.ends_run) {
            write_file(two / changed, "data");
        }

        bool done = false;
        RunOptions options;
        options.timeout = SHORT_TIMEOUT;
        options.on_output = [&](const std::string& out) {
            if (!done && out.find("NICHT gefunden!") != std::string::npos) {
                change.apply(one / changed, two / changed);
                done = true;
            }
        };
        const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.err, "");
        const std::string start = announcement(2) + progress_line(1, missing) +
                                  cleared_line(CLEAR_WIDTH) +
                                  missing_line(console_column(missing)) +
                                  progress_line(2, changed) + cleared_line(CLEAR_WIDTH);
        if (change.ends_run) {
            EXPECT_EQ(run.out, start + read_failure_message(changed));
            EXPECT_EQ(run.log, log_line(missing, " - NICHT gefunden!\n") + aborted_log(changed));
        } else {
            EXPECT_EQ(run.out,
                      start + differing_line(console_column(changed)) + closing_lines(1, 1));
            EXPECT_EQ(run.log, log_line(missing, " - NICHT gefunden!\n") +
                                   log_line(changed, " - ACHTUNG!!! NICHT identisch!!!\n"));
        }
        EXPECT_EQ(run.status, change.ends_run ? 1 : 0);
    }
}

// How a file is changed while the run is under way.
enum class Change { appended, rewritten_in_place, truncated, replaced_by_rename };
constexpr Change CHANGES[] = {Change::replaced_by_rename, Change::appended,
                              Change::rewritten_in_place, Change::truncated};

// Changes `file`, which holds "data", as `change` says, keeping its
// modification time as cp -p and rsync -t do; the file then holds other
// bytes than before.
void apply(Change change, const TestDirectory& dir, const fs::path& file) {
    const fs::file_time_type modified = fs::last_write_time(file);
    switch (change) {
        case Change::appended:
            std::ofstream(file, std::ios::binary | std::ios::app) << "more";
            break;
        case Change::rewritten_in_place:
            std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "DATA";
            break;
        case Change::truncated:
            fs::resize_file(file, 0);
            break;
        case Change::replaced_by_rename:
            write_file(dir / "new", "DATA");
            fs::last_write_time(dir / "new", modified);
            fs::rename(dir / "new", file);
            break;
    }
    fs::last_write_time(file, modified);
}

class TreeChangedWhileTheRunIsUnderWay : public testing::TestWithParam<Drive> {};

// A chain for each change: a file slow to compare; one changed while it is
// compared, once a worker has decided it ahead of its turn where its
// statuses can show a change; and one changed in the pause after that file,
// which is then found different. The first is changed on one side and the
// second on the other, each side in turn. Where files are decided ahead, the
// second chain's slow file has its status changed (not its bytes) once it is
// decided, so that it is compared again at its turn, and the file after it
// changes then; and a copy is replaced right after its open. Every changed
// file is compared as it stands at its turn.
TEST_P(TreeChangedWhileTheRunIsUnderWay, EveryChangedFileIsComparedAsItStandsAtItsTurn) {
    const Drive drive = GetParam();
    if (drive.served && !fault_fs_unavailable().empty()) {
        GTEST_SKIP() << fault_fs_unavailable();
    }
    TestDirectory dir;
    const fs::path one = dir / "trees" / "one";
    const fs::path two = dir / "trees" / "two";
    struct Chain {
        Change change;
        std::vector<std::string> order;
        fs::path compared_side;
        fs::path paused_side;
        std::unique_ptr<CloseWatch> decided;
        std::unique_ptr<CloseWatch> slow_decided{};
        bool changed_while_compared = false;
        bool seen_compared = false;
        bool changed_in_pause = false;
    };
    std::vector<Chain> chains;
    std::vector<std::string> fault_fs_options;
    for (std::size_t k = 0; k < std::size(CHANGES); ++k) {
        const std::string name = std::string(1, 'c') += std::to_string(k);
        for (const char* file : {"a", "b", "c"}) {
            write_file(one / name / file, "data");
            write_file(two / name / file, "data");
        }
        std::vector<std::string> order = listing_order(one / name);
        for (std::string& file : order) {
            file = name + "/" + file;
        }
        const std::string& slow = order[0];
        make_sparse_file(one / slow, drive.served ? SLOW_READ_SIZE : SLOW_FILE_SIZE);
        make_sparse_file(two / slow, drive.served ? SLOW_READ_SIZE : SLOW_FILE_SIZE);
        if (drive.served) {
            fault_fs_options.push_back("--slow-read=one/" + slow + ":" + SLOW_READ_MS);
        }
        chains.push_back({CHANGES[k], order, k % 2 == 0 ? one : two, k % 2 == 0 ? two : one,
                          std::make_unique<CloseWatch>(two / order[1])});
    }
    const bool decided_ahead = !drive.whole_seconds;
    if (drive.served && decided_ahead) {
        write_file(one / "opened" / "before", "data");
        write_file(two / "opened" / "before", "data");
        write_file(one / "opened" / "replaced", "data");
        write_file(two / "opened" / "replaced", "data");
        write_file(two / "opened" / "replaced.new", "DATA");
        fault_fs_options.push_back("--replace-on-open=two/opened/replaced");
    }
    const std::vector<std::string> order = listing_order(one);
    const auto position = [&](const Chain& chain) {
        return std::find(order.begin(), order.end(), chain.order[0]) - order.begin();
    };
    std::sort(chains.begin(), chains.end(),
              [&](const Chain& x, const Chain& y) { return position(x) < position(y); });
    if (decided_ahead) {
        chains[1].slow_decided = std::make_unique<CloseWatch>(two / chains[1].order[0]);
    }
    std::optional<FaultFsMount> mount;
    const fs::path trees = trees_on(drive, dir, mount, fault_fs_options);

    bool slow_file_touched = false;
    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    options.on_output = [&](const std::string& out) {
        for (Chain& chain : chains) {
            // Files decided ahead are all under way from the start; others,
            // and a slow file compared again, at their turn.
            const fs::path slow = chain.order[0];
            const bool at_turn = !decided_ahead || chain.slow_decided;
            const std::string due =
                at_turn ? progress_line(position(chain) + 1, slow) : announcement(order.size());
            if (!chain.changed_while_compared && out.find(due) != std::string::npos) {
                chain.seen_compared = wait_until_program_opens(trees / "one" / slow) &&
                                      (at_turn || chain.decided->wait_until_closed());
                if (!at_turn) {
                    std::this_thread::sleep_for(AFTER_DECISION);
                }
                apply(chain.change, dir, chain.compared_side / chain.order[1]);
                chain.changed_while_compared = true;
            }
        }
        for (Chain& chain : chains) {
            if (chain.slow_decided && !slow_file_touched) {
                slow_file_touched = chain.slow_decided->wait_until_closed() &&
                                    ::chmod((one / chain.order[0]).c_str(), FILE_MODE) == 0;
            }
            if (!chain.changed_in_pause &&
                out.find(differing_line(console_column(chain.order[1]))) != std::string::npos) {
                apply(chain.change, dir, chain.paused_side / chain.order[2]);
                chain.changed_in_pause = true;
            }
        }
    };
    const RunResult run = run_trelvik(dir, {trees / "one", trees / "two"}, options);

    std::string expected = announcement(order.size());
    int differing = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        expected += progress_line(k + 1, order[k]) + cleared_line(CLEAR_WIDTH);
        const bool changed = std::any_of(chains.begin(), chains.end(), [&](const Chain& chain) {
            return order[k] == chain.order[1] || order[k] == chain.order[2];
        });
        if (changed || order[k] == "opened/replaced") {
            expected += differing_line(console_column(order[k]));
            ++differing;
        }
    }
    EXPECT_TRUE(std::all_of(chains.begin(), chains.end(), [](const Chain& chain) {
        return chain.seen_compared && chain.changed_in_pause;
    }));
    EXPECT_EQ(slow_file_touched, decided_ahead);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected + closing_lines(differing, 0));
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(OnEachDrive, TreeChangedWhileTheRunIsUnderWay, testing::ValuesIn(DRIVES),
                         [](const testing::TestParamInfo<Drive>& info) { return info.param.name; });

TEST(FileUnderAWriteLease, IsComparedOnceItsHolderLetsGoAndAFileReplacedMeanwhileAsItStandsNow) {
    for (const Drive& drive : {LOCAL, SERVED}) {
        SCOPED_TRACE(drive.name);
        if (drive.served && !fault_fs_unavailable().empty()) {
            GTEST_SKIP() << fault_fs_unavailable();
        }
        TestDirectory dir;
        for (const char* name : {"first", "second", "third"}) {
            write_file(dir / "trees" / "one" / name, "data");
            write_file(dir / "trees" / "two" / name, "data");
        }
        const std::vector<std::string> order = listing_order(dir / "trees" / "one");
        std::optional<FaultFsMount> mount;
        const fs::path trees = trees_on(drive, dir, mount);
        // A child holds a write lease on the first source, as a file server
        // does for a client that has it open; meanwhile the program decides
        // the files after it, and then the third one's copy is replaced.
        LeaseHolder holder(trees / "one" / order[0]);
        ASSERT_TRUE(holder.holds()) << "no write lease on " << trees / "one" / order[0];
        CloseWatch third_decided(dir / "trees" / "two" / order[2]);
        bool replaced = false;
        RunOptions options;
        options.on_output = [&](const std::string& out) {
            if (!replaced && out.find(progress_line(1, order[0])) != std::string::npos) {
                replaced = third_decided.wait_until_closed();
                apply(Change::replaced_by_rename, dir, dir / "trees" / "two" / order[2]);
                holder.let_go();
            }
        };
        const RunResult run = run_trelvik(dir, {trees / "one", trees / "two"}, options);

        EXPECT_TRUE(replaced) << "the program never decided the third file ahead";
        EXPECT_TRUE(holder.was_broken()) << "no open broke the lease";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(3) + progress_line(1, order[0]) +
                               cleared_line(CLEAR_WIDTH) + progress_line(2, order[1]) +
                               cleared_line(CLEAR_WIDTH) + progress_line(3, order[2]) +
                               cleared_line(CLEAR_WIDTH) +
                               differing_line(console_column(order[2])) + closing_lines(1, 0));
        EXPECT_EQ(run.status, 0);
    }
}

TEST(CopyChangedBetweenSizeQueryAndReads, TruncatedOrGrownIsReportedAsDifferent) {
    // A big copy changes while it is read; a small one grows within its first
    // block while its source is read, which a slow drive serves, after its
    // size was seen.
    const struct {
        const char* change;
        void (*apply)(const fs::path& copy);
        std::uintmax_t size;
    } changes[] = {
        {"truncated", [](const fs::path& copy) { fs::resize_file(copy, 0); }, SLOW_FILE_SIZE},
        {"grown",
         [](const fs::path& copy) {
             std::ofstream(copy, std::ios::binary | std::ios::app) << "more";
         },
         SLOW_FILE_SIZE},
        {"grown within its first block",
         [](const fs::path& copy) {
             std::ofstream(copy, std::ios::binary | std::ios::app) << "more";
         },
         4},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        const bool small = change.size < COMPARE_BLOCK;
        if (small && !fault_fs_unavailable().empty()) {
            GTEST_SKIP() << fault_fs_unavailable();
        }
        TestDirectory dir;
        const fs::path one = dir / "one";
        const fs::path two = dir / "two";
        make_sparse_file(one / "big", change.size);
        make_sparse_file(two / "big", change.size);
        // Its times in whole seconds, so that it is compared at its turn,
        // where only its reads can show that it has grown.
        std::optional<FaultFsMount> mount;
        if (small) {
            mount.emplace(one, dir / "mnt",
                          std::vector<std::string>{"--slow-read=big:" + std::string(SLOW_READ_MS),
                                                   "--whole-seconds"});
        }

        bool changed = false;
        RunOptions options;
        options.on_output = [&](const std::string& out) {
            if (!changed && out.find(progress_line(1, "big")) != std::string::npos) {
                changed = wait_until_program_opens(two / "big");
                change.apply(two / "big");
            }
        };
        const RunResult run =
            run_trelvik(dir, {(small ? dir / "mnt" : one).string(), two.string()}, options);

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
