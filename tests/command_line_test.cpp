// End-to-end tests of the command line: options, usage and directory errors,
// the console widths a run starts with, and the announcement of the files.
#include <gtest/gtest.h>
#include <unistd.h>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

using Arguments = std::vector<std::string>;

const std::string VERSION_BANNER = "trelvik 3.0, written by Halvorsk\n\n";
const std::string INVALID_NUMBER = "trelvik ERROR: -c benötigt eine gültige Zahl (5-300)\n\n";
const std::string OUT_OF_RANGE = "trelvik ERROR: Wertebereich für -c ist 5-300\n\n";
const std::string NUMBER_MISSING = "trelvik ERROR: -c benötigt eine Zahl (5-300)\n\n";
const std::string USAGE = "Usage: trelvik [-v] [-c 5-300] dir1 dir2\n\n";

// A name longer than every column the program uses, 120 characters.
const std::string LONG_NAME =
    "ein-recht-langes-verzeichnis-fuer-alle-spalten/"
    "und-eine-datei-deren-name-laenger-ist-als-jede-spalte-auf-der-konsole.txt";

// The last `count` characters of the ASCII text `s`.
std::string last(const std::string& s, std::size_t count) {
    return s.substr(s.size() - count);
}

// Expects a run that ended before the comparison pass with `message` on
// standard error and status 1, leaving no log behind.
void expect_refused(const RunResult& run, const std::string& message) {
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(run.log_exists);
}

// Two trees below `dir`, "eins" and "zwei", the first holding the file `rel`
// and the second holding it too when `copied`.
struct Trees {
    std::string one;
    std::string two;
};

Trees make_trees(const TestDirectory& dir, const std::string& rel, bool copied) {
    write_file(dir / "eins" / rel, "inhalt\n");
    fs::create_directories(dir / "zwei");
    if (copied) {
        write_file(dir / "zwei" / rel, "inhalt\n");
    }
    return {(dir / "eins").string(), (dir / "zwei").string()};
}

TEST(VersionRequest, PrintsBannerAndEmptyLineOrSaysItCouldNot) {
    TestDirectory dir;
    for (const Arguments& args : {Arguments{"-v"}, Arguments{"a", "b", "--version"}}) {
        const RunResult run = run_trelvik(dir, args);
        EXPECT_EQ(run.out, VERSION_BANNER);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_FALSE(run.log_exists);
    }
    RunOptions full;
    full.output = Output::dev_full;
    const RunResult run = run_trelvik(dir, {"-v"}, full);
    EXPECT_EQ(run.err,
              "trelvik Fehler - Die Ausgabe konnte nicht vollständig geschrieben werden.\n\n");
    EXPECT_EQ(run.status, 1);
}

TEST(VersionRequest, UnknownOptionBeforeItEndsTheRunWithoutBanner) {
    TestDirectory dir;
    expect_refused(run_trelvik(dir, {"-x", "-v"}), "trelvik ERROR: Unbekannte Option -x\n\n");
}

TEST(WidthOption, ValueThatIsNoWholeNumberIsRejected) {
    TestDirectory dir;
    for (const std::string value : {"+7", "7x", "", " 7", "2147483648", "-2147483649", "-v"}) {
        SCOPED_TRACE("-c '" + value + "'");
        expect_refused(run_trelvik(dir, {"-c", value, "a", "b"}), INVALID_NUMBER);
    }
}

TEST(WidthOption, NumberOutsideFiveToThreeHundredIsRejected) {
    TestDirectory dir;
    for (const std::string value : {"-5", "4", "301", "-2147483648", "2147483647"}) {
        SCOPED_TRACE("-c " + value);
        expect_refused(run_trelvik(dir, {"-c", value, "a", "b"}), OUT_OF_RANGE);
    }
}

TEST(WidthOption, MissingValueAsksForANumber) {
    TestDirectory dir;
    for (const Arguments& args : {Arguments{"-c"}, Arguments{"a", "b", "-c"}}) {
        expect_refused(run_trelvik(dir, args), NUMBER_MISSING);
    }
}

TEST(WidthOption, FiveAndThreeHundredAreAccepted) {
    TestDirectory dir;
    fs::create_directories(dir / "eins");
    fs::create_directories(dir / "zwei");
    for (const std::string value : {"5", "300"}) {
        SCOPED_TRACE("-c " + value);
        const RunResult run =
            run_trelvik(dir, {"-c", value, (dir / "eins").string(), (dir / "zwei").string()});
        EXPECT_EQ(run.out, announcement(0) + closing_lines(0, 0));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

TEST(WidthOption, LastValueCountsAndLeadingZerosAreAllowed) {
    TestDirectory dir;
    const Trees trees = make_trees(dir, "abc", false);
    const RunResult run = run_trelvik(dir, {trees.one, "-c", "10", trees.two, "-c", "007"});
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "abc") + cleared_line(100) +
                           missing_line("    abc") + closing_lines(0, 1));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, right_aligned("abc", 80) + " - NICHT gefunden!\n");
}

TEST(UnknownOption, EndsTheRunNamingTheOptionAsTyped) {
    TestDirectory dir;
    for (const std::string option : {"-", "--", "--help", "-c5", "-V"}) {
        SCOPED_TRACE(option);
        expect_refused(run_trelvik(dir, {"a", option, "b"}),
                       "trelvik ERROR: Unbekannte Option " + option + "\n\n");
    }
}

TEST(DirectoryArguments, OtherThanTwoGiveTheUsageLine) {
    TestDirectory dir;
    for (const Arguments& args :
         {Arguments{}, Arguments{"a"}, Arguments{"a", "b", "c"}, Arguments{"-c", "10", "a"},
          Arguments{"-c", "10", "a", "b", "c"}}) {
        expect_refused(run_trelvik(dir, args), USAGE);
    }
}

TEST(DirectoryArguments, MissingFirstDirectoryIsNamedAlone) {
    TestDirectory dir;
    write_file(dir / "datei", "x");
    fs::create_symlink(dir / "nirgends", dir / "haengend");
    fs::create_symlink(dir / "kreis", dir / "kreis");
    fs::create_directories(dir / "zwei");
    for (const std::string missing : {"eins", "datei/unter", "haengend", "kreis"}) {
        const std::string one = (dir / missing).string();
        SCOPED_TRACE(one);
        const std::string message = "trelvik Fehler - Verzeichnis " + one + " nicht gefunden.\n\n";
        expect_refused(run_trelvik(dir, {one, (dir / "zwei").string()}), message);
        expect_refused(run_trelvik(dir, {one, (dir / "auch-nicht").string()}), message);
    }
}

TEST(DirectoryArguments, MissingSecondDirectoryIsNamed) {
    TestDirectory dir;
    fs::create_directories(dir / "eins");
    const std::string two = (dir / "zwei").string();
    expect_refused(run_trelvik(dir, {(dir / "eins").string(), two}),
                   "trelvik Fehler - Verzeichnis " + two + " nicht gefunden.\n\n");
}

TEST(DirectoryArguments, DirectoryBehindAClosedDirectoryIsNotAccessible) {
    TestDirectory dir;
    fs::create_directories(dir / "gesperrt" / "eins");
    fs::permissions(dir / "gesperrt", fs::perms(0700));
    fs::create_directories(dir / "offen");
    const std::string locked = (dir / "gesperrt" / "eins").string();
    const std::string open = (dir / "offen").string();
    const std::string message =
        "trelvik Fehler - Verzeichnis " + locked + " nicht zugänglich (Permission denied).\n\n";
    RunOptions as_nobody;
    as_nobody.user = NOBODY;
    expect_refused(run_trelvik(dir, {locked, open}, as_nobody), message);
    expect_refused(run_trelvik(dir, {open, locked}, as_nobody), message);
}

TEST(DirectoryArguments, RegularFileAsFirstDirectoryFailsTheScan) {
    TestDirectory dir;
    write_file(dir / "datei", "x");
    fs::create_directories(dir / "zwei");
    const std::string file = (dir / "datei").string();
    expect_refused(
        run_trelvik(dir, {file, (dir / "zwei").string()}),
        "FEHLER beim Durchsuchen des Verzeichnisses: '" + file + "' (Not a directory)\n\n");
}

TEST(DirectoryArguments, RegularFileAsSecondDirectoryMakesEveryFileMissing) {
    TestDirectory dir;
    write_file(dir / "eins" / "brief.txt", "x");
    write_file(dir / "datei", "x");
    const RunResult run = run_trelvik(dir, {(dir / "eins").string(), (dir / "datei").string()});
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "brief.txt") + cleared_line(100) +
                           missing_line(right_aligned("brief.txt", 47)) + closing_lines(0, 1));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, right_aligned("brief.txt", 80) + " - NICHT gefunden!\n");
}

TEST(EarlyEnd, LeavesTheLogOfAnEarlierRunAsItWas) {
    TestDirectory dir;
    write_file(dir / "datei", "x");
    fs::create_directories(dir / "zwei");
    const std::string earlier = "Protokoll eines früheren Laufs - OK\n";
    write_file(dir.log_path(), earlier);
    const std::string two = (dir / "zwei").string();
    for (const Arguments& args :
         {Arguments{"-v"}, Arguments{"-x"}, Arguments{"-c", "4", "a", "b"}, Arguments{"a"},
          Arguments{(dir / "fehlt").string(), two}, Arguments{(dir / "datei").string(), two}}) {
        SCOPED_TRACE(args.front());
        const RunResult run = run_trelvik(dir, args);
        EXPECT_NE(run.out + run.err, "");
        EXPECT_EQ(run.log, earlier);
    }
}

// Runs over a missing file with a long name, which shows all three widths:
// of the name in the progress line, of the line that blanks it and of the
// name in the result line. The log always takes 80.
void expect_widths(const RunOptions& options, std::size_t progress_name_width,
                   std::size_t clear_width, std::size_t result_name_width) {
    TestDirectory dir;
    const Trees trees = make_trees(dir, LONG_NAME, false);
    const RunResult run = run_trelvik(dir, {trees.one, trees.two}, options);
    EXPECT_EQ(run.out, announcement(1) +
                           progress_line(1, "..." + last(LONG_NAME, progress_name_width - 3)) +
                           cleared_line(clear_width) +
                           missing_line("..." + last(LONG_NAME, result_name_width - 3)) +
                           closing_lines(0, 1));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, "..." + last(LONG_NAME, 77) + " - NICHT gefunden!\n");
}

RunOptions terminal_of(unsigned short columns) {
    RunOptions terminal;
    terminal.output = Output::terminal;
    terminal.columns = columns;
    return terminal;
}

TEST(ConsoleWidths, OnAPipeTheyAre61And100And47) {
    expect_widths(RunOptions{}, 61, 100, 47);
}

TEST(ConsoleWidths, OnATerminal45ColumnsWideTheyAre10And49And19) {
    expect_widths(terminal_of(45), 10, 49, 19);
}

TEST(ConsoleWidths, OnATerminal120ColumnsWideTheyAre81And120And57) {
    expect_widths(terminal_of(120), 81, 120, 57);
}

// Identical files cost no pause, so the progress line alone shows the width
// of its name column and the line that blanks it.
TEST(ConsoleWidths, ProgressLineFollowsTheTerminalFrom40Columns) {
    TestDirectory dir;
    const Trees trees = make_trees(dir, LONG_NAME, true);
    struct Case {
        unsigned short columns;
        std::size_t progress_name_width;
        std::size_t clear_width;
    };
    for (const Case& c : {Case{20, 61, 100}, Case{39, 61, 100}, Case{40, 10, 49}, Case{49, 10, 49},
                          Case{50, 11, 50}, Case{150, 111, 150}}) {
        SCOPED_TRACE(c.columns);
        const RunResult run = run_trelvik(dir, {trees.one, trees.two}, terminal_of(c.columns));
        EXPECT_EQ(run.out,
                  announcement(1) +
                      progress_line(1, "..." + last(LONG_NAME, c.progress_name_width - 3)) +
                      cleared_line(c.clear_width) + closing_lines(0, 0));
        EXPECT_EQ(run.status, 0);
    }
}

}  // namespace
