// The files ahead that the free descriptors leave room for.
#include "fetch/fetch_bounds.h"

#include <algorithm>

#include "system/open_file_limit.h"

namespace {

// Descriptors left free for the log, the threads that list the copy's
// directories ahead, and the program's own questions (a block device opened,
// /sys read).
constexpr unsigned long DESCRIPTORS_KEPT_FREE = 8;

}  // namespace

std::size_t files_ahead_allowed() {
    const unsigned long free = free_descriptors();
    return free > DESCRIPTORS_KEPT_FREE
               ? std::min<std::size_t>(MOST_FILES_AHEAD, (free - DESCRIPTORS_KEPT_FREE) / 2)
               : 0;
}
