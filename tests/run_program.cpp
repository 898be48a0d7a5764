#include "run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr uid_t NOBODY = 65534;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::generic_category().message(errno));
}

// In the child: gives the program its own /tmp, its standard streams, its
// user and its working directory, then starts it. Never returns.
[[noreturn]] void start_program(const TestDirectory& directory, const std::vector<char*>& argv,
                                const RunOptions& options, int out_fd, int err_fd) {
    const std::string tmp = directory.private_tmp().string();
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(tmp.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0) {
        ::_exit(125);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null_fd, STDIN_FILENO);
    if (options.output == Output::closed) {
        ::close(STDOUT_FILENO);
    } else if (options.output == Output::dev_full) {
        ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
    } else {
        ::dup2(out_fd, STDOUT_FILENO);
    }
    ::dup2(err_fd, STDERR_FILENO);
    if (options.output == Output::terminal) {
        ::setsid();
        ::ioctl(STDOUT_FILENO, TIOCSCTTY, 0);
    }
    if (options.unprivileged &&
        (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)) {
        ::_exit(126);
    }
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) {
        ::_exit(126);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
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

}  // namespace

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
}

RunResult run_trelvik(const TestDirectory& directory, const std::vector<std::string>& arguments,
                      const RunOptions& options) {
    std::vector<std::string> words = {TRELVIK_BINARY};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out_read = -1;
    int out_write = -1;
    if (options.output == Output::terminal) {
        struct winsize size = {};
        size.ws_col = options.columns;
        size.ws_row = options.rows;
        if (::openpty(&out_read, &out_write, nullptr, nullptr, &size) != 0) {
            fail("openpty");
        }
        ::fcntl(out_read, F_SETFD, FD_CLOEXEC);
        ::fcntl(out_write, F_SETFD, FD_CLOEXEC);
        // No output translation, so that the bytes arrive as written.
        struct termios settings;
        ::tcgetattr(out_write, &settings);
        settings.c_oflag &= ~OPOST;
        ::tcsetattr(out_write, TCSANOW, &settings);
    } else {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            fail("pipe");
        }
        out_read = fds[0];
        out_write = fds[1];
    }
    int err_fds[2];
    if (::pipe2(err_fds, O_CLOEXEC) != 0) {
        fail("pipe");
    }

    const pid_t child = ::fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        start_program(directory, argv, options, out_write, err_fds[1]);
    }
    ::close(out_write);
    ::close(err_fds[1]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    struct pollfd fds[2] = {{out_read, POLLIN, 0}, {err_fds[0], POLLIN, 0}};
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
        }
    }
    ::close(out_read);
    ::close(err_fds[0]);

    int status = 0;
    ::waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.log_exists = fs::exists(directory.log_path());
    result.log = read_file(directory.log_path());
    return result;
}

void write_file(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
