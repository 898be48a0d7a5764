// The workers that the free descriptors leave room for.
#include "fetch/fetch_bounds.h"

#include <algorithm>

#include "system/open_file_limit.h"

namespace {

// Descriptors that a worker holds: a file and its copy.
constexpr unsigned long DESCRIPTORS_A_WORKER = 2;
// Descriptors left free for the log, the threads that list the copy's
// directories ahead, the comparison of a file at its turn, and the program's
// own questions (a block device opened, /sys read).
constexpr unsigned long DESCRIPTORS_KEPT_FREE = 10;

}  // namespace

std::size_t workers_allowed() {
    const unsigned long free = free_descriptors();
    return free > DESCRIPTORS_KEPT_FREE
               ? std::min<std::size_t>(MOST_WORKERS,
                                       (free - DESCRIPTORS_KEPT_FREE) / DESCRIPTORS_A_WORKER)
               : 0;
}
