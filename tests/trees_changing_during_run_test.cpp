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
// it once the program has opened it; sparse, so it costs no disk.
constexpr std::uintmax_t SLOW_FILE_SIZE = std::uintmax_t(1) << 28;
// Behind the test file system, a file of this size whose reads are each
// answered so late: more than the program fetches of a file ahead of its
// turn, so that its comparison waits for the drive.
constexpr std::uintmax_t SLOW_READ_SIZE = 5 << 20;
constexpr const char* SLOW_READ_MS = "150";
// How long after the progress line of a slow file its follower is changed:
// well into the comparison, once the questions that the program asks at its
// start have been answered (and the files after it prepared ahead). On a
// local drive half of SLOW_FILE_SIZE takes 80 ms and more to compare.
constexpr auto INTO_THE_COMPARISON = std::chrono::milliseconds(50);
constexpr auto INTO_A_LOCAL_COMPARISON = std::chrono::milliseconds(10);
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

// Where a test's trees lie: on a drive of this machine, where they are read
// by system calls; or behind FUSE, answering every lookup afresh and
// numbering files by path as sshfs does, where they are read through
// io_uring or, where it is refused, by system calls.
struct Drive {
    bool served;
    bool without_io_uring;
};
constexpr Drive DRIVES[] = {{false, false}, {true, false}, {true, true}};

// The directory that holds `dir`'s "trees" as `drive` serves them, mounted
// into `mount` where served.
fs::path trees_on(const Drive& drive, const TestDirectory& dir, std::optional<FaultFsMount>& mount,
                  const std::vector<std::string>& more_options = {}) {
    if (!drive.served) {
        return dir / "trees";
    }
    std::vector<std::string> options = {"--cache-ms=0", "--ino-by-path"};
    options.insert(options.end(), more_options.begin(), more_options.end());
    mount.emplace(dir / "trees", dir / "mnt", options);
    return dir / "mnt";
}

// Replaces `file` by one that holds other bytes of the same count.
void replace_with_other_bytes(const TestDirectory& dir, const fs::path& file) {
    write_file(dir / "new", "DATA");
    fs::rename(dir / "new", file);
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

// How a file is changed while the run is under way.
enum class Change { appended, rewritten_in_place, truncated, replaced_by_rename };
// The first is the one that only a check at the file's turn can see: the
// descriptor opened ahead still shows the bytes of the file replaced.
constexpr Change CHANGES[] = {Change::replaced_by_rename, Change::appended,
                              Change::rewritten_in_place, Change::truncated};

// Changes `file`, which holds "data", as `change` says; the file then holds
// other bytes than before.
void apply(Change change, const TestDirectory& dir, const fs::path& file) {
    switch (change) {
        case Change::appended:
            std::ofstream(file, std::ios::binary | std::ios::app) << "more";
            return;
        case Change::rewritten_in_place:
            std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "DATA";
            return;
        case Change::truncated:
            fs::resize_file(file, 0);
            return;
        case Change::replaced_by_rename:
            replace_with_other_bytes(dir, file);
            return;
    }
}

class TreeChangedWhileTheRunIsUnderWay : public testing::TestWithParam<Drive> {};

// Each change, to a file or to its copy, falls while the file before it is
// compared slowly, and while the run pauses after that file, which is then
// found different; on a served drive a copy is also replaced right after it
// was opened ahead. Every changed file is compared as it stands at its turn.
TEST_P(TreeChangedWhileTheRunIsUnderWay, EveryChangedFileIsComparedAsItStandsAtItsTurn) {
    const Drive drive = GetParam();
    if (drive.served && !fault_fs_unavailable().empty()) {
        GTEST_SKIP() << fault_fs_unavailable();
    }
    TestDirectory dir;
    const fs::path one = dir / "trees" / "one";
    const fs::path two = dir / "trees" / "two";
    // A chain of three files for each change and side, in a directory of its
    // own: a file slow to compare, and two files changed in turn.
    struct Chain {
        Change change{};
        fs::path changed_tree;
        std::vector<std::string> order;
    };
    std::vector<Chain> chains(2 * std::size(CHANGES));
    for (std::size_t k = 0; k < chains.size(); ++k) {
        const std::string name = std::string(1, 'c') += std::to_string(k);
        for (const char* file : {"a", "b", "c"}) {
            write_file(one / name / file, "data");
            write_file(two / name / file, "data");
        }
        chains[k].order = listing_order(one / name);
        for (std::string& file : chains[k].order) {
            file = name + "/" + file;
        }
    }
    std::vector<std::string> fault_fs_options;
    for (const Chain& chain : chains) {
        const std::string& slow = chain.order[0];
        make_sparse_file(one / slow, drive.served ? SLOW_READ_SIZE : SLOW_FILE_SIZE / 2);
        make_sparse_file(two / slow, drive.served ? SLOW_READ_SIZE : SLOW_FILE_SIZE / 2);
        if (drive.served) {
            fault_fs_options.push_back("--slow-read=one/" + slow + ":" + SLOW_READ_MS);
        }
    }
    // On a served drive, the copy of one more file is replaced right after its
    // open, ahead of its turn, while the file before it is compared.
    if (drive.served) {
        write_file(one / "opened" / "before", "data");
        write_file(two / "opened" / "before", "data");
        write_file(one / "opened" / "replaced", "data");
        write_file(two / "opened" / "replaced", "data");
        write_file(two / "opened" / "replaced.new", "DATA");
        fault_fs_options.push_back("--replace-on-open=two/opened/replaced");
    }
    const std::vector<std::string> order = listing_order(one);
    // Each change to each side, in the walk's order: the files of the first
    // chain are the only ones with no pause between their preparation ahead
    // and their turn, so only the check at the turn asks for their statuses
    // again.
    const auto position = [&](const Chain& chain) {
        return std::find(order.begin(), order.end(), chain.order[0]) - order.begin();
    };
    std::sort(chains.begin(), chains.end(),
              [&](const Chain& x, const Chain& y) { return position(x) < position(y); });
    for (std::size_t k = 0; k < chains.size(); ++k) {
        chains[k].change = CHANGES[k / 2];
        chains[k].changed_tree = k % 2 == 0 ? one : two;
    }
    std::optional<FaultFsMount> mount;
    const fs::path trees = trees_on(drive, dir, mount, fault_fs_options);

    // What the test waits to see before it changes which file, how.
    struct Trigger {
        std::string seen;
        Change change;
        fs::path file;
        bool fired = false;
    };
    std::vector<Trigger> triggers;
    for (const Chain& chain : chains) {
        triggers.push_back({progress_line(position(chain) + 1, chain.order[0]), chain.change,
                            chain.changed_tree / chain.order[1]});
        triggers.push_back({differing_line(console_column(chain.order[1])), chain.change,
                            chain.changed_tree / chain.order[2]});
    }
    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    options.without_io_uring = drive.without_io_uring;
    options.on_output = [&](const std::string& out) {
        for (Trigger& trigger : triggers) {
            if (!trigger.fired && out.find(trigger.seen) != std::string::npos) {
                if (trigger.seen.starts_with("\r")) {
                    std::this_thread::sleep_for(drive.served ? INTO_THE_COMPARISON
                                                             : INTO_A_LOCAL_COMPARISON);
                }
                apply(trigger.change, dir, trigger.file);
                trigger.fired = true;
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
    EXPECT_TRUE(std::all_of(triggers.begin(), triggers.end(),
                            [](const Trigger& trigger) { return trigger.fired; }));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected + closing_lines(differing, 0));
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(OnEachDrive, TreeChangedWhileTheRunIsUnderWay, testing::ValuesIn(DRIVES),
                         [](const testing::TestParamInfo<Drive>& info) {
                             return !info.param.served            ? "Local"
                                    : info.param.without_io_uring ? "ServedWithoutIoUring"
                                                                  : "Served";
                         });

TEST(FileUnderAWriteLease, IsComparedOnceItsHolderLetsGoAndAFileReplacedMeanwhileAsItStandsNow) {
    for (const Drive& drive : DRIVES) {
        SCOPED_TRACE(testing::Message() << "served " << drive.served << ", without io_uring "
                                        << drive.without_io_uring);
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
        // does for a client that has it open; meanwhile the program opens the
        // files after it, and the third one's copy is replaced.
        LeaseHolder holder(trees / "one" / order[0]);
        ASSERT_TRUE(holder.holds()) << "no write lease on " << trees / "one" / order[0];
        bool replaced = false;
        RunOptions options;
        options.without_io_uring = drive.without_io_uring;
        options.on_output = [&](const std::string& out) {
            if (!replaced && out.find(progress_line(1, order[0])) != std::string::npos) {
                replaced = wait_until_program_opens(trees / "two" / order[2]);
                replace_with_other_bytes(dir, dir / "trees" / "two" / order[2]);
                holder.let_go();
            }
        };
        const RunResult run = run_trelvik(dir, {trees / "one", trees / "two"}, options);

        EXPECT_TRUE(replaced) << "the program never opened the third file's copy";
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
                changed = wait_until_program_opens(two / "big");
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
