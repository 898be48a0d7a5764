// End-to-end tests of the comparison pass: the progress line, the result
// lines, the summary, the read failures and the log file of whole runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "run_program.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The two trees of a run: "quelle" is walked, "kopie" is checked against it.
struct Trees {
    explicit Trees(const TestDirectory& dir, const std::string& below = "")
        : source(dir.path() / below / "quelle"), copy(dir.path() / below / "kopie") {
        fs::create_directories(source);
        fs::create_directories(copy);
    }
    Trees(const Trees&) = delete;
    Trees& operator=(const Trees&) = delete;

    // Writes `rel` into the source tree and, when `copied`, the same bytes
    // into the copy.
    void add(const std::string& rel, const std::string& contents, bool copied = true) const {
        write_file(source / rel, contents);
        if (copied) {
            write_file(copy / rel, contents);
        }
    }
    std::vector<std::string> arguments() const { return {source.string(), copy.string()}; }

    const fs::path source;
    const fs::path copy;
};

std::string ok_log_line(const std::string& name_column) {
    return name_column + " - OK\n";
}
std::string missing_log_line(const std::string& name_column) {
    return name_column + " - NICHT gefunden!\n";
}
std::string differing_log_line(const std::string& name_column) {
    return name_column + " - ACHTUNG!!! NICHT identisch!!!\n";
}

// The last line of the log of a run that ends on the file `rel`, after an
// empty line.
std::string abort_log_line(const std::string& rel) {
    std::string line = "\n";
    return line + read_failure_message(rel);
}

// The progress line of a file, blanked again: all that an identical file
// leaves on the console, and what comes before a read failure's message.
std::string blanked_progress_line(std::size_t number, const std::string& name) {
    return progress_line(number, name) + cleared_line(CLEAR_WIDTH);
}

enum class Outcome { identical, differing, missing };

// What the console and the log show of the files `names`, handled in this
// order, each with the outcome that `outcome_of` gives it; the console
// without the announcement and the summary.
struct Report {
    std::string console;
    std::string log;
};

Report expected_report(const std::vector<std::string>& names,
                       const std::function<Outcome(const std::string&)>& outcome_of) {
    Report report;
    std::size_t number = 0;
    for (const std::string& name : names) {
        report.console += blanked_progress_line(++number, name);
        switch (outcome_of(name)) {
            case Outcome::identical:
                report.log += ok_log_line(right_aligned(name, LOG_NAME_WIDTH));
                break;
            case Outcome::differing:
                report.console += differing_line(right_aligned(name, RESULT_NAME_WIDTH));
                report.log += differing_log_line(right_aligned(name, LOG_NAME_WIDTH));
                break;
            case Outcome::missing:
                report.console += missing_line(right_aligned(name, RESULT_NAME_WIDTH));
                report.log += missing_log_line(right_aligned(name, LOG_NAME_WIDTH));
                break;
        }
    }
    return report;
}

// Expects the complete output of a run over one identical file a.txt; with
// `log_unwritten_because`, one that could not write its log for that reason.
void expect_one_identical_file(const RunResult& run, const char* log_unwritten_because = nullptr) {
    EXPECT_EQ(run.out, announcement(1) + blanked_progress_line(1, "a.txt") + closing_lines(0, 0));
    const bool log_written = log_unwritten_because == nullptr;
    EXPECT_EQ(run.err, log_written ? "" : log_unwritten_message(log_unwritten_because));
    EXPECT_EQ(run.status, log_written ? 0 : 1);
    EXPECT_FALSE(run.timed_out);
}

RunOptions with_timeout(std::chrono::milliseconds timeout) {
    RunOptions options;
    options.timeout = timeout;
    return options;
}

TEST(ComparisonPass, EmptyTreeEndsWithAllIdenticalAndAnEmptyLog) {
    TestDirectory dir;
    const Trees trees(dir);
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out,
              "\n0 Dateien im Verzeichnis gefunden.\nÜberprüfung läuft...\n"
              "\nAlle Dateien sind identisch!!!\n"
              "\n-------------------- Überprüfung beendet. --------------------\n\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.log_exists);
    EXPECT_EQ(run.log, "");
}

TEST(ComparisonPass, IdenticalFilesLeaveOnlyBlankedProgressLinesAndOkInTheLog) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("alpha.txt", "erste Datei\n");
    trees.add("beta.txt", "");
    trees.add("gamma.bin", std::string(200000, '\x5a'));
    // The files are handled in the order the directory is read in.
    const Report expected = expected_report(listing_order(trees.source),
                                            [](const std::string&) { return Outcome::identical; });
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out, announcement(3) + expected.console + closing_lines(0, 0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, expected.log);
}

TEST(ComparisonPass, DifferingAndMissingFilesGetColouredBarBellAndPause) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("anders.txt", "Version 1\n", false);
    write_file(trees.copy / "anders.txt", "Version 2\n");
    trees.add("fehlt.txt", "nur im Original\n", false);
    const Report expected =
        expected_report(listing_order(trees.source), [](const std::string& name) {
            return name == "anders.txt" ? Outcome::differing : Outcome::missing;
        });
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out, announcement(2) + expected.console +
                           "\n1 Dateien sind unterschiedlich und 1 Dateien fehlen.\n" +
                           "\n-------------------- Überprüfung beendet. --------------------\n\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, expected.log);
    EXPECT_GE(run.elapsed, 1000ms);
}

TEST(ComparisonPass, FilesOnlyInTheSecondTreeAppearNowhere) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n");
    write_file(trees.copy / "zusatz.txt", "nur in der Kopie\n");
    write_file(trees.copy / "neu" / "tief.txt", "auch nur in der Kopie\n");
    const RunResult run = run_trelvik(dir, trees.arguments());
    expect_one_identical_file(run);
    EXPECT_EQ(run.log, ok_log_line(right_aligned("a.txt", LOG_NAME_WIDTH)));
}

TEST(MissingCounterpart, LinkThatLeadsNowhereOrInCirclesCountsAsMissing) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("weg.txt", "1", false);
    trees.add("kreis.txt", "2", false);
    fs::create_symlink("nirgends.txt", trees.copy / "weg.txt");
    fs::create_symlink("kreis2.txt", trees.copy / "kreis.txt");
    fs::create_symlink("kreis.txt", trees.copy / "kreis2.txt");
    const Report expected = expected_report(listing_order(trees.source),
                                            [](const std::string&) { return Outcome::missing; });
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out, announcement(2) + expected.console + closing_lines(0, 2));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, expected.log);
}

TEST(MissingCounterpart, FileInPlaceOfADirectoryMakesEveryFileBelowItMissing) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("docs/a.txt", "Inhalt\n", false);
    write_file(trees.copy / "docs", "eine Datei, kein Verzeichnis\n");
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out, announcement(1) + progress_line(1, "docs/a.txt") +
                           cleared_line(CLEAR_WIDTH) +
                           missing_line(right_aligned("docs/a.txt", RESULT_NAME_WIDTH)) +
                           closing_lines(0, 1));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, missing_log_line(right_aligned("docs/a.txt", LOG_NAME_WIDTH)));
}

TEST(ReadFailure, DirectoryAsFifthCounterpartEndsTheRunAfterFourResults) {
    TestDirectory dir;
    const Trees trees(dir);
    for (const char* name :
         {"datei-1.txt", "datei-2.txt", "datei-3.txt", "datei-4.txt", "datei-5.txt"}) {
        write_file(trees.source / name, std::string("Inhalt von ") + name);
    }
    const std::vector<std::string> order = listing_order(trees.source);
    ASSERT_EQ(order.size(), 5u);
    for (std::size_t k = 0; k < 4; ++k) {
        fs::copy_file(trees.source / order[k], trees.copy / order[k]);
    }
    fs::create_directory(trees.copy / order[4]);
    const Report first_four = expected_report(
        {order.begin(), order.begin() + 4}, [](const std::string&) { return Outcome::identical; });
    const RunResult run = run_trelvik(dir, trees.arguments());
    EXPECT_EQ(run.out, announcement(5) + first_four.console + blanked_progress_line(5, order[4]) +
                           read_failure_message(order[4]));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.log, first_four.log + abort_log_line(order[4]));
}

// The console output of a run that ends on the single file `rel`.
std::string ended_on_first_file(const std::string& rel) {
    return announcement(1) + blanked_progress_line(1, rel) + read_failure_message(rel);
}

TEST(ReadFailure, NamedPipeAsCounterpartEndsTheRunWithoutWaiting) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("rohr", "Daten\n", false);
    ASSERT_EQ(::mkfifo((trees.copy / "rohr").c_str(), 0644), 0);
    const RunResult run = run_trelvik(dir, trees.arguments(), with_timeout(10s));
    EXPECT_FALSE(run.timed_out);
    EXPECT_LT(run.elapsed, 5s);
    EXPECT_EQ(run.out, ended_on_first_file("rohr"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.log, abort_log_line("rohr"));
}

// A read that fails is no end of the data: the run ends on it even where the
// bytes obtained so far agree.
TEST(ReadFailure, ReadErrorIsNotTakenForTheEndOfTheFile) {
    struct Case {
        // A regular file whose reading fails, and what the source holds.
        const char* failing_file;
        std::string contents;
    };
    // The loopback interface has no link speed to tell (4096 bytes, read
    // fails with EINVAL); the program's own memory at address 0 is not mapped
    // (0 bytes, read fails with EIO).
    for (const Case& c :
         {Case{"/sys/class/net/lo/speed", std::string(4096, '1')}, Case{"/proc/self/mem", ""}}) {
        SCOPED_TRACE(c.failing_file);
        TestDirectory dir;
        const Trees trees(dir);
        trees.add("datei", c.contents, false);
        fs::create_symlink(c.failing_file, trees.copy / "datei");
        const RunResult run = run_trelvik(dir, trees.arguments(), with_timeout(10s));
        EXPECT_EQ(run.out, ended_on_first_file("datei"));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.log, abort_log_line("datei"));
    }
}

TEST(ReadFailure, CounterpartBehindADirectoryThatMayNotBeSearchedEndsTheRun) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("tresor/brief.txt", "geheim\n");
    fs::permissions(trees.copy / "tresor", fs::perms(0700));
    RunOptions as_nobody;
    as_nobody.user = NOBODY;
    const RunResult run = run_trelvik(dir, trees.arguments(), as_nobody);
    EXPECT_EQ(run.out, ended_on_first_file("tresor/brief.txt"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.log, abort_log_line("tresor/brief.txt"));
}

TEST(FileNames, MultiByteNamesAreMeasuredInCharacters) {
    TestDirectory dir;
    {
        // 7 characters in 12 bytes: 73 spaces before it in the log.
        const Trees trees(dir, "kurz");
        trees.add("ä日本.txt", "x");
        const RunResult run = run_trelvik(dir, trees.arguments());
        EXPECT_EQ(run.out,
                  announcement(1) + blanked_progress_line(1, "ä日本.txt") + closing_lines(0, 0));
        EXPECT_EQ(run.log, std::string(73, ' ') + "ä日本.txt - OK\n");
    }
    {
        // 86 characters: cut at the front in every column, on whole
        // characters.
        std::string japanese;
        for (int i = 0; i < 30; ++i) {
            japanese += "日本";
        }
        const Trees trees(dir, "lang");
        trees.add("äöü-verzeichnis/" + japanese + "-größe.txt", "x", false);
        const auto tail = [](int pairs) {
            std::string text = "...";
            for (int i = 0; i < pairs; ++i) {
                text += "日本";
            }
            return text + "-größe.txt";
        };
        const RunResult run = run_trelvik(dir, trees.arguments());
        EXPECT_EQ(run.out, announcement(1) + progress_line(1, tail(24)) +
                               cleared_line(CLEAR_WIDTH) + missing_line(tail(17)) +
                               closing_lines(0, 1));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.log, missing_log_line("...ichnis/" + japanese + "-größe.txt"));
    }
}

TEST(FileNames, ControlCharactersAreMaskedOnATerminalOnly) {
    TestDirectory dir;
    const std::string name = "steuer\x01\t\x1b[31m\x7f.txt";
    const std::string masked = "steuer???[31m?.txt";
    {
        const Trees trees(dir, "pipe");
        trees.add(name, "x");
        const RunResult run = run_trelvik(dir, trees.arguments());
        EXPECT_EQ(run.out, announcement(1) + blanked_progress_line(1, name) + closing_lines(0, 0));
        EXPECT_EQ(run.log, ok_log_line(right_aligned(name, LOG_NAME_WIDTH)));
    }
    {
        // 80 columns: 41 for the progress name, 80 to blank, 37 for results.
        const Trees trees(dir, "terminal");
        trees.add(name, "x", false);
        RunOptions terminal;
        terminal.output = Output::terminal;
        terminal.columns = 80;
        const RunResult run = run_trelvik(dir, trees.arguments(), terminal);
        EXPECT_EQ(run.out, announcement(1) + progress_line(1, masked) + cleared_line(80) +
                               missing_line(right_aligned(masked, 37)) + closing_lines(0, 1));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.log, missing_log_line(right_aligned(name, LOG_NAME_WIDTH)));
    }
}

// A link in the source tree that points out of it is listed as
// ../draussen.txt, and that path is taken below both directories.
TEST(FileNames, PathLeadingOutOfTheTreeIsJoinedToBothDirectories) {
    TestDirectory dir;
    write_file(dir / "a" / "draussen.txt", "neben der Quelle\n");
    write_file(dir / "b" / "draussen.txt", "neben der Quelle\n");
    fs::create_directories(dir / "a" / "quelle");
    fs::create_directories(dir / "b" / "kopie");
    fs::create_symlink("../draussen.txt", dir / "a" / "quelle" / "verweis");
    const RunResult run =
        run_trelvik(dir, {(dir / "a" / "quelle").string(), (dir / "b" / "kopie").string()});
    EXPECT_EQ(run.out,
              announcement(1) + blanked_progress_line(1, "../draussen.txt") + closing_lines(0, 0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, ok_log_line(right_aligned("../draussen.txt", LOG_NAME_WIDTH)));
}

TEST(LogFile, LogOfAnEarlierRunIsReplaced) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n");
    write_file(dir.log_path(), std::string(1000, '#') + "\n");
    fs::permissions(dir.log_path(), fs::perms(0644));
    const RunResult run = run_trelvik(dir, trees.arguments());
    expect_one_identical_file(run);
    EXPECT_EQ(run.log, ok_log_line(right_aligned("a.txt", LOG_NAME_WIDTH)));
    // It lists every checked path, so only its owner may read it.
    EXPECT_EQ(fs::status(dir.log_path()).permissions(), fs::perms(0600));

    fs::remove(dir.log_path());
    run_trelvik(dir, trees.arguments());
    EXPECT_EQ(fs::status(dir.log_path()).permissions(), fs::perms(0600));
}

TEST(LogFile, InterruptedRunKeepsEveryProblemShownSoFar) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n", false);
    trees.add("b.txt", "gleich\n");
    const std::vector<std::string> order = listing_order(trees.source);
    RunOptions options;
    options.interrupt_after = "NICHT gefunden!";
    options.interrupt_once = [&dir] {
        return read_file(dir.log_path()).find("NICHT gefunden!") != std::string::npos;
    };
    const RunResult run = run_trelvik(dir, trees.arguments(), options);
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.log, order[0] == "a.txt"
                           ? missing_log_line(right_aligned("a.txt", LOG_NAME_WIDTH))
                           : ok_log_line(right_aligned("b.txt", LOG_NAME_WIDTH)) +
                                 missing_log_line(right_aligned("a.txt", LOG_NAME_WIDTH)));
}

TEST(LogFile, LinkAtTheLogPathIsNotFollowed) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n");
    const std::string victim = "darf nicht überschrieben werden\n";
    write_file(dir / "opfer.txt", victim);
    fs::create_symlink(dir / "opfer.txt", dir.log_path());
    expect_one_identical_file(run_trelvik(dir, trees.arguments()), LOG_NO_REGULAR_FILE);
    EXPECT_TRUE(fs::is_symlink(dir.log_path()));
    EXPECT_EQ(read_file(dir / "opfer.txt"), victim);

    // Nor is a file created where a link that leads nowhere points.
    fs::remove(dir.log_path());
    fs::create_symlink(dir / "neu.txt", dir.log_path());
    expect_one_identical_file(run_trelvik(dir, trees.arguments()), LOG_NO_REGULAR_FILE);
    EXPECT_FALSE(fs::exists(dir / "neu.txt"));
}

TEST(LogFile, FileOfAnotherUserIsReplacedByRootAndOneWithASecondNameLeftAlone) {
    require_root("a file of the user nobody");
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n");
    // nobody's log, whose second name shows what becomes of the file.
    const std::string earlier = "Protokoll von nobody\n";
    write_file(dir / "nobody.txt", earlier);
    ASSERT_EQ(::chown((dir / "nobody.txt").c_str(), NOBODY, NOBODY), 0);
    fs::create_hard_link(dir / "nobody.txt", dir.log_path());
    RunResult run = run_trelvik(dir, trees.arguments());
    expect_one_identical_file(run);
    EXPECT_EQ(run.log, ok_log_line(right_aligned("a.txt", LOG_NAME_WIDTH)));
    EXPECT_EQ(read_file(dir / "nobody.txt"), earlier);
    EXPECT_EQ(fs::hard_link_count(dir / "nobody.txt"), 1u);

    fs::remove(dir.log_path());
    const std::string victim = "darf nicht überschrieben werden\n";
    write_file(dir / "opfer.txt", victim);
    fs::create_hard_link(dir / "opfer.txt", dir.log_path());
    run = run_trelvik(dir, trees.arguments());
    expect_one_identical_file(run, LOG_HARD_LINKED);
    EXPECT_EQ(read_file(dir / "opfer.txt"), victim);
}

TEST(LogFile, DirectoryOrNamedPipeAtTheLogPathDoesNotHoldUpTheRun) {
    TestDirectory dir;
    const Trees trees(dir);
    trees.add("a.txt", "gleich\n");
    fs::create_directory(dir.log_path());
    expect_one_identical_file(run_trelvik(dir, trees.arguments(), with_timeout(10s)),
                              LOG_NO_REGULAR_FILE);
    EXPECT_TRUE(fs::is_empty(dir.log_path()));

    fs::remove(dir.log_path());
    ASSERT_EQ(::mkfifo(dir.log_path().c_str(), 0666), 0);
    expect_one_identical_file(run_trelvik(dir, trees.arguments(), with_timeout(10s)),
                              LOG_NO_REGULAR_FILE);
    EXPECT_TRUE(fs::is_fifo(dir.log_path()));
}

}  // namespace
