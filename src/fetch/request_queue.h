// The io_uring queue that the ring fetcher waits on: set up with the
// requests it needs and enough kernel workers, entries tagged with a number
// of the fetcher's choosing, and the completions handed back. What the
// requests are for is the fetcher's.
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

    // An entry for a request whose completion bears `tag`; what is queued is
    // submitted first where the queue is full.
    io_uring_sqe* add(std::uint64_t tag);
    // Submits what is queued, waits for at least one completion where
    // `wait_for_one`, and hands every completion there is to `handle`, with
    // its tag and result (a negative errno value when the request failed).
    void complete(const std::function<void(std::uint64_t tag, int result)>& handle,
                  bool wait_for_one);

  private:
    RequestQueue() = default;

    io_uring ring_{};
    bool set_up_ = false;
};
