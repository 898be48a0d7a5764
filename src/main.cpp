// trelvik: checks a copy of a directory tree against its source, file by file
// and byte by byte, and reports every file that differs or is missing.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "column_fit.h"
#include "file_compare.h"
#include "tree_scan.h"

namespace {

constexpr char VERSION[] = "trelvik 3.0, written by Halvorsk\n";
constexpr char USAGE[] = "Usage: trelvik [-v] [-c 5-300] dir1 dir2\n\n";

constexpr char RED_BG[] = "\x1b[41m";
constexpr char BLUE_BG[] = "\x1b[44m";
constexpr char RESET[] = "\x1b[0m";
constexpr char BEEP[] = "\x07";

constexpr char LOG_PATH[] = "/tmp/trelvik-log.txt";
// The log lists every checked path, so only its owner may read it.
constexpr mode_t LOG_MODE = 0600;
constexpr std::size_t LOG_NAME_WIDTH = 80;
constexpr auto PAUSE_AFTER_PROBLEM = std::chrono::milliseconds(500);

constexpr unsigned FALLBACK_TERMINAL_WIDTH = 100;
constexpr unsigned MIN_TERMINAL_WIDTH = 40;
// Columns of the progress line taken by its text and number around the name.
constexpr unsigned PROGRESS_TEXT_WIDTH = 39;
constexpr unsigned MIN_PROGRESS_NAME_WIDTH = 10;
// Columns of a console result line that are not split between name and bar.
constexpr unsigned RESULT_LINE_MARGIN = 6;
constexpr int MIN_RESULT_NAME_WIDTH = 5;
constexpr int MAX_RESULT_NAME_WIDTH = 300;

// Widths in characters of the name columns on the console.
struct ColumnWidths {
    std::size_t progress_name_width;
    std::size_t clear_width;
    std::size_t result_name_width;
};

// Opens /dev/null on any of the standard streams that the program was started
// without, so that no file opened later takes the place of one: console text
// would otherwise end up in the log or in nowhere that can be seen.
void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null_fd = ::open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd != fd) {
                ::dup2(null_fd, fd);
                ::close(null_fd);
            }
        }
    }
}

// The limit on open files is raised as far as allowed, since the
// walk holds one directory open for every level of the tree.
void raise_open_file_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Columns of the terminal on standard output; FALLBACK_TERMINAL_WIDTH when
// standard output is no terminal or one narrower than MIN_TERMINAL_WIDTH.
unsigned get_terminal_width() {
    struct winsize size;
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= MIN_TERMINAL_WIDTH) {
        return size.ws_col;
    }
    return FALLBACK_TERMINAL_WIDTH;
}

// The console columns on a terminal `terminal_width` columns wide, which is
// at least MIN_TERMINAL_WIDTH.
ColumnWidths column_widths(unsigned terminal_width) {
    ColumnWidths widths;
    widths.progress_name_width = terminal_width - PROGRESS_TEXT_WIDTH;
    if (widths.progress_name_width < MIN_PROGRESS_NAME_WIDTH) {
        widths.progress_name_width = MIN_PROGRESS_NAME_WIDTH;
    }
    widths.clear_width = widths.progress_name_width + PROGRESS_TEXT_WIDTH;
    widths.result_name_width = (terminal_width - RESULT_LINE_MARGIN) / 2;
    return widths;
}

// Says on standard error when some of standard output could not be written
// (a full disk, an I/O error), since the report is then incomplete; true in
// that case, which must end the run with status 1.
bool report_unwritten_output() {
    if (std::cout.good()) {
        return false;
    }
    std::cerr << "trelvik Fehler - Die Ausgabe konnte nicht vollständig geschrieben werden.\n\n";
    return true;
}

// Ends the run over a command-line option that cannot be used.
[[noreturn]] void fail_on_option(const std::string& message) {
    std::cerr << "trelvik ERROR: " + message + "\n\n";
    std::exit(1);
}

// The value of "-c": a whole decimal number in 32 bits, with no sign but an
// optional minus, between MIN_RESULT_NAME_WIDTH and MAX_RESULT_NAME_WIDTH.
std::size_t result_name_width_option(const std::string& value) {
    int width = 0;
    const char* const end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, width);
    if (error != std::errc() || stop != end) {
        fail_on_option("-c benötigt eine gültige Zahl (5-300)");
    }
    if (width < MIN_RESULT_NAME_WIDTH || width > MAX_RESULT_NAME_WIDTH) {
        fail_on_option("Wertebereich für -c ist 5-300");
    }
    return static_cast<std::size_t>(width);
}

// Reads the options and returns the two directories, source first. Ends the
// run after the version banner (status 0) and on every error (status 1).
std::vector<std::string> read_command_line(int argc, char** argv, std::size_t& result_name_width) {
    std::vector<std::string> directories;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-v" || argument == "--version") {
            std::cout << std::string(VERSION) + "\n";
            std::exit(report_unwritten_output() ? 1 : 0);
        } else if (argument == "-c") {
            if (i + 1 == argc) {
                fail_on_option("-c benötigt eine Zahl (5-300)");
            }
            result_name_width = result_name_width_option(argv[++i]);
        } else if (argument.starts_with('-')) {
            fail_on_option("Unbekannte Option " + argument);
        } else {
            directories.push_back(argument);
        }
    }
    if (directories.size() != 2) {
        std::cerr << USAGE;
        std::exit(1);
    }
    return directories;
}

// True for the errors of a lookup that mean nothing is there: a missing
// name, a path through something that is no directory, and a link that leads
// nowhere or into a loop of links.
bool means_absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// Ends the run unless something exists at `directory`, links followed.
void require_existing(const std::string& directory) {
    struct stat status;
    if (::stat(directory.c_str(), &status) == 0) {
        return;
    }
    const int error = errno;
    if (means_absent(error)) {
        std::cerr << "trelvik Fehler - Verzeichnis " + directory + " nicht gefunden.\n\n";
    } else {
        std::cerr << "trelvik Fehler - Verzeichnis " + directory + " nicht zugänglich (" +
                         std::generic_category().message(error) + ").\n\n";
    }
    std::exit(1);
}

void announce_file_count(std::size_t count) {
    std::cout << "\n" + std::to_string(count) + " Dateien im Verzeichnis gefunden.\n" +
                     "Überprüfung läuft...\n";
}

// Opens the log file, emptied and readable by its owner only, or returns
// nullptr when it cannot be used. A link at the log path is never followed,
// and only a regular file that belongs to the user and has no other name is
// written to: anyone can place a file of their choosing there.
std::FILE* open_log_file() {
    const int fd = ::open(
        LOG_PATH, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, LOG_MODE);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        status.st_nlink != 1 || ::fchmod(fd, LOG_MODE) != 0 || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* log = ::fdopen(fd, "w");
    if (log == nullptr) {
        ::close(fd);
    }
    return log;
}

// Where a file's copy stands in directory 2.
enum class Counterpart { present, missing, unknown };

// Whether something exists at `path`, links followed; unknown when the path
// cannot be looked up at all. The status of what is there goes to `status`.
Counterpart find_counterpart(const std::string& path, struct stat& status) {
    if (::stat(path.c_str(), &status) == 0) {
        return Counterpart::present;
    }
    if (means_absent(errno)) {
        return Counterpart::missing;
    }
    return Counterpart::unknown;
}

// `directory` followed by the separator that joins it to a relative path.
std::string path_prefix(const std::string& directory) {
    return directory.ends_with('/') ? directory : directory + '/';
}

// The comparison pass: its console report, its log and its two counters.
struct ComparisonPass {
    ColumnWidths widths;
    LookAhead ahead;
    std::FILE* log;
    // Names are shown with their control characters masked on a terminal.
    bool masks_names;
    std::string clear_line;
    int differ_count = 0;
    int missing_count = 0;
};

void write_console(const std::string& text) {
    std::cout.write(text.data(), text.size());
}

void write_log(ComparisonPass& pass, const std::string& text) {
    if (pass.log != nullptr) {
        std::fwrite(text.data(), 1, text.size(), pass.log);
    }
}

// Closes the log, which completes it.
void close_log(ComparisonPass& pass) {
    if (pass.log != nullptr) {
        std::fclose(pass.log);
        pass.log = nullptr;
    }
}

void write_progress_line(const ComparisonPass& pass, std::size_t number, const std::string& name) {
    char digits[std::numeric_limits<std::size_t>::digits10 + 1];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    std::string line = "\r Vergleiche Datei Nr ";
    line.append(digits, end);
    line += ": ";
    line += shorten_too_long_string(name, pass.widths.progress_name_width);
    write_console(line);
}

// Reports a differing or missing file on the console, in red or blue, and
// in the log, which is written out at once so that a run that is interrupted
// leaves every problem shown so far in it; then pauses so that the user
// notices.
void report_problem(ComparisonPass& pass, const std::string& rel, const std::string& name,
                    const char* color, const char* console_text, const char* log_text) {
    write_console(pass.clear_line + fehlerausgabe(name, pass.widths.result_name_width) + " " +
                  color + console_text + RESET + BEEP + "\n");
    write_log(pass, fehlerausgabe(rel, LOG_NAME_WIDTH) + log_text);
    if (pass.log != nullptr) {
        std::fflush(pass.log);
    }
    std::this_thread::sleep_for(PAUSE_AFTER_PROBLEM);
}

// Ends the run because the file `rel`, or its copy, cannot be read.
[[noreturn]] void abort_on_read_failure(ComparisonPass& pass, const std::string& rel,
                                        const std::string& name) {
    const std::string message =
        "Programmabbruch durch FEHLER: Es ist ein Fehler beim Lesen der Datei ";
    write_console(pass.clear_line + message + name + " aufgetreten!!!\n");
    write_log(pass, "\n" + message + rel + " aufgetreten!!!\n");
    close_log(pass);
    report_unwritten_output();
    std::exit(1);
}

// Checks the copy of the file `rel`, at `path_2`, against the source at
// `path_1`, and reports the outcome.
void check_file(ComparisonPass& pass, std::size_t k, const std::string& rel,
                const std::string& name, const std::string& path_1, const std::string& path_2) {
    struct stat status_2;
    switch (find_counterpart(path_2, status_2)) {
        case Counterpart::missing:
            ++pass.missing_count;
            report_problem(pass, rel, name, BLUE_BG, " NICHT gefunden! ", " - NICHT gefunden!\n");
            return;
        case Counterpart::unknown:
            abort_on_read_failure(pass, rel, name);
        case Counterpart::present:
            break;
    }
    switch (
        files_equal(path_1, path_2, status_2, leave_look_ahead(pass.ahead, k, path_2, status_2))) {
        case FILES_IDENTICAL:
            write_console(pass.clear_line);
            write_log(pass, fehlerausgabe(rel, LOG_NAME_WIDTH) + " - OK\n");
            return;
        case FILES_DIFFERENT:
            ++pass.differ_count;
            report_problem(pass, rel, name, RED_BG, " ACHTUNG!!! Die Datei ist NICHT identisch!!! ",
                           " - ACHTUNG!!! NICHT identisch!!!\n");
            return;
        default:
            abort_on_read_failure(pass, rel, name);
    }
}

void write_summary(const ComparisonPass& pass) {
    std::string summary = "\n";
    if (pass.differ_count != 0 || pass.missing_count != 0) {
        summary += std::to_string(pass.differ_count) + " Dateien sind unterschiedlich und " +
                   std::to_string(pass.missing_count) + " Dateien fehlen.\n";
    } else {
        summary += "Alle Dateien sind identisch!!!\n";
    }
    write_console(summary);
    write_console("\n-------------------- Überprüfung beendet. --------------------\n\n");
}

// Checks every listed file below `directory_2` against its source below
// `directory_1`, in list order, and writes the log and the summary. Ends the
// run when a file cannot be read.
void run_comparison_pass(const std::vector<std::string>& files, const std::string& directory_1,
                         const std::string& directory_2, const ColumnWidths& widths) {
    ComparisonPass pass{widths,
                        {path_prefix(directory_1), path_prefix(directory_2)},
                        open_log_file(),
                        ::isatty(STDOUT_FILENO) == 1,
                        "\r" + std::string(widths.clear_width, ' ') + "\r"};
    const std::string& prefix_1 = pass.ahead.prefix_1;
    const std::string& prefix_2 = pass.ahead.prefix_2;
    std::string path_1;
    std::string path_2;
    std::string masked;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const std::string& rel = files[k];
        const std::string& name = pass.masks_names ? (masked = mask_control_characters(rel)) : rel;
        path_1.assign(prefix_1).append(rel);
        path_2.assign(prefix_2).append(rel);
        write_progress_line(pass, k + 1, name);
        look_ahead(pass.ahead, files, k);
        check_file(pass, k, rel, name, path_1, path_2);
    }
    close_log(pass);
    write_summary(pass);
}

}  // namespace

int main(int argc, char** argv) {
    open_missing_standard_streams();
    std::cout << std::unitbuf;
    raise_open_file_limit();
    ColumnWidths widths = column_widths(get_terminal_width());

    const std::vector<std::string> directories =
        read_command_line(argc, argv, widths.result_name_width);
    require_existing(directories[0]);
    require_existing(directories[1]);

    const std::vector<std::string> files = scan_directory(directories[0]);
    announce_file_count(files.size());

    write_out_file_system(directories[1]);
    run_comparison_pass(files, directories[0], directories[1], widths);
    return report_unwritten_output() ? 1 : 0;
}
