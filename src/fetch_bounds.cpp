// The files ahead that the free descriptors leave room for.
#include "fetch_bounds.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>

namespace {

// Descriptors left free for the comparison, the log and the kernel's
// answers to the program's own questions (a block device opened, /sys read).
constexpr rlim_t DESCRIPTORS_KEPT_FREE = 8;

// Descriptors open now, as /proc tells; the whole limit where it cannot tell,
// so that no file is prepared ahead.
rlim_t descriptors_open(rlim_t limit) {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        return limit;
    }
    rlim_t open = 0;
    while (const dirent* entry = ::readdir(directory)) {
        open += entry->d_name[0] != '.';
    }
    ::closedir(directory);
    // The directory itself was open while it was read.
    return open - 1;
}

}  // namespace

std::size_t files_ahead_allowed() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return MOST_FILES_AHEAD;
    }
    const rlim_t used = descriptors_open(limit.rlim_cur) + DESCRIPTORS_KEPT_FREE;
    const rlim_t free = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
    return std::min<std::size_t>(MOST_FILES_AHEAD, free / 2);
}
