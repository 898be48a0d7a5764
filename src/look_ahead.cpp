// The window of files opened and fetched ahead of the comparison, its
// bounds in files, bytes and descriptors, and its rest on trees in memory.
#include "look_ahead.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "file_status.h"

namespace {

// The window holds at most this many files, and takes no more in once it
// has asked for LOOK_AHEAD_BYTES of them; of one file, it asks for no more
// than a read-ahead turn.
constexpr std::size_t LOOK_AHEAD_FILES = 64;
// Descriptors that the window leaves free of the limit on open files, for the
// comparison and the log.
constexpr rlim_t DESCRIPTORS_KEPT_FREE = 16;
// Files between two counts of the program's reads from drives: the
// look-ahead rests after this many files without such a read, and wakes at
// the next count that finds one.
constexpr std::size_t DRIVE_CHECK_INTERVAL = 64;

// Blocks that the program has read from drives so far.
long blocks_read_from_drives() {
    struct rusage usage;
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_inblock : 0;
}

// Opens the file `rel` and its copy, where both are regular files of the
// same size, drops the copy's pages and asks the kernel to fetch the first
// bytes of both in the background; the window's entry for the file.
LookAheadFile fetch_ahead(LookAhead& ahead, std::size_t index, const std::string& rel) {
    LookAheadFile file{index, 0, {}};
    PreparedPair& pair = file.pair;
    const std::string path_1 = ahead.prefix_1 + rel;
    const std::string path_2 = ahead.prefix_2 + rel;
    if (!regular_file_status(path_1, pair.status_a) ||
        !regular_file_status(path_2, pair.status_b) ||
        pair.status_a.st_size != pair.status_b.st_size) {
        return file;
    }
    const off_t size = pair.status_a.st_size;
    pair.fd_a = open_regular_file(path_1, size, pair.status_a);
    pair.fd_b = pair.fd_a < 0 ? -1 : open_regular_file(path_2, size, pair.status_b);
    if (pair.fd_b < 0) {
        close_prepared(pair);
        pair = PreparedPair{};
        return file;
    }
    if (!in_memory_file_system(ahead.in_memory, path_2, pair.status_b.st_dev)) {
        drop_cached_pages(pair.fd_b);
    }
    pair.copy_pages = CopyPages::keep;
    const off_t first_bytes = std::min(size, READ_AHEAD_TURN);
    ::posix_fadvise(pair.fd_a, 0, first_bytes, POSIX_FADV_WILLNEED);
    ::posix_fadvise(pair.fd_b, 0, first_bytes, POSIX_FADV_WILLNEED);
    file.bytes = 2 * first_bytes;
    return file;
}

// Brings the files after `current` into the window as far as it has room.
void look_ahead(LookAhead& ahead, const std::vector<std::string>& files, std::size_t current) {
    if (++ahead.files_since_check == DRIVE_CHECK_INTERVAL) {
        const long blocks_read = blocks_read_from_drives();
        ahead.resting = blocks_read == ahead.blocks_read;
        ahead.blocks_read = blocks_read;
        ahead.files_since_check = 0;
    }
    if (ahead.resting) {
        return;
    }
    if (!ahead.max_files) {
        ahead.max_files = look_ahead_files_allowed();
    }
    ahead.next = std::max(ahead.next, current + 1);
    while (ahead.next < files.size() && ahead.window.size() < *ahead.max_files &&
           ahead.window_bytes < LOOK_AHEAD_BYTES) {
        ahead.window.push_back(fetch_ahead(ahead, ahead.next, files[ahead.next]));
        ahead.window_bytes += ahead.window.back().bytes;
        ++ahead.next;
    }
}

// Takes the file `current` out of the window, closes what the window holds of
// files before it, and returns what has been prepared for it; its copy at
// `path_2` has the status `status_2` now.
PreparedPair leave_look_ahead(LookAhead& ahead, std::size_t current, const std::string& path_2,
                              const struct stat& status_2) {
    PreparedPair prepared;
    while (!ahead.window.empty() && ahead.window.front().index <= current) {
        const LookAheadFile file = ahead.window.front();
        ahead.window.pop_front();
        ahead.window_bytes -= file.bytes;
        if (file.index == current) {
            prepared = file.pair;
        } else {
            close_prepared(file.pair);
        }
    }
    decide_copy_pages(ahead.in_memory, prepared, path_2, status_2);
    return prepared;
}

}  // namespace

// Files that the window may hold, two descriptors each: LOOK_AHEAD_FILES,
// or fewer where the limit on open files is lower, none where it leaves no
// more than DESCRIPTORS_KEPT_FREE.
std::size_t look_ahead_files_allowed() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        limit.rlim_cur >= 2 * LOOK_AHEAD_FILES + DESCRIPTORS_KEPT_FREE) {
        return LOOK_AHEAD_FILES;
    }
    return limit.rlim_cur > DESCRIPTORS_KEPT_FREE ? (limit.rlim_cur - DESCRIPTORS_KEPT_FREE) / 2
                                                  : 0;
}

FileToCompare take_file(LookAhead& ahead, const std::vector<std::string>& files,
                        std::size_t current, const std::string& path_1, const std::string& path_2) {
    look_ahead(ahead, files, current);
    FileToCompare file;
    if (::stat(path_2.c_str(), &file.status_b) != 0) {
        file.error_b = errno;
        return file;
    }
    file.pair = leave_look_ahead(ahead, current, path_2, file.status_b);
    if (::stat(path_1.c_str(), &file.status_a) != 0) {
        file.error_a = errno;
    }
    return file;
}
