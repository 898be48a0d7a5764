// Standard streams and the open-file limit, set up before anything else.
#include "start_up.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
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
