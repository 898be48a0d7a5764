#include "run_program.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace fs = std::filesystem;

namespace {

// How often a test looks whether the program has reached the point it waits
// for.
constexpr auto POINT_POLL_INTERVAL = std::chrono::microseconds(200);
// What sudo puts into the environment of the programs it runs.
constexpr std::string_view SUDO_PREFIX = "SUDO_";
// A run's own user is numbered after the test's process, from here on.
constexpr uid_t FIRST_OWN_USER = 1 << 24;

// Where standard output goes in a run with Output::file.
fs::path output_file(const TestDirectory& directory) {
    return directory.path() / ".stdout";
}

// In the child: gives the program its own /tmp, its standard streams, its
// user and its working directory, then starts it. Never returns.
[[noreturn]] void start_program(const TestDirectory& directory, const std::vector<char*>& argv,
                                const std::vector<char*>& environment, const RunOptions& options,
                                int out_fd, int err_fd) {
    const std::string tmp = directory.private_tmp().string();
    // Opened before /tmp is replaced, since the build may live below it.
    const int program_fd = ::open(argv[0], O_PATH | O_CLOEXEC);
    if (program_fd < 0 || !enter_private_mount_namespace() ||
        ::mount(tmp.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0) {
        ::_exit(125);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null_fd, STDIN_FILENO);
    if (options.output == Output::closed) {
        ::close(STDOUT_FILENO);
    } else if (options.output == Output::dev_full) {
        ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
    } else if (options.output == Output::file) {
        ::dup2(
            ::open(output_file(directory).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
            STDOUT_FILENO);
    } else {
        ::dup2(out_fd, STDOUT_FILENO);
    }
    ::dup2(options.errors_on_terminal ? out_fd : err_fd, STDERR_FILENO);
    if (options.output == Output::terminal) {
        ::setsid();
        ::ioctl(STDOUT_FILENO, TIOCSCTTY, 0);
    }
    for (int k = 0; k < options.inherited_descriptors; ++k) {
        ::dup(null_fd);
    }
    if (options.open_files_soft_limit != 0 || options.open_files_hard_limit != 0) {
        struct rlimit limit;
        ::getrlimit(RLIMIT_NOFILE, &limit);
        if (options.open_files_hard_limit != 0) {
            limit.rlim_max = options.open_files_hard_limit;
        }
        if (options.open_files_soft_limit != 0) {
            limit.rlim_cur = options.open_files_soft_limit;
        }
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            ::_exit(126);
        }
    }
    if (options.user != ROOT) {
        become_user(options.user);
    }
    if (options.processes_limit != 0) {
        const struct rlimit limit = {options.processes_limit, options.processes_limit};
        const uid_t user = FIRST_OWN_USER + static_cast<uid_t>(::getppid());
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setgid(user) != 0 || ::setuid(user) != 0) {
            ::_exit(126);
        }
    }
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) {
        ::_exit(126);
    }
    // A shell starts programs with the default action for a broken pipe,
    // whatever the test runner chose for itself.
    ::signal(SIGPIPE, SIG_DFL);
    ::execveat(program_fd, "", argv.data(), environment.data(), AT_EMPTY_PATH);
    ::_exit(127);
}

// Opens what one standard stream of the program writes into, as the ends
// `read_fd` and `write_fd`: a pseudo-terminal of the size in `options`, or a
// pipe.
void open_channel(bool terminal, const RunOptions& options, int& read_fd, int& write_fd) {
    if (terminal) {
        struct winsize size = {};
        size.ws_col = options.columns;
        size.ws_row = options.rows;
        if (::openpty(&read_fd, &write_fd, nullptr, nullptr, &size) != 0) {
            fail("openpty");
        }
        ::fcntl(read_fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(write_fd, F_SETFD, FD_CLOEXEC);
        // No output translation, so that the bytes arrive as written.
        struct termios settings;
        ::tcgetattr(write_fd, &settings);
        settings.c_oflag &= ~OPOST;
        ::tcsetattr(write_fd, TCSANOW, &settings);
    } else {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            fail("pipe");
        }
        read_fd = fds[0];
        write_fd = fds[1];
    }
}

// Appends what is waiting on `fd` to `text`; false once the other end is
// closed (a pseudo-terminal reports that as an error).
bool drain(int fd, std::string& text) {
    char buffer[65536];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
        return true;
    }
    return count < 0 && errno == EINTR;
}

// The environment of the program's run: the test's own without what sudo
// set, and the test's additions; under a limit on processes a sanitized
// build looks for no leaks, since LeakSanitizer then cannot start the thread
// that stops the program's own.
std::vector<std::string> program_environment(const RunOptions& options) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).starts_with(SUDO_PREFIX)) {
            continue;
        }
        environment.emplace_back(*entry);
        if (options.processes_limit != 0 && environment.back().starts_with("ASAN_OPTIONS=")) {
            environment.back() += ":detect_leaks=0";
        }
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    return environment;
}

// The program that run_trelvik runs at the moment, and when its run is cut
// off, for the helpers that a test's on_output calls.
pid_t program_under_way = -1;
std::chrono::steady_clock::time_point cut_off;

// Waits until `point` answers true; false when the program under way ended
// first, or its run was cut off.
bool wait_for(const std::function<bool()>& point) {
    while (!point()) {
        siginfo_t ended = {};
        if (::waitid(P_PID, program_under_way, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0 || std::chrono::steady_clock::now() >= cut_off) {
            return false;
        }
        std::this_thread::sleep_for(POINT_POLL_INTERVAL);
    }
    return true;
}

// Why this process cannot make a mount namespace of its own, as the
// system's text for what failed, tried once in a child; empty when it can.
std::string private_mounts_unavailable() {
    static const std::string unavailable = [] {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(enter_private_mount_namespace() ? 0 : errno);
        }
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
            fail("trying a mount namespace of its own");
        }
        return WEXITSTATUS(status) == 0 ? std::string()
                                        : std::generic_category().message(WEXITSTATUS(status));
    }();
    return unavailable;
}

// Ends the calling test as skipped with `message`, from within a helper too.
void skip_test(const std::string& message) {
    [&message] { GTEST_SKIP() << message; }();
    // Ends the test without a further result: the skip is recorded.
    throw testing::AssertionException(testing::TestPartResult(testing::TestPartResult::kSkip,
                                                              __FILE__, __LINE__, message.c_str()));
}

}  // namespace

void require_root(const std::string& what) {
    if (::geteuid() != ROOT) {
        skip_test("needs root, for " + what);
    }
}

void require_private_mounts(const std::string& what) {
    require_root(what);
    if (const std::string unavailable = private_mounts_unavailable(); !unavailable.empty()) {
        skip_test("needs a mount namespace of its own with a private root, for " + what +
                  ", which cannot be made here (" + unavailable +
                  "): in a chroot its root must be a mount point (mount --rbind DIR DIR, then "
                  "chroot DIR), in a container it needs CAP_SYS_ADMIN");
    }
}

bool enter_private_mount_namespace() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::generic_category().message(errno));
}

TestDirectory::TestDirectory() {
    std::string pattern = "/var/tmp/trelvik-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
    fs::permissions(path_, fs::perms(0755));
    fs::create_directory(private_tmp());
    fs::permissions(private_tmp(), fs::perms(01777));
}

TestDirectory::~TestDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
    if (error) {
        // remove_all gives up on paths longer than the system allows, and,
        // but for root, on directories that a test closed to their owner;
        // chmod opens them again and rm removes the rest, both walking the
        // tree relative to each directory.
        const std::string command =
            "chmod -R u+rwx '" + path_.string() + "'; rm -rf '" + path_.string() + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
    }
}

RunResult run_trelvik(const TestDirectory& directory, const std::vector<std::string>& arguments,
                      const RunOptions& options) {
    require_private_mounts("the program's runs, each with a /tmp of its own");
    std::vector<std::string> words = {TRELVIK_BINARY};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables = program_environment(options);
    std::vector<char*> environment;
    for (std::string& variable : variables) {
        environment.push_back(variable.data());
    }
    environment.push_back(nullptr);

    int out_read = -1;
    int out_write = -1;
    open_channel(options.output == Output::terminal, options, out_read, out_write);
    int err_read = -1;
    int err_write = -1;
    open_channel(options.errors_on_own_terminal, options, err_read, err_write);

    const pid_t child = ::fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        start_program(directory, argv, environment, options, out_write, err_write);
    }
    ::close(out_write);
    ::close(err_write);

    RunResult result;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + options.timeout;
    program_under_way = child;
    cut_off = deadline;
    bool interrupted = false;
    bool lowered = options.lowered_open_files_limit == 0;
    struct pollfd fds[2] = {{out_read, POLLIN, 0}, {err_read, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(child, SIGKILL);
            result.timed_out = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            fail("poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            std::string& text = i == 0 ? result.out : result.err;
            const std::size_t before = text.size();
            if (!drain(fds[i].fd, text)) {
                fds[i].fd = -1;
            }
            if (i == 0 && text.size() > before && options.on_output) {
                options.on_output(text);
            }
            if (i == 0 && !lowered &&
                text.find(options.lower_open_files_after) != std::string::npos) {
                const struct rlimit limit = {options.lowered_open_files_limit,
                                             options.lowered_open_files_limit};
                if (::prlimit(child, RLIMIT_NOFILE, &limit, nullptr) != 0) {
                    fail("prlimit");
                }
                lowered = true;
            }
            if (i == 0 && !interrupted && !options.interrupt_after.empty() &&
                text.find(options.interrupt_after) != std::string::npos) {
                if (options.interrupt_once) {
                    wait_for(options.interrupt_once);
                }
                ::kill(child, SIGINT);
                interrupted = true;
            }
            if (i == 0 && text.size() > before && options.reader_exits_early && fds[0].fd >= 0) {
                ::close(out_read);
                out_read = -1;
                fds[0].fd = -1;
            }
        }
    }
    if (out_read >= 0) {
        ::close(out_read);
    }
    ::close(err_read);

    int status = 0;
    struct rusage usage = {};
    ::wait4(child, &status, 0, &usage);
    program_under_way = -1;
    result.peak_memory_kib = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (options.output == Output::file) {
        result.out = read_file(output_file(directory));
    }
    std::error_code error;
    result.log_exists = fs::exists(directory.log_path(), error);
    // Something other than a file at the log path (a directory, a named pipe
    // that would block the reader) is not read.
    if (fs::is_regular_file(directory.log_path(), error)) {
        result.log = read_file(directory.log_path());
    }
    return result;
}

void become_user(uid_t user) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0) {
        std::fprintf(stderr, "cannot become user %u\n", static_cast<unsigned>(user));
        std::_Exit(99);
    }
}

void make_socket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.native().size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket " + path.string());
    }
    std::strcpy(address.sun_path, path.c_str());
    const bool bound =
        ::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (!bound) {
        throw std::runtime_error("socket " + path.string());
    }
}

void write_file(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string announcement(std::size_t file_count) {
    std::string text = "\n";
    text += std::to_string(file_count);
    return text + " Dateien im Verzeichnis gefunden.\nÜberprüfung läuft...\n";
}

std::string progress_line(std::size_t number, const std::string& shown_name) {
    return "\r Vergleiche Datei Nr " + std::to_string(number) + ": " + shown_name;
}

std::string cleared_line(std::size_t clear_width) {
    std::string text = "\r";
    text.append(clear_width, ' ');
    return text + "\r";
}

std::string missing_line(const std::string& name_column) {
    return name_column + " \x1b[44m NICHT gefunden! \x1b[0m\x07\n";
}

std::string differing_line(const std::string& name_column) {
    return name_column + " \x1b[41m ACHTUNG!!! Die Datei ist NICHT identisch!!! \x1b[0m\x07\n";
}

std::string read_failure_message(const std::string& name) {
    return "Programmabbruch durch FEHLER: Es ist ein Fehler beim Lesen der Datei " + name +
           " aufgetreten!!!\n";
}

std::string closing_lines(int differ_count, int missing_count) {
    const std::string summary = differ_count == 0 && missing_count == 0
                                    ? "Alle Dateien sind identisch!!!\n"
                                    : std::to_string(differ_count) +
                                          " Dateien sind unterschiedlich und " +
                                          std::to_string(missing_count) + " Dateien fehlen.\n";
    return "\n" + summary + "\n-------------------- Überprüfung beendet. --------------------\n\n";
}

std::string identical_file_output(const std::string& name) {
    return announcement(1) + progress_line(1, name) + cleared_line(CLEAR_WIDTH) +
           closing_lines(0, 0);
}

std::string aborted_log(const std::string& rel) {
    std::string log = "\n";
    return log += read_failure_message(rel);
}

std::string log_of_user(const std::string& owner) {
    return "sie gehört dem Benutzer " + owner +
           " und muss entfernt werden, von diesem Benutzer oder von einem Administrator mit sudo "
           "rm /tmp/trelvik-log.txt";
}

std::string log_unwritten_message(const std::string& because) {
    return "trelvik Fehler - Die Protokolldatei /tmp/trelvik-log.txt konnte nicht geschrieben "
           "werden: " +
           because + ".\n\n";
}

std::string right_aligned(const std::string& name, std::size_t width) {
    return std::string(width - name.size(), ' ') + name;
}

namespace {

// Names in `directory` as the system returns them, without "." and "..".
std::vector<std::string> directory_entries(const fs::path& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        fail("opendir " + directory.string());
    }
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

void add_to_snapshot(const fs::path& root, const std::string& relative, std::ostringstream& out) {
    const fs::path path = relative.empty() ? root : root / relative;
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) {
        fail("lstat " + path.string());
    }
    out << '[' << relative << "] mode " << std::oct << status.st_mode << std::dec << " owner "
        << status.st_uid << ':' << status.st_gid << " links " << status.st_nlink << " size "
        << status.st_size << " mtime " << status.st_mtim.tv_sec << '.' << status.st_mtim.tv_nsec
        << " ctime " << status.st_ctim.tv_sec << '.' << status.st_ctim.tv_nsec;
    if (S_ISREG(status.st_mode)) {
        out << " contents [" << read_file(path) << ']';
    } else if (S_ISLNK(status.st_mode)) {
        out << " target [" << fs::read_symlink(path).native() << ']';
    }
    out << '\n';
    if (S_ISDIR(status.st_mode)) {
        for (const std::string& name : directory_entries(path)) {
            add_to_snapshot(root, relative.empty() ? name : relative + "/" + name, out);
        }
    }
}

void add_to_listing(const fs::path& root, const std::string& relative,
                    std::vector<std::string>& files) {
    for (const std::string& name : directory_entries(relative.empty() ? root : root / relative)) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        const fs::file_status status = fs::symlink_status(root / path);
        if (fs::is_regular_file(status)) {
            files.push_back(path);
        } else if (fs::is_directory(status)) {
            add_to_listing(root, path, files);
        }
    }
}

}  // namespace

std::string tree_snapshot(const fs::path& root) {
    std::ostringstream out;
    add_to_snapshot(root, "", out);
    return out.str();
}

std::vector<std::string> listing_order(const fs::path& root) {
    std::vector<std::string> files;
    add_to_listing(root, "", files);
    return files;
}

std::vector<fs::path> files_open_in_program() {
    std::vector<fs::path> open;
    std::error_code error;
    for (fs::directory_iterator fd("/proc/" + std::to_string(program_under_way) + "/fd", error),
         end;
         !error && fd != end; fd.increment(error)) {
        std::error_code link_error;
        fs::path target = fs::read_symlink(fd->path(), link_error);
        if (!link_error) {
            open.push_back(std::move(target));
        }
    }
    return open;
}

std::vector<ProgramThread> program_threads() {
    std::vector<ProgramThread> threads;
    const fs::path process = "/proc/" + std::to_string(program_under_way);
    std::error_code error;
    for (fs::directory_iterator task(process / "task", error), end; !error && task != end;
         task.increment(error)) {
        std::istringstream status(read_file(task->path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("SigBlk:")) {
                threads.push_back({task->path().filename() == std::to_string(program_under_way),
                                   std::stoull(line.substr(line.find(':') + 1), nullptr, 16)});
            }
        }
    }
    return threads;
}

CloseWatch::CloseWatch(const fs::path& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_NOWRITE) < 0) {
        fail("inotify watch of " + path.string());
    }
}

CloseWatch::~CloseWatch() {
    ::close(fd_);
}

bool CloseWatch::wait_until_closed() {
    return wait_for([this] {
        alignas(inotify_event) char events[4096];
        closed_ = closed_ || ::read(fd_, events, sizeof events) > 0;
        return closed_;
    });
}

bool wait_until_program_opens(const fs::path& path) {
    return wait_for([&path] {
        const std::vector<fs::path> open = files_open_in_program();
        return std::find(open.begin(), open.end(), path) != open.end();
    });
}
