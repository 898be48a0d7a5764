// The moments that make answers stale, on one clock.
#include "fetch/turn_clock.h"

#include <algorithm>

void TurnClock::settle() {
    settled_ = true;
    settled_at_ = tick();
}

void TurnClock::next_turn() {
    if (!settled_) {
        settled_at_ = tick();
    }
    settled_ = false;
}

bool TurnClock::stands_for_turn(std::uint64_t asked_at) const {
    return asked_at > std::max(settled_at_, paused_at_);
}
