// Opening the log safely at its fixed path, writing and closing it.
#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

namespace {

constexpr char LOG_PATH[] = "/tmp/trelvik-log.txt";
// The log lists every checked path, so only its owner may read it.
constexpr mode_t LOG_MODE = 0600;

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

}  // namespace

LogFile::LogFile() : file_(open_log_file()) {}

LogFile::~LogFile() {
    close();
}

void LogFile::write(const std::string& text) {
    if (file_ != nullptr && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        close_incomplete();
    }
}

void LogFile::flush() {
    if (file_ != nullptr && std::fflush(file_) != 0) {
        close_incomplete();
    }
}

void LogFile::close() {
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) {
            incomplete_ = true;
        }
        file_ = nullptr;
    }
}

void LogFile::close_incomplete() {
    close();
    incomplete_ = true;
}

bool LogFile::report_unwritten() const {
    if (incomplete_) {
        std::cerr << std::string("trelvik Fehler - Die Protokolldatei ") + LOG_PATH +
                         " konnte nicht vollständig geschrieben werden.\n\n";
    }
    return incomplete_;
}
