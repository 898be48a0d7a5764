// End-to-end tests of outputs that others may have prepared or broken:
// whatever someone planted at the log path is left as it was and said, with
// status 1, standard output closed, broken or full neither hangs the program
// nor makes it touch the trees, a report or log cut short is said, with
// status 1, and an interrupt leaves the log in whole lines.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr auto SHORT_TIMEOUT = std::chrono::seconds(20);
constexpr auto NEVER_BLOCKED = std::chrono::seconds(5);

constexpr char OUTPUT_UNWRITTEN[] =
    "trelvik Fehler - Die Ausgabe konnte nicht vollständig geschrieben werden.\n\n";
constexpr char LOG_UNWRITTEN[] =
    "trelvik Fehler - Die Protokolldatei /tmp/trelvik-log.txt "
    "konnte nicht vollständig geschrieben werden.\n\n";
// Bytes that a full /tmp holds, and identical files whose log lines (86 bytes
// each) need twice as much, or just one line more.
constexpr std::size_t FULL_TMP_SIZE = 4096;
constexpr std::size_t FILES_OVER_FULL_TMP = 95;
constexpr std::size_t FILES_FILLING_TMP_AT_LAST_LINE = 48;
// Identical files whose log lines fill the log's buffer (4 KiB) many times
// over, and the files at which runs over them are interrupted, at once: the
// program, at most a pipe's worth of output (64 KiB, under 500 files) ahead
// of what the test has read, is then still at work.
constexpr std::size_t FILES_OVER_LOG_BUFFER = 2000;
constexpr std::size_t INTERRUPTED_AT[] = {100, 700, 1300};

// Something planted at the log path before a run, and why the run says it
// could not write its log.
struct PlantedLog {
    const char* what;
    void (*plant)(const TestDirectory& dir);
    uid_t user;
    std::string because;
};

// The file that a planted log path leads to, and that no run may change.
fs::path victim(const TestDirectory& dir) {
    return dir / "victim.txt";
}

void plant_victim(const TestDirectory& dir, uid_t owner, fs::perms permissions) {
    write_file(victim(dir), "precious contents\n");
    if (::chown(victim(dir).c_str(), owner, owner) != 0) {
        throw std::runtime_error("chown");
    }
    fs::permissions(victim(dir), permissions);
}

const PlantedLog PLANTED_LOGS[] = {
    {"symbolic link to a file of the user's",
     [](const TestDirectory& dir) {
         plant_victim(dir, 0, fs::perms(0644));
         fs::create_symlink(victim(dir), dir.log_path());
     },
     ROOT, LOG_NO_REGULAR_FILE},
    {"symbolic link to a file of another user, writable by all",
     [](const TestDirectory& dir) {
         plant_victim(dir, 0, fs::perms(0666));
         fs::create_symlink(victim(dir), dir.log_path());
     },
     NOBODY, log_of_user("root")},
    {"symbolic link of another user (run as root)",
     [](const TestDirectory& dir) {
         plant_victim(dir, NOBODY, fs::perms(0666));
         fs::create_symlink(victim(dir), dir.log_path());
         if (::lchown(dir.log_path().c_str(), NOBODY, NOBODY) != 0) {
             throw std::runtime_error("lchown");
         }
     },
     ROOT, log_of_user("nobody")},
    {"hard link to a file of the user's",
     [](const TestDirectory& dir) {
         plant_victim(dir, 0, fs::perms(0644));
         fs::create_hard_link(victim(dir), dir.log_path());
     },
     ROOT, LOG_HARD_LINKED},
    {"file of another user, writable by all (run unprivileged)",
     [](const TestDirectory& dir) {
         plant_victim(dir, 0, fs::perms(0666));
         fs::rename(victim(dir), dir.log_path());
     },
     NOBODY, log_of_user("root")},
    {"log of an earlier run as root (run unprivileged)",
     [](const TestDirectory& dir) {
         plant_victim(dir, 0, fs::perms(0600));
         fs::rename(victim(dir), dir.log_path());
     },
     NOBODY, log_of_user("root")},
    {"directory",
     [](const TestDirectory& dir) {
         fs::create_directory(dir.log_path());
         write_file(dir.log_path() / "inside", "inside");
     },
     ROOT, LOG_NO_REGULAR_FILE},
    {"named pipe without a reader",
     [](const TestDirectory& dir) {
         if (::mkfifo(dir.log_path().c_str(), 0666) != 0) {
             throw std::runtime_error("mkfifo");
         }
     },
     ROOT, LOG_NO_REGULAR_FILE},
    {"/tmp that the user may not write to",
     [](const TestDirectory& dir) { fs::permissions(dir.private_tmp(), fs::perms(0755)); }, NOBODY,
     "sie kann in /tmp nicht angelegt werden"},
};

TEST(PlantedLogPath, IsLeftUnchangedAndSaidAfterTheRunWithStatus1) {
    require_root("files of another user");
    for (const PlantedLog& planted : PLANTED_LOGS) {
        SCOPED_TRACE(planted.what);
        TestDirectory dir;
        write_file(dir / "one" / "same", "same");
        write_file(dir / "two" / "same", "same");
        planted.plant(dir);
        const std::string before = tree_snapshot(dir.path());

        RunOptions options;
        options.user = planted.user;
        options.timeout = SHORT_TIMEOUT;
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        EXPECT_FALSE(run.timed_out);
        EXPECT_LT(run.elapsed, NEVER_BLOCKED);
        EXPECT_EQ(tree_snapshot(dir.path()), before);
        EXPECT_EQ(run.err, log_unwritten_message(planted.because));
        EXPECT_EQ(run.out, identical_file_output("same"));
        EXPECT_EQ(run.status, 1);
    }
}

// One run in an order of runs over the same /tmp: its user, sudo's variables
// in its environment, whether Ctrl-C ends it in the pause after its one file,
// missing in the copy (identical otherwise), and after it the log's owner, as
// user and group of the same number, and whose log it could not write
// (empty when it wrote its own).
struct RunInOrder {
    uid_t user;
    std::vector<std::string> sudo;
    bool interrupted;
    uid_t owner_after;
    const char* blocked_by;
};

// sudo's variables, for root's run on behalf of `user` (a number and a name).
std::vector<std::string> sudo_by(uid_t user, const std::string& name) {
    const std::string number = std::to_string(user);
    return {"SUDO_UID=" + number, "SUDO_GID=" + number, "SUDO_USER=" + name};
}

// A number that names no user of this machine.
constexpr uid_t NO_USER = 4000000000;

const struct {
    const char* what;
    std::vector<RunInOrder> runs;
} RUN_ORDERS[] = {
    {"user, sudo, user",
     {{NOBODY, {}, false, NOBODY, ""},
      {ROOT, sudo_by(NOBODY, "nobody"), false, NOBODY, ""},
      {NOBODY, {}, false, NOBODY, ""}}},
    {"sudo, then user",
     {{ROOT, sudo_by(DAEMON, "daemon"), false, DAEMON, ""}, {DAEMON, {}, false, DAEMON, ""}}},
    {"two users", {{NOBODY, {}, false, NOBODY, ""}, {DAEMON, {}, false, NOBODY, "nobody"}}},
    {"user, root, user",
     {{NOBODY, {}, false, NOBODY, ""},
      {ROOT, {}, false, ROOT, ""},
      {NOBODY, {}, false, ROOT, "root"}}},
    {"sudo on behalf of root (with another group) or of no user, then user",
     {{ROOT, {"SUDO_UID=0", "SUDO_GID=1", "SUDO_USER=root"}, false, ROOT, ""},
      {ROOT, sudo_by(NO_USER, "gone"), false, ROOT, ""},
      {NOBODY, {}, false, ROOT, "root"}}},
    {"sudo ended by Ctrl-C, then user",
     {{ROOT, sudo_by(NOBODY, "nobody"), true, ROOT, ""}, {NOBODY, {}, false, ROOT, "root"}}},
    {"user with sudo's variables (sudo -u)",
     {{DAEMON, sudo_by(NOBODY, "nobody"), false, DAEMON, ""}}},
};

TEST(LogAcrossUsers, EachOrderOfRunsWritesTheLogWhereItMayAndSaysWhoseItIsWhereNot) {
    require_root("runs as other users");
    ASSERT_EQ(::getpwuid(NO_USER), nullptr);
    for (const auto& order : RUN_ORDERS) {
        SCOPED_TRACE(order.what);
        TestDirectory dir;
        std::string log;
        for (std::size_t k = 0; k < order.runs.size(); ++k) {
            const RunInOrder& step = order.runs[k];
            SCOPED_TRACE(k);
            const std::string name = "lauf-" + std::to_string(k);
            write_file(dir / name / "one" / name, "same");
            fs::create_directories(dir / name / "two");
            if (!step.interrupted) {
                write_file(dir / name / "two" / name, "same");
            }
            RunOptions options;
            options.user = step.user;
            options.environment = step.sudo;
            if (step.interrupted) {
                options.interrupt_after = "NICHT gefunden!";
                options.interrupt_once = [&dir] {
                    return read_file(dir.log_path()).find("NICHT gefunden!") != std::string::npos;
                };
            }
            const RunResult run = run_trelvik(
                dir, {(dir / name / "one").string(), (dir / name / "two").string()}, options);

            const bool blocked = *step.blocked_by != '\0';
            if (!blocked) {
                log = right_aligned(name, LOG_NAME_WIDTH) +
                      (step.interrupted ? " - NICHT gefunden!\n" : " - OK\n");
            }
            EXPECT_EQ(run.err, blocked ? log_unwritten_message(log_of_user(step.blocked_by)) : "");
            EXPECT_EQ(run.status, step.interrupted ? 128 + SIGINT : blocked ? 1 : 0);
            EXPECT_EQ(run.log, log);
            struct stat status;
            ASSERT_EQ(::lstat(dir.log_path().c_str(), &status), 0);
            EXPECT_EQ(status.st_uid, step.owner_after);
            EXPECT_EQ(status.st_gid, step.owner_after);
            EXPECT_EQ(status.st_mode, S_IFREG | 0600);
        }
    }
}

// Trees whose files meet, in the walk's order, an identical copy, a differing
// one and a missing one; with `unreadable_last`, a fourth whose copy is a
// directory, which ends the run. Returns the expected log.
std::string make_trees(const TestDirectory& dir, bool unreadable_last) {
    const fs::path one = dir / "one";
    const fs::path two = dir / "two";
    const std::vector<std::string> names = {"a", "b", "c", "d"};
    for (std::size_t i = 0; i < (unreadable_last ? 4 : 3); ++i) {
        write_file(one / names[i], "original");
    }
    const std::vector<std::string> order = listing_order(one);
    write_file(two / order[0], "original");
    write_file(two / order[1], "changed!");
    std::string log = right_aligned(order[0], LOG_NAME_WIDTH) + " - OK\n" +
                      right_aligned(order[1], LOG_NAME_WIDTH) +
                      " - ACHTUNG!!! NICHT identisch!!!\n" +
                      right_aligned(order[2], LOG_NAME_WIDTH) + " - NICHT gefunden!\n";
    if (unreadable_last) {
        fs::create_directory(two / order[3]);
        log += "\n";
        log += read_failure_message(order[3]);
    }
    return log;
}

TEST(StandardOutput, ClosedOrFullStillGivesTheFullLogAndIsSaidWithStatus1) {
    for (const Output output : {Output::closed, Output::dev_full}) {
        for (const bool unreadable_last : {false, true}) {
            SCOPED_TRACE(output == Output::closed ? "closed" : "/dev/full");
            SCOPED_TRACE(unreadable_last ? "with read failure" : "complete run");
            TestDirectory dir;
            const std::string log = make_trees(dir, unreadable_last);
            const std::string before = tree_snapshot(dir / "one") + tree_snapshot(dir / "two");

            RunOptions options;
            options.output = output;
            options.timeout = SHORT_TIMEOUT;
            const RunResult run =
                run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

            EXPECT_FALSE(run.timed_out);
            EXPECT_EQ(tree_snapshot(dir / "one") + tree_snapshot(dir / "two"), before);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, OUTPUT_UNWRITTEN);
            EXPECT_EQ(run.log, log);
            EXPECT_EQ(run.status, 1);
        }
    }
}

// The private /tmp of `dir` replaced, for as long as this lives, by a file
// system of FULL_TMP_SIZE bytes, in a mount namespace of the test process's
// own.
class FullTmp {
  public:
    explicit FullTmp(const TestDirectory& dir) : path_(dir.private_tmp()) {
        require_private_mounts("a tmpfs mount");
        const std::string options = "mode=1777,size=" + std::to_string(FULL_TMP_SIZE);
        if (!enter_private_mount_namespace() ||
            ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            fail("mount tmpfs");
        }
    }
    ~FullTmp() { ::umount2(path_.c_str(), 0); }

  private:
    fs::path path_;
};

TEST(LogCutShortByFullTmp, EndsWithItsLastWholeLineAndIsSaidOnStandardErrorWithStatus1) {
    // A run through sudo hands the log, cut short, to sudo's caller all the
    // same, so that the caller's next run can write it.
    const struct {
        const char* what;
        std::size_t files;
        bool unreadable_last;
        uid_t sudo_caller;
    } runs[] = {{"complete run", FILES_OVER_FULL_TMP, false, ROOT},
                {"with read failure", FILES_OVER_FULL_TMP, true, ROOT},
                {"/tmp full at the last write", FILES_FILLING_TMP_AT_LAST_LINE, false, ROOT},
                {"through sudo", FILES_OVER_FULL_TMP, false, NOBODY}};
    for (const auto& [what, files, unreadable_last, sudo_caller] : runs) {
        SCOPED_TRACE(what);
        TestDirectory dir;
        const FullTmp full_tmp(dir);
        for (std::size_t i = 0; i < files; ++i) {
            write_file(dir / "one" / ("datei-" + std::to_string(i)), "same");
            write_file(dir / "two" / ("datei-" + std::to_string(i)), "same");
        }
        const std::vector<std::string> order = listing_order(dir / "one");
        if (unreadable_last) {
            fs::remove(dir / "two" / order.back());
            fs::create_directory(dir / "two" / order.back());
        }

        RunOptions options;
        if (sudo_caller != ROOT) {
            options.environment = sudo_by(sudo_caller, "nobody");
        }
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        std::string out = announcement(order.size());
        std::string log;
        for (std::size_t k = 0; k < order.size(); ++k) {
            out += progress_line(k + 1, order[k]) + cleared_line(CLEAR_WIDTH);
            log += right_aligned(order[k], LOG_NAME_WIDTH) + " - OK\n";
        }
        // The run goes on, and the log ends with the last line that fitted.
        EXPECT_EQ(run.out, out + (unreadable_last ? read_failure_message(order.back())
                                                  : closing_lines(0, 0)));
        EXPECT_EQ(run.err, LOG_UNWRITTEN);
        EXPECT_EQ(run.log, log.substr(0, log.rfind('\n', FULL_TMP_SIZE - 1) + 1));
        EXPECT_EQ(run.status, 1);
        struct stat status;
        ASSERT_EQ(::lstat(dir.log_path().c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, sudo_caller);
    }
}

TEST(LogOfAnInterruptedRun, HoldsOnlyWholeLines) {
    TestDirectory dir;
    for (std::size_t i = 0; i < FILES_OVER_LOG_BUFFER; ++i) {
        write_file(dir / "one" / ("datei-" + std::to_string(i)), "same");
        write_file(dir / "two" / ("datei-" + std::to_string(i)), "same");
    }
    const std::vector<std::string> order = listing_order(dir / "one");
    std::string log;
    for (const std::string& name : order) {
        log += right_aligned(name, LOG_NAME_WIDTH) + " - OK\n";
    }
    for (const std::size_t number : INTERRUPTED_AT) {
        SCOPED_TRACE(number);
        RunOptions options;
        options.interrupt_after = progress_line(number, order[number - 1]);
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        EXPECT_EQ(run.status, 128 + SIGINT);
        EXPECT_TRUE(run.log.ends_with('\n'));
        EXPECT_TRUE(log.starts_with(run.log));
    }
}

TEST(StandardOutput, PipeWhoseReaderExitsEarlyEndsTheRunOnBrokenPipe) {
    TestDirectory dir;
    make_trees(dir, false);
    const std::vector<std::string> order = listing_order(dir / "one");
    const std::string before = tree_snapshot(dir / "one") + tree_snapshot(dir / "two");

    RunOptions options;
    options.reader_exits_early = true;
    options.timeout = SHORT_TIMEOUT;
    const RunResult run =
        run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

    // The reader goes after the first piece of output; the program ends at
    // its next write, after the pause that follows the differing file at the
    // latest.
    const std::string full_output = announcement(3) + progress_line(1, order[0]) +
                                    cleared_line(CLEAR_WIDTH) + progress_line(2, order[1]) +
                                    cleared_line(CLEAR_WIDTH) +
                                    differing_line(right_aligned(order[1], RESULT_NAME_WIDTH));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(tree_snapshot(dir / "one") + tree_snapshot(dir / "two"), before);
    EXPECT_TRUE(run.out.starts_with(announcement(3))) << run.out;
    EXPECT_TRUE(full_output.starts_with(run.out)) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 128 + SIGPIPE);
}

}  // namespace
