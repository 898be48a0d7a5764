// The fetcher of io_uring: requests queued as entries, many in flight at
// once, answered as the kernel completes them, so that a drive served from
// elsewhere is kept answering instead of waited for one request at a time.
// A request that io_uring itself could not carry out is made again as a
// system call, and so is every request after it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fetch/fetcher.h"
#include "fetch/plain_fetcher.h"
#include "fetch/request_queue.h"

class RingFetcher : public Fetcher {
  public:
    // nullptr where io_uring cannot be set up or lacks a request the
    // fetcher makes.
    static std::unique_ptr<RingFetcher> open();

    void make(const Request& request) override;
    bool answer(const AnswerHandler& handle, bool wait_for_one) override;
    bool fetches_arrive() const override { return !failed_; }
    void cancel(int fd) override;
    bool closing() const override { return closes_in_flight_ > 0 || plain_.closing(); }
    bool busy() const override { return in_flight_ > 0 || plain_.busy(); }

  private:
    explicit RingFetcher(std::unique_ptr<RequestQueue> queue) : queue_(std::move(queue)) {}

    // A request in flight, and whether it has been cancelled: its answer is
    // then no failure of io_uring's.
    struct InFlight {
        Request request;
        bool in_flight;
        bool cancelled;
    };

    // The requests by their tags, and the tags free again.
    std::vector<InFlight> requests_{};
    std::vector<std::uint32_t> free_tags_{};
    std::size_t in_flight_ = 0;
    std::size_t closes_in_flight_ = 0;
    // Where io_uring has failed to carry out a request (no kernel worker
    // could be started for it, as under a limit on processes).
    bool failed_ = false;
    PlainFetcher plain_{};
    std::unique_ptr<RequestQueue> queue_;
};
