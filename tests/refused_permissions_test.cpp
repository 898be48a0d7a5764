// End-to-end tests of files and directories that the user may not read,
// list or search, in either tree. The program runs as an unprivileged user,
// since root is refused nothing.
#include <gtest/gtest.h>

#include <optional>

#include "fault_fs_mount.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr auto NO_ACCESS = fs::perms::none;
// Others may list the directory's names but not reach anything in it.
constexpr auto LIST_ONLY = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;
// Others may reach what is in the directory but not list it.
constexpr auto SEARCH_ONLY = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec;

RunResult run_unprivileged(const TestDirectory& dir, const fs::path& one, const fs::path& two) {
    RunOptions options;
    options.user = NOBODY;
    return run_trelvik(dir, {one.string(), two.string()}, options);
}

// What a run over the one file `rel` shows when that file cannot be read.
void expect_read_failure(const RunResult& run, const std::string& rel) {
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, rel) + cleared_line(CLEAR_WIDTH) +
                           read_failure_message(rel));
    EXPECT_EQ(run.log, aborted_log(rel));
    EXPECT_EQ(run.status, 1);
}

// What a run shows when the scan ends on `message` before any file is
// checked.
void expect_scan_failure(const RunResult& run, const std::string& message) {
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
    EXPECT_FALSE(run.log_exists);
    EXPECT_EQ(run.status, 1);
}

TEST(UnreadableFile, InEitherTreeEndsTheRunWithReadFailure) {
    for (const char* unreadable_in : {"one", "two"}) {
        SCOPED_TRACE(unreadable_in);
        TestDirectory dir;
        write_file(dir / "one" / "secret", "same size");
        write_file(dir / "two" / "secret", "same size");
        fs::permissions(dir / unreadable_in / "secret", NO_ACCESS);

        expect_read_failure(run_unprivileged(dir, dir / "one", dir / "two"), "secret");
    }
}

TEST(UnreadableDirectory, InSourceTreeEndsTheScanNamingIt) {
    TestDirectory dir;
    write_file(dir / "one" / "locked" / "file", "data");
    write_file(dir / "two" / "locked" / "file", "data");
    fs::permissions(dir / "one" / "locked", NO_ACCESS);

    expect_scan_failure(run_unprivileged(dir, dir / "one", dir / "two"),
                        "FEHLER: Zugriff verweigert bei \"" + (dir / "one" / "locked").string() +
                            "\" (Permission denied)\n\n");
}

TEST(UnreadableDirectory, NamedWithControlCharactersIsMaskedOnTerminalOnly) {
    TestDirectory dir;
    const std::string name = "x\x1b[2J\ry";
    write_file(dir / "one" / name / "file", "data");
    fs::create_directories(dir / "two");
    fs::permissions(dir / "one" / name, NO_ACCESS);
    const std::string message = "FEHLER: Zugriff verweigert bei \"" + (dir / "one").string() + "/" +
                                "x?[2J?y" + "\" (Permission denied)\n\n";

    const std::vector<std::string> trees = {(dir / "one").string(), (dir / "two").string()};

    RunOptions options;
    options.user = NOBODY;
    options.output = Output::terminal;
    options.errors_on_terminal = true;
    const RunResult on_terminal = run_trelvik(dir, trees, options);
    EXPECT_EQ(on_terminal.out, message);
    EXPECT_EQ(on_terminal.status, 1);

    const std::string unmasked = "FEHLER: Zugriff verweigert bei \"" +
                                 (dir / "one" / name).string() + "\" (Permission denied)\n\n";
    expect_scan_failure(run_unprivileged(dir, dir / "one", dir / "two"), unmasked);

    // Only standard error decides, whatever standard output is.
    options.errors_on_terminal = false;
    options.errors_on_own_terminal = true;
    options.output = Output::file;
    expect_scan_failure(run_trelvik(dir, trees, options), message);
    options.errors_on_own_terminal = false;
    options.output = Output::terminal;
    expect_scan_failure(run_trelvik(dir, trees, options), unmasked);
}

TEST(UnreadableDirectory, AsDirectoryOneEndsTheScanNamingIt) {
    TestDirectory dir;
    write_file(dir / "one" / "file", "data");
    write_file(dir / "two" / "file", "data");
    fs::permissions(dir / "one", NO_ACCESS);

    expect_scan_failure(run_unprivileged(dir, dir / "one", dir / "two"),
                        "FEHLER beim Durchsuchen des Verzeichnisses: '" + (dir / "one").string() +
                            "' (Permission denied)\n\n");
}

TEST(UnreadableDirectory, InCopyThatCannotBeSearchedEndsTheRunWithReadFailure) {
    for (const fs::perms permissions : {NO_ACCESS, LIST_ONLY}) {
        SCOPED_TRACE(static_cast<int>(permissions));
        TestDirectory dir;
        write_file(dir / "one" / "locked" / "file", "data");
        write_file(dir / "two" / "locked" / "file", "data");
        fs::permissions(dir / "two" / "locked", permissions);

        expect_read_failure(run_unprivileged(dir, dir / "one", dir / "two"), "locked/file");
    }
}

TEST(UnreadableDirectory, InCopyThatCanBeSearchedButNotListedIsCheckedAsUsual) {
    TestDirectory dir;
    write_file(dir / "one" / "hidden" / "file", "data");
    write_file(dir / "two" / "hidden" / "file", "data");
    fs::permissions(dir / "two" / "hidden", SEARCH_ONLY);

    const RunResult run = run_unprivileged(dir, dir / "one", dir / "two");

    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "hidden/file") +
                           cleared_line(CLEAR_WIDTH) + closing_lines(0, 0));
    EXPECT_EQ(run.log, right_aligned("hidden/file", LOG_NAME_WIDTH) + " - OK\n");
    EXPECT_EQ(run.status, 0);
}

TEST(DirectoryListedButNotSearchable, InSourceTreeEndsTheScanNamingTheFileInIt) {
    // Behind FUSE the directory is read ahead of the walk, which checks it
    // at its first file all the same.
    TestDirectory dir;
    write_file(dir / "one" / "list-only" / "file", "data");
    write_file(dir / "two" / "list-only" / "file", "data");
    fs::permissions(dir / "one" / "list-only", LIST_ONLY);
    std::optional<FaultFsMount> mount;
    if (fault_fs_unavailable().empty()) {
        mount.emplace(dir / "one", dir / "mnt");
    }
    for (const fs::path& one : {dir / "one", dir / "mnt"}) {
        if (one == dir / "mnt" && !mount) {
            continue;
        }
        SCOPED_TRACE(one);
        expect_scan_failure(run_unprivileged(dir, one, dir / "two"),
                            "FEHLER: Zugriff verweigert bei \"" +
                                (one / "list-only" / "file").string() +
                                "\" (Permission denied)\n\n");
    }
}

TEST(DirectoryListedButNotSearchable, WalkedSecondOfTwoEndsTheScanNamingTheFileInIt) {
    TestDirectory dir;
    write_file(dir / "one" / "a" / "file", "data");
    write_file(dir / "one" / "b" / "file", "data");
    fs::create_directories(dir / "two");
    // The walk meets the two in the order in which the system lists them.
    const fs::path second = dir / "one" / listing_order(dir / "one").at(1);
    fs::permissions(second.parent_path(), LIST_ONLY);

    expect_scan_failure(
        run_unprivileged(dir, dir / "one", dir / "two"),
        "FEHLER: Zugriff verweigert bei \"" + second.string() + "\" (Permission denied)\n\n");
}

TEST(UnreadableExcludedDirectory, IsNeverOpenedAndCausesNoError) {
    TestDirectory dir;
    write_file(dir / "one" / "kept", "data");
    write_file(dir / "two" / "kept", "data");
    write_file(dir / "one" / "lost+found" / "file", "data");
    write_file(dir / "one" / "sub" / "RECYCLER" / "file", "data");
    fs::permissions(dir / "one" / "lost+found", NO_ACCESS);
    fs::permissions(dir / "one" / "sub" / "RECYCLER", NO_ACCESS);

    const RunResult run = run_unprivileged(dir, dir / "one", dir / "two");

    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "kept") + cleared_line(CLEAR_WIDTH) +
                           closing_lines(0, 0));
    EXPECT_EQ(run.log, right_aligned("kept", LOG_NAME_WIDTH) + " - OK\n");
    EXPECT_EQ(run.status, 0);
}

}  // namespace
