// End-to-end tests of runs over faulty drives: a tree on trelvik_fault_fs
// whose reads fail, whose requests never return, or which vanishes in the
// middle of the run.
#include <gtest/gtest.h>
#include <signal.h>

#include "fault_fs_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Far bigger than the first block, which decides a file that differs there.
constexpr std::size_t FILE_SIZE = 2 << 20;
constexpr auto RUN_TIMEOUT = 5s;
// The size of the blocks that the program compares, and reads first.
constexpr std::size_t ONE_BLOCK = 64 << 10;
// A file far bigger than a block, the byte from which on its copy's reads
// never return, and more files than are ever decided at once. Reads held by
// a server that ignores interrupts fail only once the run's time is out.
constexpr std::size_t BIG_FILE_SIZE = 8 << 20;
constexpr std::size_t NEVER_READ_FROM = 1 << 20;
constexpr int SMALL_FILES = 70;
constexpr int DEAF_HOLD_MS = 10000;

std::string blanked_progress_line(std::size_t number, const std::string& name) {
    return progress_line(number, name) + cleared_line(CLEAR_WIDTH);
}

std::string log_line(const std::string& name, const std::string& text) {
    return right_aligned(name, LOG_NAME_WIDTH) + text + "\n";
}

// Whether `blocked` (bit n - 1 for signal n) holds every signal that a
// thread can block: all but SIGKILL and SIGSTOP, and those between the
// standard ones and SIGRTMIN, which the C library keeps for itself.
bool blocks_every_signal(std::uint64_t blocked) {
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        const bool blockable =
            signal != SIGKILL && signal != SIGSTOP && (signal <= SIGSYS || signal >= SIGRTMIN);
        if (blockable && (blocked & (std::uint64_t(1) << (signal - 1))) == 0) {
            return false;
        }
    }
    return true;
}

// A source tree "quelle" and its copy "kopie", either of which a test mounts
// through trelvik_fault_fs at "mnt".
class FaultyDrive : public testing::Test {
  protected:
    void SetUp() override {
        if (const std::string unavailable = fault_fs_unavailable(); !unavailable.empty()) {
            GTEST_SKIP() << unavailable;
        }
    }

    // Writes the files `names` of FILE_SIZE bytes into both trees, and returns
    // them in the order in which the program meets them.
    std::vector<std::string> add_files(const std::vector<std::string>& names) const {
        for (const std::string& name : names) {
            write_file(source / name, std::string(FILE_SIZE, name[0]));
            write_file(copy / name, std::string(FILE_SIZE, name[0]));
        }
        return listing_order(source);
    }

    static RunOptions options() {
        RunOptions options;
        options.timeout = RUN_TIMEOUT;
        return options;
    }

    TestDirectory dir;
    const fs::path source = dir / "quelle";
    const fs::path copy = dir / "kopie";
    const fs::path mount_point = dir / "mnt";
};

TEST_F(FaultyDrive, ReadErrorOfSourceOrCopyEndsTheRunNamingTheFileAfterTheLinesOfThoseBefore) {
    const std::vector<std::string> order = add_files({"a.bin", "b.bin"});
    // Within the first block the error is met by the read ahead, past it by
    // the comparison's own reads.
    for (const int offset : {0, 4096, 1 << 20}) {
        for (const bool faulty_copy : {true, false}) {
            SCOPED_TRACE(testing::Message() << "error at " << offset << " of the "
                                            << (faulty_copy ? "copy" : "source"));
            const FaultFsMount mount(faulty_copy ? copy : source, mount_point,
                                     {"--eio-read=" + order[1] + ":" + std::to_string(offset)});
            const fs::path& directory_1 = faulty_copy ? source : mount_point;
            const fs::path& directory_2 = faulty_copy ? mount_point : copy;
            const RunResult run = run_trelvik(dir, {directory_1, directory_2}, options());
            EXPECT_EQ(run.out, announcement(2) + blanked_progress_line(1, order[0]) +
                                   blanked_progress_line(2, order[1]) +
                                   read_failure_message(order[1]));
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.log, log_line(order[0], " - OK") + aborted_log(order[1]));
        }
    }
}

TEST_F(FaultyDrive, CopyDriveGoneAfterTheFirstProblemEndsTheRunOnTheNextFile) {
    const std::vector<std::string> order = add_files({"a.bin", "b.bin", "c.bin"});
    fs::remove(copy / order[0]);
    FaultFsMount mount(copy, mount_point);
    RunOptions run_options = options();
    // In the pause after the problem, when the files after it have been
    // decided ahead.
    run_options.on_output = [&](const std::string& out) {
        if (out.ends_with(missing_line(right_aligned(order[0], RESULT_NAME_WIDTH)))) {
            mount.kill();
        }
    };
    const RunResult run = run_trelvik(dir, {source, mount_point}, run_options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, announcement(3) + blanked_progress_line(1, order[0]) +
                           missing_line(right_aligned(order[0], RESULT_NAME_WIDTH)) +
                           blanked_progress_line(2, order[1]) + read_failure_message(order[1]));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.log, log_line(order[0], " - NICHT gefunden!") + aborted_log(order[1]));
}

TEST_F(FaultyDrive, CtrlCEndsWithinASecondARunWaitingForARequestThatNeverReturns) {
    const std::vector<std::string> order = add_files({"a.bin", "b.bin"});
    write_file(copy / order[0], std::string(FILE_SIZE, '!'));
    for (const char* hang : {"--hang-open=", "--hang-read="}) {
        SCOPED_TRACE(hang + order[1]);
        const fs::path held = dir / "held";
        fs::remove(held);
        const FaultFsMount mount(copy, mount_point,
                                 {hang + order[1], "--held-mark=" + held.string()});
        // The worker that decides the second file ahead holds up nothing
        // before its turn. Ctrl-C comes once the file system holds its
        // request.
        RunOptions run_options = options();
        run_options.interrupt_after = progress_line(2, order[1]);
        std::chrono::steady_clock::time_point waiting;
        std::vector<ProgramThread> threads;
        run_options.interrupt_once = [&] {
            waiting = std::chrono::steady_clock::now();
            threads = program_threads();
            return fs::exists(held);
        };
        const RunResult run = run_trelvik(dir, {source, mount_point}, run_options);
        // Once the program is reaped, so are its workers: they are threads of
        // it.
        EXPECT_LT(std::chrono::steady_clock::now() - waiting, 1s);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 128 + SIGINT);
        // The workers, and the threads that list the copy's directories
        // ahead, leave every signal to the program's own thread.
        EXPECT_GT(threads.size(), 1u);
        for (const ProgramThread& thread : threads) {
            EXPECT_TRUE(thread.main_thread || blocks_every_signal(thread.blocked_signals))
                << std::hex << thread.blocked_signals;
        }
        EXPECT_EQ(run.log, log_line(order[0], " - ACHTUNG!!! NICHT identisch!!!"));
    }
}

TEST_F(FaultyDrive, FileFoundDifferentHoldsNothingUpWhereTheRestOfItsCopyIsNeverRead) {
    // Big copies that differ in their first byte, on a drive whose reads of
    // them past their first MiB never return, not even when the kernel
    // interrupts them, among more small files than are decided at once: a
    // request that the run never needs would keep the program from ending.
    std::vector<std::string> options = {"--deaf-hold-ms=" + std::to_string(DEAF_HOLD_MS)};
    for (const char* big : {"big", "bigger"}) {
        write_file(source / big, std::string(BIG_FILE_SIZE, 'a'));
        write_file(copy / big, 'b' + std::string(BIG_FILE_SIZE - 1, 'a'));
        options.push_back(std::string("--hang-read=") + big + ":" +
                          std::to_string(NEVER_READ_FROM));
    }
    for (int k = 0; k < SMALL_FILES; ++k) {
        write_file(source / "small" / std::to_string(k), "x");
        write_file(copy / "small" / std::to_string(k), "x");
    }
    const std::vector<std::string> order = listing_order(source);
    std::string expected = announcement(order.size());
    std::string expected_log;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const bool big = order[k].starts_with("big");
        expected += blanked_progress_line(k + 1, order[k]);
        if (big) {
            expected += differing_line(right_aligned(order[k], RESULT_NAME_WIDTH));
        }
        expected_log += log_line(order[k], big ? " - ACHTUNG!!! NICHT identisch!!!" : " - OK");
    }
    const FaultFsMount mount(copy, mount_point, options);
    const RunResult run = run_trelvik(dir, {source, mount_point}, FaultyDrive::options());
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, expected + closing_lines(2, 0));
    EXPECT_EQ(run.log, expected_log);
    EXPECT_EQ(run.status, 0);
}

TEST_F(FaultyDrive, CopyServedFromElsewhereIsComparedWhateverItsSizeAndPlace) {
    // In the order of the walk: a small file whose copy differs in its last
    // byte, with no pause before it, so that nothing but the first bytes read
    // ahead tell; a file of exactly one block; and a copy of another size,
    // whose open would never return, as it must not be opened.
    const std::vector<std::string> order = add_files({"a", "b", "c"});
    write_file(source / order[0], "123456789");
    write_file(copy / order[0], "123456780");
    write_file(source / order[1], std::string(ONE_BLOCK, 'x'));
    write_file(copy / order[1], std::string(ONE_BLOCK, 'x'));
    write_file(copy / order[2], "longer");
    const FaultFsMount mount(copy, mount_point, {"--hang-open=" + order[2]});
    const RunResult run = run_trelvik(dir, {source, mount_point}, options());
    EXPECT_EQ(run.out, announcement(3) + progress_line(1, order[0]) + cleared_line(CLEAR_WIDTH) +
                           differing_line(right_aligned(order[0], RESULT_NAME_WIDTH)) +
                           blanked_progress_line(2, order[1]) + progress_line(3, order[2]) +
                           cleared_line(CLEAR_WIDTH) +
                           differing_line(right_aligned(order[2], RESULT_NAME_WIDTH)) +
                           closing_lines(2, 0));
    EXPECT_EQ(run.log, log_line(order[0], " - ACHTUNG!!! NICHT identisch!!!") +
                           log_line(order[1], " - OK") +
                           log_line(order[2], " - ACHTUNG!!! NICHT identisch!!!"));
    EXPECT_EQ(run.status, 0);
}

TEST_F(FaultyDrive, ProcessLimitThatLeavesNoRoomForWorkersChangesNoOutcome) {
    // At the limit, as in a container at its limit on process ids, no worker
    // can be started, and the pass decides every file at its turn.
    const std::vector<std::string> order = add_files({"a", "b", "c", "d", "e"});
    for (const bool one_differs : {false, true}) {
        SCOPED_TRACE(one_differs ? "one file differs" : "all identical");
        if (one_differs) {
            write_file(copy / order[2], std::string(FILE_SIZE, '!'));
        }
        const FaultFsMount mount(copy, mount_point);
        RunOptions run_options = options();
        run_options.processes_limit = 1;
        const RunResult run = run_trelvik(dir, {source, mount_point}, run_options);
        std::string log;
        for (const std::string& name : order) {
            log +=
                log_line(name, one_differs && name == order[2] ? " - ACHTUNG!!! NICHT identisch!!!"
                                                               : " - OK");
        }
        EXPECT_EQ(run.log, log);
        EXPECT_TRUE(run.out.ends_with(closing_lines(one_differs, 0))) << run.out;
        EXPECT_EQ(run.status, 0);
    }
}

}  // namespace
