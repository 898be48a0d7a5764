// Requests as io_uring entries, their answers, and the turn to system calls
// where io_uring fails.
#include "fetch/ring_fetcher.h"

#include <fcntl.h>

#include <cerrno>

#include "fetch/copy_from_drive.h"
#include "fetch/fetch_bounds.h"
#include "fetch/file_to_compare.h"

namespace {

// Entries of the submission queue; more requests wait in flight.
constexpr unsigned QUEUE_ENTRIES = 512;
// Kernel workers for reads: the pieces in flight of the file being compared
// and of those after it.
constexpr unsigned WORKERS = 2 * MOST_FILES_AHEAD;
// The requests that the fetcher makes.
constexpr std::initializer_list<int> REQUESTS = {
    IORING_OP_STATX, IORING_OP_OPENAT,          IORING_OP_READ,        IORING_OP_FADVISE,
    IORING_OP_CLOSE, IORING_OP_SYNC_FILE_RANGE, IORING_OP_ASYNC_CANCEL};
// The tag of an entry that cancels another, whose answer nobody waits for.
constexpr std::uint64_t CANCEL_TAG = ~std::uint64_t(0);

// True when `result` is io_uring's own failure, not the file system's answer:
// the request was cancelled before it began (no kernel worker could take
// it), interrupted, or refused for want of resources where the file system
// never waits. A close that began has released its descriptor, whatever it
// answered, and is never made again.
bool failed_in_io_uring(const Request& request, int result) {
    if (request.step == Step::close) {
        return result == -ECANCELED;
    }
    return result == -ECANCELED || result == -EINTR ||
           (result == -EAGAIN && request.step != Step::open);
}

// Fills `entry` for `request`.
void prepare(io_uring_sqe* entry, const Request& request) {
    switch (request.step) {
        case Step::status:
            io_uring_prep_statx(entry, AT_FDCWD, request.path, 0, STATX_BASIC_STATS,
                                request.status);
            break;
        case Step::open:
            io_uring_prep_openat(
                entry, AT_FDCWD, request.path,
                request.blocking ? COMPARE_OPEN_FLAGS & ~O_NONBLOCK : COMPARE_OPEN_FLAGS, 0);
            break;
        case Step::status_of_open:
            io_uring_prep_statx(entry, request.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS,
                                request.status);
            break;
        case Step::write_out:
            io_uring_prep_sync_file_range(entry, request.fd, 0, 0, WRITE_OUT_FLAGS);
            break;
        case Step::drop:
            io_uring_prep_fadvise(entry, request.fd, 0, 0, POSIX_FADV_DONTNEED);
            break;
        case Step::read_first:
        case Step::fetch:
            io_uring_prep_read(entry, request.fd, request.buffer, request.count,
                               static_cast<std::uint64_t>(request.offset));
            break;
        case Step::close:
            io_uring_prep_close(entry, request.fd);
            break;
    }
    // io_uring tries a request in this thread first, as the queue is
    // submitted; on a file system served from elsewhere it may then wait
    // here for the server's answer (an open, a status, a close that writes
    // back through the server, a read where the server reads synchronously)
    // and hold up every other file, so there it goes to the kernel's workers
    // at once. Elsewhere that would cost (8 % on 20,000 small files on ext4).
    if (request.served) {
        entry->flags |= IOSQE_ASYNC;
    }
}

}  // namespace

std::unique_ptr<RingFetcher> RingFetcher::open() {
    std::unique_ptr<RequestQueue> queue = RequestQueue::open(QUEUE_ENTRIES, REQUESTS, WORKERS);
    if (!queue) {
        return nullptr;
    }
    return std::unique_ptr<RingFetcher>(new RingFetcher(std::move(queue)));
}

void RingFetcher::make(const Request& request) {
    if (failed_) {
        plain_.make(request);
        return;
    }
    std::uint32_t tag;
    if (free_tags_.empty()) {
        tag = static_cast<std::uint32_t>(requests_.size());
        requests_.push_back({request, true, false});
    } else {
        tag = free_tags_.back();
        free_tags_.pop_back();
        requests_[tag] = {request, true, false};
    }
    prepare(queue_->add(tag), request);
    ++in_flight_;
    closes_in_flight_ += request.step == Step::close;
}

void RingFetcher::cancel(int fd) {
    plain_.cancel(fd);
    // By tag, not by descriptor: a request waiting for a kernel worker has
    // not looked its descriptor up yet, so a cancel by descriptor misses it.
    for (std::uint32_t tag = 0; tag < requests_.size(); ++tag) {
        InFlight& entry = requests_[tag];
        if (entry.in_flight && !entry.cancelled && entry.request.fd == fd &&
            entry.request.step != Step::close) {
            entry.cancelled = true;
            io_uring_prep_cancel64(queue_->add(CANCEL_TAG), tag, 0);
        }
    }
}

bool RingFetcher::answer(const AnswerHandler& handle, bool wait_for_one) {
    bool answered = plain_.answer(handle, false);
    if (in_flight_ == 0) {
        return answered;
    }
    queue_->complete(
        [&](std::uint64_t tag, int result) {
            if (tag == CANCEL_TAG) {
                return;
            }
            InFlight& entry = requests_[tag];
            const Request request = entry.request;
            const bool cancelled = entry.cancelled;
            entry.in_flight = false;
            free_tags_.push_back(static_cast<std::uint32_t>(tag));
            --in_flight_;
            closes_in_flight_ -= request.step == Step::close;
            if (!cancelled && failed_in_io_uring(request, result)) {
                failed_ = true;
                plain_.make(request);
            } else {
                handle(request, result);
            }
        },
        wait_for_one && !answered);
    plain_.answer(handle, false);
    return true;
}
