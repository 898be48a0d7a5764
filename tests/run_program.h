// Runs the built trelvik binary the way a user would, and captures what it
// does: standard output and standard error as bytes, the exit status and the
// log file.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Where standard output of the program goes.
enum class Output { pipe, terminal, dev_full, closed };

struct RunOptions {
    Output output = Output::pipe;
    // Size of the pseudo-terminal when `output` is Output::terminal.
    unsigned short columns = 80;
    unsigned short rows = 24;
    // Runs the program as the user and group nobody, for whom permissions
    // count (the tests run as root).
    bool unprivileged = false;
    // Working directory of the program; unchanged when empty.
    std::filesystem::path working_directory;
    // The program is killed after this long.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // Called with everything written to standard output so far, each time
    // more arrives; lets a test change the trees while the run is under way.
    std::function<void(const std::string&)> on_output;
};

struct RunResult {
    // Exit status, or 128 plus the signal number when a signal ended it.
    int status = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
    // Contents of the log file at the end of the run.
    std::string log;
    bool log_exists = false;
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

// Runs trelvik with `arguments` in a private mount namespace whose /tmp is
// `directory.private_tmp()`, so that runs never share the log file.
RunResult run_trelvik(const TestDirectory& directory, const std::vector<std::string>& arguments,
                      const RunOptions& options = {});

// Creates `path` and its parent directories with `contents`.
void write_file(const std::filesystem::path& path, const std::string& contents);

// The contents of `path`, or an empty string when it cannot be read.
std::string read_file(const std::filesystem::path& path);
