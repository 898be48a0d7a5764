// The limit on open files, and the descriptors free under it.
#include "system/open_file_limit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdlib>

void raise_open_file_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

unsigned long free_descriptors() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) {
        return 0;
    }
    // The listing's own descriptor is counted too.
    unsigned long taken = 0;
    while (const struct dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
        taken += end != entry->d_name && *end == '\0' && fd < limit.rlim_cur;
    }
    ::closedir(listing);
    return limit.rlim_cur > taken ? limit.rlim_cur - taken : 0;
}
