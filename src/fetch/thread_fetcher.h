// The fetcher of helper threads: each request made as a system call by one
// of a few threads, many in flight at once, answered as each returns, so
// that a drive served from elsewhere is kept answering where io_uring cannot
// be had, and no request that never returns holds up the program's thread
// before the file it is for has its turn.
#pragma once

#include <memory>

#include "fetch/fetcher.h"

class ThreadFetcher : public Fetcher {
  public:
    // A fetcher of up to `threads` threads; nullptr where none can be
    // started.
    static std::unique_ptr<ThreadFetcher> open(unsigned threads);
    // Lets the threads go: each ends once the queue is empty, or with the
    // process where a request it makes never returns.
    ~ThreadFetcher() override;
    ThreadFetcher(const ThreadFetcher&) = delete;
    ThreadFetcher& operator=(const ThreadFetcher&) = delete;

    void make(const Request& request) override;
    bool answer(const AnswerHandler& handle, bool wait_for_one) override;
    bool fetches_arrive() const override { return true; }
    void cancel(int fd) override;
    bool closing() const override;
    bool busy() const override;

  private:
    struct Shared;
    explicit ThreadFetcher(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    // Shared with the threads, which may outlive the fetcher.
    std::shared_ptr<Shared> shared_;
};
