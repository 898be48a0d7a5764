#include "file_compare.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t BLOCK_SIZE = 65536;

// Files bigger than this are read with read-ahead hints. Read in lockstep,
// two files on one disk would otherwise be fetched in turns of the kernel's
// own read-ahead (often 128 KiB), with a seek between any two turns; hinted,
// the disk is asked for READ_AHEAD_TURN bytes of one file, then of the
// other, one to two turns ahead of the reading.
constexpr off_t READ_AHEAD_THRESHOLD = 1 << 20;
constexpr off_t READ_AHEAD_TURN = 4 << 20;
// The piece asked for by one hint: no more than the kernel fetches on one
// request from a usual disk.
constexpr off_t READ_AHEAD_PIECE = 1 << 20;

// The look-ahead's window holds at most this many files, and takes no more
// in once it has asked for this many bytes of them; of one file, it asks for
// no more than a read-ahead turn.
constexpr std::size_t LOOK_AHEAD_FILES = 64;
constexpr off_t LOOK_AHEAD_BYTES = 32 << 20;
// Descriptors that the window leaves free of the limit on open files, for the
// comparison and the log.
constexpr rlim_t DESCRIPTORS_KEPT_FREE = 16;
// Files between two counts of the program's reads from drives: the
// look-ahead rests after this many files without such a read, and wakes at
// the next count that finds one.
constexpr std::size_t DRIVE_CHECK_INTERVAL = 64;

// Status of the regular file at `path`, following links, in `status`; false
// when there is no regular file there.
bool regular_file_status(const std::string& path, struct stat& status) {
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// True when `now` shows the file that `before` showed.
bool same_file(const struct stat& before, const struct stat& now) {
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino;
}

// Writes out what of the open file `fd` still waits to be written, waits for
// that, and drops the file's pages from the page cache, so that its next
// reads come from the drive and not from memory. Pages that another process
// holds mapped stay. Failures are passed over: a file system without a drive
// (tmpfs, /proc) has nothing to write out or drop, and data that could not
// be written out are read back from the drive as they stand there.
void drop_cached_pages(int fd) {
    ::sync_file_range(
        fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

// Opens `path` for reading without blocking and returns the descriptor, with
// the status of what was opened in `status`, or -1 when it cannot be opened
// or is no longer a regular file: a named pipe may have taken the place of
// the file since its size was queried.
int open_regular_file(const std::string& path, off_t size, struct stat& status) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    if (size > READ_AHEAD_THRESHOLD) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return fd;
}

// `fd`, opened ahead on the file that `opened` showed, when `now` shows that
// same file; otherwise `fd` is closed and `path` opened anew, and -1 when
// that fails.
int reuse_or_open(int fd, const struct stat& opened, const struct stat& now,
                  const std::string& path) {
    if (fd >= 0 && same_file(opened, now)) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    struct stat status;
    return open_regular_file(path, now.st_size, status);
}

void close_prepared(const PreparedPair& prepared) {
    for (const int fd : {prepared.fd_a, prepared.fd_b}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Reads the next block of `fd` into `buffer`: up to BLOCK_SIZE bytes, fewer
// only at the end of the data. `position` is the offset of the block and is
// advanced past it; a short read that reaches `expected_size` is taken as the
// end without asking again. Returns the number of bytes read, or -1 when a
// read fails.
ssize_t read_block(int fd, char* buffer, off_t& position, off_t expected_size) {
    std::size_t filled = 0;
    while (filled < BLOCK_SIZE) {
        const ssize_t count = ::read(fd, buffer + filled, BLOCK_SIZE - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
        if (position + static_cast<off_t>(filled) >= expected_size) {
            break;
        }
    }
    position += static_cast<off_t>(filled);
    return static_cast<ssize_t>(filled);
}

// Asks the kernel to start reading the bytes from `from` up to `to` of `fd`
// in the background, unless the first of them is in the page cache already:
// then the file has most likely been read whole before, and the hint would
// cost more than it gains (it looks up every page).
void hint_read_ahead(int fd, off_t from, off_t to) {
    char byte;
    iovec probe{&byte, 1};
    if (::preadv2(fd, &probe, 1, from, RWF_NOWAIT) == 1) {
        return;
    }
    for (off_t piece = from; piece < to; piece += READ_AHEAD_PIECE) {
        ::posix_fadvise(fd, piece, READ_AHEAD_PIECE, POSIX_FADV_WILLNEED);
    }
}

// Compares two open files of `size` bytes each, block by block.
int compare_contents(int fd_a, int fd_b, off_t size) {
    alignas(64) char buffer_a[BLOCK_SIZE];
    alignas(64) char buffer_b[BLOCK_SIZE];
    off_t position_a = 0;
    off_t position_b = 0;
    // Both files have been asked for up to here.
    off_t hinted = size > READ_AHEAD_THRESHOLD ? 0 : size;
    for (;;) {
        if (hinted < size && hinted - position_a < READ_AHEAD_TURN) {
            const off_t to = std::min(hinted + READ_AHEAD_TURN, size);
            hint_read_ahead(fd_a, hinted, to);
            hint_read_ahead(fd_b, hinted, to);
            hinted = to;
        }
        const ssize_t count_a = read_block(fd_a, buffer_a, position_a, size);
        const ssize_t count_b = read_block(fd_b, buffer_b, position_b, size);
        if (count_a < 0 || count_b < 0) {
            return FILES_UNREADABLE;
        }
        if (count_a != count_b ||
            std::memcmp(buffer_a, buffer_b, static_cast<std::size_t>(count_a)) != 0) {
            return FILES_DIFFERENT;
        }
        if (static_cast<std::size_t>(count_a) < BLOCK_SIZE) {
            return FILES_IDENTICAL;
        }
    }
}

}  // namespace

void write_out_file_system(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

int files_equal(const std::string& path_a, const std::string& path_b) {
    struct stat status_b;
    if (::stat(path_b.c_str(), &status_b) != 0) {
        return FILES_UNREADABLE;
    }
    return files_equal(path_a, path_b, status_b, PreparedPair{});
}

int files_equal(const std::string& path_a, const std::string& path_b, const struct stat& status_b,
                const PreparedPair& prepared) {
    struct stat status_a;
    if (!regular_file_status(path_a, status_a) || !S_ISREG(status_b.st_mode)) {
        close_prepared(prepared);
        return FILES_UNREADABLE;
    }
    if (status_a.st_size != status_b.st_size) {
        close_prepared(prepared);
        return FILES_DIFFERENT;
    }
    const int fd_a = reuse_or_open(prepared.fd_a, prepared.status_a, status_a, path_a);
    if (fd_a < 0) {
        if (prepared.fd_b >= 0) {
            ::close(prepared.fd_b);
        }
        return FILES_UNREADABLE;
    }
    const int fd_b = reuse_or_open(prepared.fd_b, prepared.status_b, status_b, path_b);
    if (fd_b < 0) {
        ::close(fd_a);
        return FILES_UNREADABLE;
    }
    if (prepared.copy_pages == CopyPages::drop) {
        drop_cached_pages(fd_b);
    }
    const int result = compare_contents(fd_a, fd_b, status_a.st_size);
    ::close(fd_b);
    ::close(fd_a);
    return result;
}

namespace {

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

// Blocks that the program has read from drives so far.
long blocks_read_from_drives() {
    struct rusage usage;
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_inblock : 0;
}

// True when the file `path` on `device` lies on a file system that holds its
// files in memory only; asks the system once for each new device.
bool in_memory_file_system(LookAhead& ahead, const std::string& path, dev_t device) {
    if (ahead.device != device) {
        struct statfs file_system;
        if (::statfs(path.c_str(), &file_system) != 0) {
            return false;
        }
        const auto type = static_cast<unsigned long>(file_system.f_type);
        ahead.device = device;
        ahead.device_in_memory = type == TMPFS_MAGIC || type == RAMFS_MAGIC ||
                                 type == PROC_SUPER_MAGIC || type == SYSFS_MAGIC;
    }
    return ahead.device_in_memory;
}

// True when `now` shows the file that `before` showed, unchanged: every write
// to a file changes its change time, which, unlike the modification time, no
// program can set back.
bool same_unchanged_file(const struct stat& before, const struct stat& now) {
    return same_file(before, now) && before.st_size == now.st_size &&
           before.st_ctim.tv_sec == now.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
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
    if (!in_memory_file_system(ahead, path_2, pair.status_b.st_dev)) {
        drop_cached_pages(pair.fd_b);
    }
    pair.copy_pages = CopyPages::keep;
    const off_t first_bytes = std::min(size, READ_AHEAD_TURN);
    ::posix_fadvise(pair.fd_a, 0, first_bytes, POSIX_FADV_WILLNEED);
    ::posix_fadvise(pair.fd_b, 0, first_bytes, POSIX_FADV_WILLNEED);
    file.bytes = 2 * first_bytes;
    return file;
}

}  // namespace

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
    if (prepared.fd_b < 0 || !same_unchanged_file(prepared.status_b, status_2)) {
        prepared.copy_pages = in_memory_file_system(ahead, path_2, status_2.st_dev)
                                  ? CopyPages::keep
                                  : CopyPages::drop;
    }
    return prepared;
}
