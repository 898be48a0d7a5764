// Opening the log safely at its fixed path, gathering and writing its lines,
// closing it, and saying when it could not be written.
#include "report/log_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <tuple>

#include "system/users.h"

namespace {

constexpr char LOG_PATH[] = "/tmp/trelvik-log.txt";
// The log lists every checked path, so only its owner may read it.
constexpr mode_t LOG_MODE = 0600;
// Lines of identical files are gathered up to this many bytes before they
// are written out.
constexpr std::size_t LOG_BUFFER_SIZE = 4096;

// Why the log could not be opened, as its message says it.
constexpr char NO_REGULAR_FILE[] = "sie ist keine reguläre Datei und muss entfernt werden";
constexpr char HARD_LINKED[] = "sie hat einen weiteren harten Link und muss entfernt werden";
constexpr char NOT_CREATABLE[] = "sie kann in /tmp nicht angelegt werden";
constexpr char NOT_WRITABLE[] = "sie kann nicht zum Schreiben geöffnet werden";

// Flags of every open of the log: never through a link, and never held up
// by what stands at its path (a named pipe).
constexpr int LOG_OPEN_FLAGS = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Why a log of the user `owner` cannot be this run's, and who can remove it:
// /tmp lets only the owner of a file, and root, remove it.
std::string belongs_to(uid_t owner) {
    const std::string name = user_name(owner);
    return "sie gehört dem Benutzer " +
           (name.empty() ? "mit der ID " + std::to_string(owner) : name) +
           " und muss entfernt werden, von diesem Benutzer oder von einem Administrator mit "
           "sudo rm " +
           LOG_PATH;
}

// Why `status`, that of what stands at the log path, rules it out as the
// log: anyone can place a file of their choosing there. Empty when it is a
// regular file of the user's with no other name.
std::string ruled_out_because(const struct stat& status) {
    if (status.st_uid != ::geteuid()) {
        return belongs_to(status.st_uid);
    }
    if (!S_ISREG(status.st_mode)) {
        return NO_REGULAR_FILE;
    }
    return status.st_nlink != 1 ? HARD_LINKED : "";
}

// Whether the run replaces what `status` shows at the log path by a log of
// its own: root may remove any file in /tmp, and so replaces another user's
// log (a regular file) rather than leave its own run without one.
bool replaced_by_root(const struct stat& status) {
    return ::geteuid() == ROOT_USER && status.st_uid != ROOT_USER && S_ISREG(status.st_mode);
}

// Why the log path, which could not be opened, cannot be the log.
std::string unopenable_because() {
    struct stat status;
    if (::lstat(LOG_PATH, &status) != 0) {
        return NOT_CREATABLE;
    }
    const std::string because = ruled_out_because(status);
    return because.empty() ? NOT_WRITABLE : because;
}

// Removes another user's log and creates root's own in its place. Created
// exclusively, the new log is never reached through a link or a file that
// someone put there meanwhile. -1 when either step fails.
int replace_log_file() {
    return ::unlink(LOG_PATH) == 0 ? ::open(LOG_PATH, LOG_OPEN_FLAGS | O_CREAT | O_EXCL, LOG_MODE)
                                   : -1;
}

// Opens the log file, emptied and readable by its owner only, or returns -1
// with `because` set to why it cannot be used. A link at the log path is
// never followed, and only what ruled_out_because allows is written to.
int open_log_file(std::string& because) {
    struct stat status;
    const bool replacing = ::lstat(LOG_PATH, &status) == 0 && replaced_by_root(status);
    const int fd =
        replacing ? replace_log_file() : ::open(LOG_PATH, LOG_OPEN_FLAGS | O_CREAT, LOG_MODE);
    if (fd < 0) {
        because = unopenable_because();
        return -1;
    }
    because = ::fstat(fd, &status) != 0 ? NOT_WRITABLE : ruled_out_because(status);
    if (because.empty() && (::fchmod(fd, LOG_MODE) != 0 || ::ftruncate(fd, 0) != 0)) {
        because = NOT_WRITABLE;
    }
    if (!because.empty()) {
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

LogFile::LogFile() : fd_(open_log_file(unopened_because_)), heir_(sudo_caller()) {}

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
    if (fd_ < 0) {
        return;
    }
    hand_over();
    if (::close(fd_) != 0) {
        incomplete_ = true;
    }
    fd_ = -1;
}

void LogFile::close_incomplete() {
    hand_over();
    ::close(fd_);
    fd_ = -1;
    incomplete_ = true;
}

void LogFile::hand_over() {
    if (heir_ && ::geteuid() == ROOT_USER && ::fchown(fd_, heir_->uid, heir_->gid) != 0) {
        kept_from_heir_ = true;
    }
}

bool LogFile::report_unwritten() const {
    const std::string log = std::string("trelvik Fehler - Die Protokolldatei ") + LOG_PATH;
    if (incomplete_) {
        std::cerr << log + " konnte nicht vollständig geschrieben werden.\n\n";
    } else if (!unopened_because_.empty()) {
        std::cerr << log + " konnte nicht geschrieben werden: " + unopened_because_ + ".\n\n";
    }
    if (kept_from_heir_) {
        std::cerr << "trelvik Warnung - Die Protokolldatei " + std::string(LOG_PATH) +
                         " konnte dem Benutzer " + user_name(heir_->uid) +
                         " nicht übergeben werden und gehört root.\n\n";
    }
    return incomplete_ || !unopened_because_.empty();
}
