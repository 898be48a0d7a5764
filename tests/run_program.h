// Runs the built trelvik binary the way a user would, and captures what it
// does: standard output and standard error as bytes, the exit status and the
// log file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Users that the program runs as: root, and two users of every Debian
// system, each with a group of the same number.
constexpr uid_t ROOT = 0;
constexpr uid_t DAEMON = 1;
constexpr uid_t NOBODY = 65534;

// Whether the program is built with AddressSanitizer and
// UndefinedBehaviorSanitizer, whose runtime takes descriptors and memory of
// its own.
#ifdef TRELVIK_SANITIZED
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// Where standard output of the program goes: Output::file is a regular file
// whose contents become RunResult::out.
enum class Output { pipe, terminal, dev_full, closed, file };

struct RunOptions {
    Output output = Output::pipe;
    // Size of the pseudo-terminal when `output` is Output::terminal.
    unsigned short columns = 80;
    unsigned short rows = 24;
    // Standard error goes to the pseudo-terminal too, and so into `out`.
    bool errors_on_terminal = false;
    // Standard error goes to a pseudo-terminal of its own, whose bytes become
    // RunResult::err, wherever standard output goes.
    bool errors_on_own_terminal = false;
    // The user the program runs as, with the group of the same number: root,
    // as the tests run, or a user for whom permissions count (NOBODY, DAEMON).
    uid_t user = ROOT;
    // Variables added to the program's environment, as "NAME=value". Of the
    // test's own, those that sudo sets are left out, so that a run under a
    // suite started with sudo is one of root.
    std::vector<std::string> environment;
    // Working directory of the program; unchanged when empty.
    std::filesystem::path working_directory;
    // The program is killed after this long.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // Called with everything written to standard output so far, each time
    // more arrives; lets a test change the trees while the run is under way.
    std::function<void(const std::string&)> on_output;
    // Sends SIGINT to the program, like Ctrl-C, once its standard output
    // holds this text and, where `interrupt_once` is set, once that answers
    // true (the log holds the line of a problem, a request of the program is
    // held); never when empty.
    std::string interrupt_after;
    std::function<bool()> interrupt_once;
    // Closes the reading end of standard output (a pipe) as soon as the
    // program has written something to it, like a reader that exits early.
    bool reader_exits_early = false;
    // Soft and hard limits on the program's open files (RLIMIT_NOFILE), set
    // before it starts; 0 keeps the limit it would inherit.
    unsigned long open_files_soft_limit = 0;
    unsigned long open_files_hard_limit = 0;
    // Descriptors that the program inherits open, besides its standard
    // streams, as from a shell that holds some open.
    int inherited_descriptors = 0;
    // Both limits on the program's open files are lowered to this once its
    // standard output holds `lower_open_files_after`, as when its user's other
    // programs take the descriptors left; 0 for never.
    unsigned long lowered_open_files_limit = 0;
    std::string lower_open_files_after;
    // Limit on the processes of the program's user (RLIMIT_NPROC), as in a
    // container at its limit on process ids; 0 for none. With a limit the
    // program runs as a user of its own, not root, whom no other process on
    // the machine counts against it.
    unsigned long processes_limit = 0;
};

struct RunResult {
    // Exit status, or 128 plus the signal number when a signal ended it.
    int status = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
    // Contents of the log file at the end of the run; empty when there is no
    // regular file at the log path (links followed).
    std::string log;
    bool log_exists = false;
    // Time from the start of the program to its end.
    std::chrono::milliseconds elapsed{0};
    // The most memory the program held at once (its maximum resident set, in
    // KiB), which counts the test's own memory at the time it started the
    // program.
    long peak_memory_kib = 0;
};

// A directory of its own for one test, below /var/tmp (not /tmp, which each
// run replaces with a private one), removed with everything in it at the end.
class TestDirectory {
  public:
    TestDirectory();
    ~TestDirectory();
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // The directory that the program sees as /tmp; the log file lands here.
    std::filesystem::path private_tmp() const { return path_ / "tmp"; }
    std::filesystem::path log_path() const { return private_tmp() / "trelvik-log.txt"; }

  private:
    std::filesystem::path path_;
};

// Ends the calling test as skipped, with a message that it needs root for
// `what` (a mount, a mount namespace of its own, the user nobody), unless it
// runs as root; from within a helper too.
void require_root(const std::string& what);

// Ends the calling test as skipped unless it runs as root and this process
// can make a mount namespace of its own from which no mount reaches the
// machine's (not so in a chroot whose root is no mount point), with a line
// that says which is missing for `what` and what to do; from within a helper
// too.
void require_private_mounts(const std::string& what);

// Puts the calling process into a new mount namespace from which no mount
// reaches the machine's; false when it cannot, which require_private_mounts
// tells beforehand.
bool enter_private_mount_namespace();

// Runs trelvik with `arguments` in a private mount namespace whose /tmp is
// `directory.private_tmp()`, so that runs never share the log file. Needs
// what require_private_mounts asks for.
RunResult run_trelvik(const TestDirectory& directory, const std::vector<std::string>& arguments,
                      const RunOptions& options = {});

// Makes the calling process the user `user` with the group of the same
// number, for whom permissions count; ends it with status 99 when that
// fails. For child processes only.
void become_user(uid_t user);

// Throws an error that names `what` and the system's text for `errno`.
[[noreturn]] void fail(const std::string& what);

// Creates a Unix domain socket bound at `path`.
void make_socket(const std::filesystem::path& path);

// Creates `path` and its parent directories with `contents`.
void write_file(const std::filesystem::path& path, const std::string& contents);

// The contents of `path`, or an empty string when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// Widths of the console's columns when standard output is a pipe: the
// blanked progress line, the name in a result line; and of the name in a log
// line.
constexpr std::size_t CLEAR_WIDTH = 100;
constexpr std::size_t RESULT_NAME_WIDTH = 47;
constexpr std::size_t LOG_NAME_WIDTH = 80;

// The texts of a run as the program writes them, for the expectations of
// tests. Names are passed as they should appear, already fitted to their
// column.

// "\n<count> Dateien im Verzeichnis gefunden.\nÜberprüfung läuft...\n"
std::string announcement(std::size_t file_count);
// The progress line of file `number` (counted from 1), without a line break.
std::string progress_line(std::size_t number, const std::string& shown_name);
// "\r", `clear_width` spaces and "\r": the progress line blanked.
std::string cleared_line(std::size_t clear_width);
// Console result line of a missing file (blue bar) or a differing one (red).
std::string missing_line(const std::string& name_column);
std::string differing_line(const std::string& name_column);
// Console message that ends a run on a file that cannot be read.
std::string read_failure_message(const std::string& name);
// The summary and the closing line.
std::string closing_lines(int differ_count, int missing_count);
// Whole standard output, on a pipe, of a run over the one identical file
// `name`.
std::string identical_file_output(const std::string& name);
// The log of a run that ends on `rel` as its first file: an empty line and
// the abort line.
std::string aborted_log(const std::string& rel);
// Why a run could not write its log, for log_unwritten_message: what stands
// at the log path belongs to the user `owner` (a name), is no regular file,
// or has a second name.
std::string log_of_user(const std::string& owner);
constexpr char LOG_NO_REGULAR_FILE[] = "sie ist keine reguläre Datei und muss entfernt werden";
constexpr char LOG_HARD_LINKED[] = "sie hat einen weiteren harten Link und muss entfernt werden";
// The message on standard error after a run that could not write its log
// `because`.
std::string log_unwritten_message(const std::string& because);
// `name`, plain ASCII and no longer than `width`, right-aligned in `width`
// columns.
std::string right_aligned(const std::string& name, std::size_t width);

// What the program that run_trelvik runs holds open, for a test's on_output:
// the targets of its descriptors, as /proc shows them (a removed file ends
// in " (deleted)").
std::vector<std::filesystem::path> files_open_in_program();

// Waits, from a test's on_output, until the program that run_trelvik runs
// holds `path` open. False when it ended first, or its run's timeout came.
bool wait_until_program_opens(const std::filesystem::path& path);

// Watches a file, from the watch's making on, for the closes of what was
// opened of it for reading (inotify): the sign that the program, or a file
// system serving it, has read the file and let it go.
class CloseWatch {
  public:
    explicit CloseWatch(const std::filesystem::path& path);
    ~CloseWatch();
    CloseWatch(const CloseWatch&) = delete;
    CloseWatch& operator=(const CloseWatch&) = delete;

    // Waits, from a test's on_output, until the file has been closed since
    // the watch began. False when the program that run_trelvik runs ended
    // first, or its run's timeout came.
    bool wait_until_closed();

  private:
    int fd_;
    bool closed_ = false;
};

// A thread of the program, and the signals it blocks, as /proc shows them
// (SigBlk): bit n - 1 for signal n.
struct ProgramThread {
    bool main_thread;
    std::uint64_t blocked_signals;
};

// The threads of the test's child processes that run the program (not the
// file systems that the test mounts).
std::vector<ProgramThread> program_threads();

// Every entry below `root`, in the order of a depth-first walk that reads each
// directory in the order the system returns its entries (as the program's
// walk does): for each, its path relative to `root`, type, mode, owner, size,
// modification and change times, and the contents of a file or the target of
// a link. Two equal snapshots mean nothing below `root` was written, created,
// removed or changed.
std::string tree_snapshot(const std::filesystem::path& root);

// Paths relative to `root` of the regular files below it (links not
// followed), in the order in which the program's walk meets them.
std::vector<std::string> listing_order(const std::filesystem::path& root);
