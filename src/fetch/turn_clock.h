// The clock that orders the questions about files' statuses and the moments
// that make earlier answers stale: what was asked about a file stands for its
// turn only where it was asked after the file before it had settled (was
// compared to within its last read-ahead turn with nothing left to fetch,
// or else ended) and after the run last paused. When each moment comes is
// the files ahead's.
#pragma once

#include <cstdint>

class TurnClock {
  public:
    // The time now, for a question asked now.
    std::uint64_t tick() { return ++now_; }

    // The file being compared has settled.
    void settle();
    bool settled() const { return settled_; }
    // The next file's turn comes: the file before it has ended, settled or
    // not.
    void next_turn();
    // The run has paused after a problem.
    void pause() { paused_at_ = tick(); }

    // Whether what was asked at the time `asked_at` stands for the turn of
    // the file after the one that settled last.
    bool stands_for_turn(std::uint64_t asked_at) const;

  private:
    std::uint64_t now_ = 0;
    bool settled_ = false;
    std::uint64_t settled_at_ = 0;
    std::uint64_t paused_at_ = 0;
};
