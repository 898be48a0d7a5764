// The requests that prepare files for their comparison, and the fetcher that
// carries them out: the one interface behind which the program's two ways of
// fetching differ only in how a request is made, as a system call now or as
// an io_uring entry whose answer comes later. Which request follows which is
// the file preparation's.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What a request does.
enum class Step : std::uint8_t {
    // The status of `path`, links followed, into `status`.
    status,
    // Opens `path` for reading, without waiting on a named pipe unless
    // `blocking`.
    open,
    // The status of the file open as `fd`, into `status`.
    status_of_open,
    // Writes out what of `fd` waits to be written (the answer is the
    // write-out's, for the record of the drive's errors), then drops its pages.
    write_out,
    drop,
    // Reads `count` bytes at `offset` of `fd` into `buffer`; the answer is the
    // count read, or a negative errno value, and also negative where the
    // fetcher only asks the kernel to fetch them (the comparison then reads
    // them itself).
    read_first,
    // Has `count` bytes at `offset` of `fd` fetched into the page cache; their
    // bytes land in `buffer` or nowhere, never to be looked at.
    fetch,
    close,
};

struct Request {
    Step step;
    // Whose request it is, for the answer: a file's place among those in
    // flight, the file's generation in that place, and its side (0: the
    // file, 1: its copy).
    std::uint32_t file = 0;
    std::uint32_t generation = 0;
    std::uint8_t side = 0;
    // The file lies on a file system served from elsewhere, whose answers
    // may take a round trip: the request should not wait in the program's
    // thread.
    bool served = false;
    bool blocking = false;
    int fd = -1;
    const char* path = nullptr;
    struct statx* status = nullptr;
    char* buffer = nullptr;
    std::uint32_t count = 0;
    off_t offset = 0;
};

// The answer to a request: the request, and its result (0 or a count, or a
// negative errno value).
using AnswerHandler = std::function<void(const Request& request, int result)>;

class Fetcher {
  public:
    virtual ~Fetcher() = default;
    // Makes `request`; its answer comes through a later call of answer().
    virtual void make(const Request& request) = 0;
    // Hands the answers there are to `handle`, which may make further
    // requests; waits for one first where there is none yet and
    // `wait_for_one`. False when no request waits for its answer.
    virtual bool answer(const AnswerHandler& handle, bool wait_for_one) = 0;
    // Whether the answer to a fetch means that its bytes are in memory, not
    // just asked for.
    virtual bool fetches_arrive() const = 0;
    // Cancels the requests on `fd` that have not begun; what has begun is
    // left to finish. Their answers may still come, as ever.
    virtual void cancel(int fd) = 0;
    // Whether closes are still in flight, whose descriptors are not free yet.
    virtual bool closing() const = 0;
    // Whether any request is still in flight, which may yet write into the
    // memory it was given.
    virtual bool busy() const = 0;
};

// The fetcher that prepares files ahead of their turn in a pass over the
// trees below `prefix_1` and `prefix_2`, where the limit on open files leaves
// room for files ahead: io_uring, or helper threads where io_uring cannot be
// set up (an old kernel, io_uring switched off, a filter of system calls), so
// that many requests are in flight and none waits in the program's thread;
// system calls in the program's thread where both trees lie in memory, where
// there is nothing to wait for, or where neither can be had.
std::unique_ptr<Fetcher> choose_fetcher(const std::string& prefix_1, const std::string& prefix_2);
