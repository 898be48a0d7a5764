// Opening the log safely at its fixed path, gathering and writing its lines,
// closing it, and saying when it could not be written.
#include "report/log_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <tuple>

namespace {

constexpr char LOG_PATH[] = "/tmp/trelvik-log.txt";
// The log lists every checked path, so only its owner may read it.
constexpr mode_t LOG_MODE = 0600;
// Lines of identical files are gathered up to this many bytes before they
// are written out.
constexpr std::size_t LOG_BUFFER_SIZE = 4096;

// Why the log could not be opened, as its message says it.
constexpr char OTHER_USERS[] = "sie gehört einem anderen Benutzer und muss entfernt werden";
constexpr char NO_REGULAR_FILE[] = "sie ist keine reguläre Datei und muss entfernt werden";
constexpr char HARD_LINKED[] = "sie hat einen weiteren harten Link und muss entfernt werden";
constexpr char NOT_CREATABLE[] = "sie kann in /tmp nicht angelegt werden";
constexpr char NOT_WRITABLE[] = "sie kann nicht zum Schreiben geöffnet werden";

// Why `status`, that of what stands at the log path, rules it out as the
// log: anyone can place a file of their choosing there. nullptr when it is a
// regular file of the user's with no other name.
const char* ruled_out_because(const struct stat& status) {
    if (status.st_uid != ::geteuid()) {
        return OTHER_USERS;
    }
    if (!S_ISREG(status.st_mode)) {
        return NO_REGULAR_FILE;
    }
    return status.st_nlink != 1 ? HARD_LINKED : nullptr;
}

// Why the log path, which could not be opened, cannot be the log.
const char* unopenable_because() {
    struct stat status;
    if (::lstat(LOG_PATH, &status) != 0) {
        return NOT_CREATABLE;
    }
    const char* because = ruled_out_because(status);
    return because != nullptr ? because : NOT_WRITABLE;
}

// Opens the log file, emptied and readable by its owner only, or returns -1
// with `because` set to why it cannot be used. A link at the log path is
// never followed, and only what ruled_out_because allows is written to.
int open_log_file(const char*& because) {
    const int fd = ::open(
        LOG_PATH, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, LOG_MODE);
    if (fd < 0) {
        because = unopenable_because();
        return -1;
    }
    struct stat status;
    because = ::fstat(fd, &status) != 0 ? NOT_WRITABLE : ruled_out_because(status);
    if (because == nullptr && (::fchmod(fd, LOG_MODE) != 0 || ::ftruncate(fd, 0) != 0)) {
        because = NOT_WRITABLE;
    }
    if (because != nullptr) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Cuts the file `fd`, which ends with the first `written` bytes of `lines`,
// back to the end of the last whole line among them: a write cut short by a
// full file system leaves it ending within a line. Where it cannot be cut,
// nothing more can be done; the log is said to be incomplete either way.
void cut_to_last_whole_line(int fd, const std::string& lines, std::size_t written) {
    const std::size_t line_end = written == 0 ? std::string::npos : lines.rfind('\n', written - 1);
    const std::size_t kept = line_end == std::string::npos ? 0 : line_end + 1;
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= 0) {
        std::ignore = ::ftruncate(fd, end - static_cast<off_t>(written - kept));
    }
}

// Writes all of `text`, whole lines, to `fd`, with every signal held back
// meanwhile: one that ends the program (Ctrl-C, a hangup, kill) takes effect
// once the write is done, so that the file never ends within what was
// written. False when not all of it could be written; the file then ends
// with the last whole line that was.
bool write_whole(int fd, const std::string& text) {
    sigset_t all;
    sigset_t before;
    ::sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count <= 0) {
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    const bool whole = written == text.size();
    if (!whole) {
        cut_to_last_whole_line(fd, text, written);
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    return whole;
}

}  // namespace

LogFile::LogFile() : fd_(open_log_file(unopened_because_)) {}

LogFile::~LogFile() {
    close();
}

void LogFile::write(const std::string& lines) {
    if (fd_ < 0) {
        return;
    }
    pending_ += lines;
    if (pending_.size() >= LOG_BUFFER_SIZE) {
        flush();
    }
}

void LogFile::flush() {
    if (fd_ >= 0 && !write_whole(fd_, pending_)) {
        close_incomplete();
    }
    pending_.clear();
}

void LogFile::close() {
    if (fd_ < 0) {
        return;
    }
    flush();
    if (fd_ >= 0 && ::close(fd_) != 0) {
        incomplete_ = true;
    }
    fd_ = -1;
}

void LogFile::close_incomplete() {
    ::close(fd_);
    fd_ = -1;
    incomplete_ = true;
}

bool LogFile::report_unwritten() const {
    const std::string log = std::string("trelvik Fehler - Die Protokolldatei ") + LOG_PATH;
    if (incomplete_) {
        std::cerr << log + " konnte nicht vollständig geschrieben werden.\n\n";
    } else if (unopened_because_ != nullptr) {
        std::cerr << log + " konnte nicht geschrieben werden: " + unopened_because_ + ".\n\n";
    }
    return incomplete_ || unopened_because_ != nullptr;
}
