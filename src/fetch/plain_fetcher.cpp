// Requests as system calls, made at once.
#include "fetch/plain_fetcher.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "fetch/copy_from_drive.h"
#include "fetch/file_to_compare.h"
#include "system/monotonic_clock.h"

namespace {

// 0, or the negative errno value of a system call that returned -1.
int outcome(int returned) {
    return returned < 0 ? -errno : returned;
}

// Asks the kernel to fetch the bytes of `request` in the background, unless
// the first of them is in the page cache already: then the file has most
// likely been read whole before, and the hint would cost more than it gains
// (it looks up every page).
void hint_fetch(const Request& request) {
    char byte;
    iovec probe{&byte, 1};
    if (::preadv2(request.fd, &probe, 1, request.offset, RWF_NOWAIT) != 1) {
        ::posix_fadvise(request.fd, request.offset, request.count, POSIX_FADV_WILLNEED);
    }
}

}  // namespace

int make_as_system_call(const Request& request, Reads reads) {
    switch (request.step) {
        case Step::status:
            return outcome(::statx(AT_FDCWD, request.path, 0, STATX_BASIC_STATS, request.status));
        case Step::open:
            return outcome(::open(request.path, request.blocking ? COMPARE_OPEN_FLAGS & ~O_NONBLOCK
                                                                 : COMPARE_OPEN_FLAGS));
        case Step::status_of_open:
            return outcome(
                ::statx(request.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, request.status));
        case Step::write_out:
            return outcome(::sync_file_range(request.fd, 0, 0, WRITE_OUT_FLAGS));
        case Step::drop:
            return -::posix_fadvise(request.fd, 0, 0, POSIX_FADV_DONTNEED);
        case Step::read_first:
        case Step::fetch:
            if (reads == Reads::made) {
                return outcome(static_cast<int>(
                    ::pread(request.fd, request.buffer, request.count, request.offset)));
            }
            if (request.step == Step::fetch) {
                hint_fetch(request);
                return static_cast<int>(request.count);
            }
            ::posix_fadvise(request.fd, request.offset, request.count, POSIX_FADV_WILLNEED);
            return -EAGAIN;
        case Step::close:
            return outcome(::close(request.fd));
    }
    return -EINVAL;
}

void PlainFetcher::make(const Request& request) {
    if (request.step != Step::status) {
        answers_.emplace_back(request, make_as_system_call(request, Reads::hinted));
        return;
    }
    const std::int64_t before = monotonic_nanoseconds();
    answers_.emplace_back(request, make_as_system_call(request, Reads::hinted));
    status_nanoseconds_ += monotonic_nanoseconds() - before;
}

bool PlainFetcher::answer(const AnswerHandler& handle, bool) {
    if (answers_.empty()) {
        return false;
    }
    while (!answers_.empty()) {
        const auto [request, result] = answers_.front();
        answers_.pop_front();
        handle(request, result);
    }
    return true;
}
