// End-to-end tests with named pipes, sockets, devices and broken links in
// either tree: nothing that could block is ever opened, and each kind of file
// has one fixed outcome.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Long enough for a run over a handful of files, short enough that a run
// blocked on a named pipe fails the test quickly.
constexpr auto SHORT_TIMEOUT = std::chrono::seconds(20);
constexpr auto NEVER_BLOCKED = std::chrono::seconds(5);

void make_fifo(const fs::path& path) {
    if (::mkfifo(path.c_str(), 0644) != 0) {
        throw std::runtime_error("mkfifo " + path.string());
    }
}

// A kind of file that is neither a regular file nor a directory.
struct SpecialFile {
    const char* kind;
    // Makes one at `path`.
    void (*make)(const fs::path& path);
    // As a file's copy in directory 2, it counts as missing rather than
    // unreadable.
    bool missing_as_copy;
};

const SpecialFile SPECIAL_FILES[] = {
    {"named pipe", make_fifo, false},
    {"socket", make_socket, false},
    {"character device through a link",
     [](const fs::path& path) { fs::create_symlink("/dev/null", path); }, false},
    {"link that leads nowhere", [](const fs::path& path) { fs::create_symlink("nowhere", path); },
     true},
    {"loop of links",
     [](const fs::path& path) {
         fs::create_symlink(path.filename().string() + "-loop", path);
         fs::create_symlink(path.filename(), path.string() + "-loop");
     },
     true},
};

TEST(SpecialFilesInSourceTree, ArePassedOverAndOnlyTheRegularFileIsChecked) {
    TestDirectory dir;
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    write_file(one / "plain", "same");
    write_file(two / "plain", "same");
    int number = 0;
    for (const SpecialFile& special : SPECIAL_FILES) {
        const std::string name = "special-" + std::to_string(++number);
        special.make(one / name);
        // A regular copy would be reported if the special file were listed.
        write_file(two / name, "copy");
    }
    make_fifo(one / "pipe-behind-link");
    fs::create_symlink("pipe-behind-link", one / "link-to-pipe");

    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

    EXPECT_FALSE(run.timed_out);
    EXPECT_LT(run.elapsed, NEVER_BLOCKED);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, identical_file_output("plain"));
    EXPECT_EQ(run.log, right_aligned("plain", LOG_NAME_WIDTH) + " - OK\n");
    EXPECT_EQ(run.status, 0);
}

TEST(SpecialFilesInSourceTree, NamedPipeGivenAsDirectoryOneEndsTheScanAtOnce) {
    TestDirectory dir;
    make_fifo(dir / "pipe");
    fs::create_directory(dir / "two");

    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    const RunResult run =
        run_trelvik(dir, {(dir / "pipe").string(), (dir / "two").string()}, options);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "FEHLER beim Durchsuchen des Verzeichnisses: '" + (dir / "pipe").string() +
                           "' (Not a directory)\n\n");
    EXPECT_FALSE(run.log_exists);
    EXPECT_EQ(run.status, 1);
}

TEST(SpecialFilesInCopy, PipeSocketOrDeviceEndsTheRunWithReadFailureUnopened) {
    for (const SpecialFile& special : SPECIAL_FILES) {
        if (special.missing_as_copy) {
            continue;
        }
        SCOPED_TRACE(special.kind);
        TestDirectory dir;
        write_file(dir / "one" / "data", "data");
        fs::create_directories(dir / "two");
        special.make(dir / "two" / "data");

        RunOptions options;
        options.timeout = SHORT_TIMEOUT;
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        EXPECT_FALSE(run.timed_out);
        EXPECT_LT(run.elapsed, NEVER_BLOCKED);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(1) + progress_line(1, "data") + cleared_line(CLEAR_WIDTH) +
                               read_failure_message("data"));
        EXPECT_EQ(run.log, aborted_log("data"));
        EXPECT_EQ(run.status, 1);
    }
}

TEST(SpecialFilesInCopy, DanglingLinkAndLoopOfLinksCountAsMissing) {
    TestDirectory dir;
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    fs::create_directories(two);
    int missing_count = 0;
    for (const SpecialFile& special : SPECIAL_FILES) {
        if (special.missing_as_copy) {
            const std::string name = "broken-" + std::to_string(++missing_count);
            write_file(one / name, "data");
            special.make(two / name);
        }
    }

    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    const RunResult run = run_trelvik(dir, {one.string(), two.string()}, options);

    std::string out = announcement(missing_count);
    std::string log;
    std::size_t number = 0;
    for (const std::string& name : listing_order(one)) {
        out += progress_line(++number, name) + cleared_line(CLEAR_WIDTH) +
               missing_line(right_aligned(name, RESULT_NAME_WIDTH));
        log += right_aligned(name, LOG_NAME_WIDTH) + " - NICHT gefunden!\n";
    }
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out + closing_lines(0, missing_count));
    EXPECT_EQ(run.log, log);
    EXPECT_EQ(run.status, 0);
}

TEST(SpecialFilesInCopy, NamedPipeGivenAsDirectoryTwoMakesEveryFileMissing) {
    TestDirectory dir;
    write_file(dir / "one" / "data", "data");
    make_fifo(dir / "pipe");

    RunOptions options;
    options.timeout = SHORT_TIMEOUT;
    const RunResult run =
        run_trelvik(dir, {(dir / "one").string(), (dir / "pipe").string()}, options);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "data") + cleared_line(CLEAR_WIDTH) +
                           missing_line(right_aligned("data", RESULT_NAME_WIDTH)) +
                           closing_lines(0, 1));
    EXPECT_EQ(run.log, right_aligned("data", LOG_NAME_WIDTH) + " - NICHT gefunden!\n");
    EXPECT_EQ(run.status, 0);
}

}  // namespace
