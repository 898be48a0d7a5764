// The io_uring queue that the reading engine waits on: set up with the
// requests it needs and enough kernel workers, entries tagged with a number
// of the engine's choosing, room for chains, and the completions handed back.
// What the requests are for is the engine's.
#pragma once

#include <liburing.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

class RequestQueue {
  public:
    // A queue of `entries` entries whose kernel knows every request of
    // `needed` (IORING_OP_...), with up to `workers` kernel workers for
    // requests that wait on files; nullptr where io_uring cannot be set up (an
    // old kernel, io_uring switched off, a filter of system calls) or lacks
    // one of the requests.
    static std::unique_ptr<RequestQueue> open(unsigned entries, std::initializer_list<int> needed,
                                              unsigned workers);
    ~RequestQueue();
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // Submits what is queued unless there is room for `count` more entries:
    // the requests of a chain must be submitted together.
    void make_room(unsigned count);
    // An entry for a request whose completion bears `tag`, after make_room.
    io_uring_sqe* add(std::uint64_t tag);
    void submit();
    // Submits what is queued, waits for at least one completion, and hands
    // every completion there is to `handle`, with its tag and result (a
    // negative errno value when the request failed).
    void wait(const std::function<void(std::uint64_t tag, int result)>& handle);

  private:
    RequestQueue() = default;

    io_uring ring_{};
    bool set_up_ = false;
};
