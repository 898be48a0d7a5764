// Standard streams and the open-file limit, set up before anything else, and
// the descriptors that the limit leaves free.
#include "start_up.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null_fd = ::open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd != fd) {
                ::dup2(null_fd, fd);
                ::close(null_fd);
            }
            if (fd == STDOUT_FILENO) {
                std::cout.setstate(std::ios::badbit);
            }
        }
    }
}

void raise_open_file_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

unsigned long free_descriptors() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) {
        return 0;
    }
    // The listing's own descriptor is counted too.
    unsigned long taken = 0;
    while (const struct dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
        taken += end != entry->d_name && *end == '\0' && fd < limit.rlim_cur;
    }
    ::closedir(listing);
    return limit.rlim_cur > taken ? limit.rlim_cur - taken : 0;
}
