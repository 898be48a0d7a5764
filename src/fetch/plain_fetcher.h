// The fetcher of system calls: each request is made at once, in the
// program's thread, and reads ahead only by asking the kernel to fetch bytes
// in the background. It serves on drives of this machine and in memory, and
// wherever io_uring cannot.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

#include "fetch/fetcher.h"

class PlainFetcher : public Fetcher {
  public:
    // Whether the fetcher may rest: not where a tree lies on a file system
    // served from elsewhere, whose reads no count of the drives' blocks shows.
    enum class Rest { allowed, never };
    explicit PlainFetcher(Rest rest) : rest_(rest) {}

    void make(const Request& request) override;
    bool answer(const AnswerHandler& handle, bool wait_for_one) override;
    // False while whole stretches of files have come from memory, where
    // preparing files ahead would only cost; true again once data come from
    // a drive.
    bool fetches_ahead() override;
    // Its fetches only ask the kernel for the bytes.
    bool fetches_arrive() const override { return false; }
    // Every request has been made by the time make() returns.
    void cancel(int) override {}
    bool closing() const override { return false; }
    bool busy() const override { return false; }

  private:
    Rest rest_;
    std::deque<std::pair<Request, int>> answers_{};
    // Calls of fetches_ahead since the program's reads from drives were last
    // counted, and that count.
    std::size_t asked_since_count_ = 0;
    long blocks_read_ = 0;
    bool resting_ = false;
};

// How a system call reads the bytes of a request to read or fetch them:
// by asking the kernel to fetch them in the background, where the program's
// thread must not wait for them; or by reading them, in a thread that may.
enum class Reads { hinted, made };

// The result of `request` made as a system call, its bytes read as `reads`
// says.
int make_as_system_call(const Request& request, Reads reads);
