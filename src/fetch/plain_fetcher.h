// The fetcher of system calls: each request is made at once, in the
// program's thread, and reads ahead only by asking the kernel to fetch bytes
// in the background. It serves files prepared at their turn, where the
// drives answer from memory, and files ahead wherever neither io_uring nor
// helper threads can be had.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

#include "fetch/fetcher.h"

class PlainFetcher : public Fetcher {
  public:
    void make(const Request& request) override;
    bool answer(const AnswerHandler& handle, bool wait_for_one) override;
    // Its fetches only ask the kernel for the bytes.
    bool fetches_arrive() const override { return false; }
    // Every request has been made by the time make() returns.
    void cancel(int) override {}
    bool closing() const override { return false; }
    bool busy() const override { return false; }

    // The time that its status queries by path have taken so far, in
    // nanoseconds: where a drive keeps the program waiting for what it knows
    // of its files, it shows here first.
    std::int64_t status_nanoseconds() const { return status_nanoseconds_; }

  private:
    std::deque<std::pair<Request, int>> answers_{};
    std::int64_t status_nanoseconds_ = 0;
};

// How a system call reads the bytes of a request to read or fetch them:
// by asking the kernel to fetch them in the background, where the program's
// thread must not wait for them; or by reading them, in a thread that may.
enum class Reads { hinted, made };

// The result of `request` made as a system call, its bytes read as `reads`
// says.
int make_as_system_call(const Request& request, Reads reads);
