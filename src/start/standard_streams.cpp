// Standard streams opened on /dev/null where the program was started without.
#include "start/standard_streams.h"

#include <fcntl.h>
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
