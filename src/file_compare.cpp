// Comparing one file with its copy block by block, with read-ahead hints for
// big files; the descriptors it is handed or opens are closed on every path.
#include "file_compare.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "copy_from_drive.h"
#include "file_status.h"

namespace {

// Files bigger than this are read with read-ahead hints. Read in lockstep,
// two files on one disk would otherwise be fetched in turns of the kernel's
// own read-ahead (often 128 KiB), with a seek between any two turns; hinted,
// the disk is asked for READ_AHEAD_TURN bytes of one file, then of the
// other, one to two turns ahead of the reading.
constexpr off_t READ_AHEAD_THRESHOLD = 1 << 20;
// The piece asked for by one hint: no more than the kernel fetches on one
// request from a usual disk.
constexpr off_t READ_AHEAD_PIECE = 1 << 20;

// `fd`, opened ahead on the file that `opened` showed, when `now` shows that
// same file; otherwise `fd` is closed and `path` opened anew, and -1 when
// that fails.
int reuse_or_open(int fd, const struct stat& opened, const struct stat& now,
                  const std::string& path, FirstBytes& first) {
    if (fd >= 0 && same_file(opened, now)) {
        return fd;
    }
    first = FirstBytes{};
    if (fd >= 0) {
        ::close(fd);
    }
    struct stat status;
    return open_regular_file(path, now.st_size, status);
}

// Reads the block of `fd` at `position` into `buffer`: up to COMPARE_BLOCK_SIZE
// bytes, fewer only at the end of the data. A read of the block made ahead
// gave the bytes `first`. `position` is advanced past the block; a short read
// that reaches `expected_size` is taken as the end without asking again.
// Returns the number of bytes read, or -1 when a read fails.
ssize_t read_block(int fd, char* buffer, off_t& position, off_t expected_size,
                   const FirstBytes& first) {
    std::size_t filled = 0;
    bool ended = false;
    if (first.data != nullptr) {
        filled = std::min(first.count, COMPARE_BLOCK_SIZE);
        std::memcpy(buffer, first.data, filled);
        ended = filled == 0 || position + static_cast<off_t>(filled) >= expected_size;
    }
    while (!ended && filled < COMPARE_BLOCK_SIZE) {
        const ssize_t count = ::pread(fd, buffer + filled, COMPARE_BLOCK_SIZE - filled,
                                      position + static_cast<off_t>(filled));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        filled += static_cast<std::size_t>(count);
        ended = count == 0 || position + static_cast<off_t>(filled) >= expected_size;
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

// Compares two open files of `size` bytes each, block by block, starting
// with the bytes read ahead from each.
int compare_contents(int fd_a, int fd_b, off_t size, FirstBytes first_a, FirstBytes first_b) {
    alignas(64) char buffer_a[COMPARE_BLOCK_SIZE];
    alignas(64) char buffer_b[COMPARE_BLOCK_SIZE];
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
        const ssize_t count_a = read_block(fd_a, buffer_a, position_a, size, first_a);
        const ssize_t count_b = read_block(fd_b, buffer_b, position_b, size, first_b);
        first_a = first_b = FirstBytes{};
        if (count_a < 0 || count_b < 0) {
            return FILES_UNREADABLE;
        }
        if (count_a != count_b ||
            std::memcmp(buffer_a, buffer_b, static_cast<std::size_t>(count_a)) != 0) {
            return FILES_DIFFERENT;
        }
        if (static_cast<std::size_t>(count_a) < COMPARE_BLOCK_SIZE) {
            return FILES_IDENTICAL;
        }
    }
}

}  // namespace

void close_prepared(const PreparedPair& prepared) {
    for (const int fd : {prepared.fd_a, prepared.fd_b}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int open_regular_file(const std::string& path, off_t size, struct stat& status) {
    const int fd = ::open(path.c_str(), COMPARE_OPEN_FLAGS);
    if (fd >= 0 && !opened_regular_file(fd, size, status)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool opened_regular_file(int fd, off_t size, struct stat& status) {
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    if (size > READ_AHEAD_THRESHOLD) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return true;
}

int files_equal(const std::string& path_a, const std::string& path_b) {
    FileToCompare file;
    if (::stat(path_b.c_str(), &file.status_b) != 0) {
        return FILES_UNREADABLE;
    }
    if (::stat(path_a.c_str(), &file.status_a) != 0) {
        file.error_a = errno;
    }
    return files_equal(path_a, path_b, file);
}

int files_equal(const std::string& path_a, const std::string& path_b, const FileToCompare& file) {
    const struct stat& status_a = file.status_a;
    const struct stat& status_b = file.status_b;
    PreparedPair prepared = file.pair;
    if (file.error_a != 0 || !S_ISREG(status_a.st_mode) || !S_ISREG(status_b.st_mode)) {
        close_prepared(prepared);
        return FILES_UNREADABLE;
    }
    if (status_a.st_size != status_b.st_size) {
        close_prepared(prepared);
        return FILES_DIFFERENT;
    }
    const int fd_a =
        reuse_or_open(prepared.fd_a, prepared.status_a, status_a, path_a, prepared.first_a);
    if (fd_a < 0) {
        if (prepared.fd_b >= 0) {
            ::close(prepared.fd_b);
        }
        return FILES_UNREADABLE;
    }
    const int fd_b =
        reuse_or_open(prepared.fd_b, prepared.status_b, status_b, path_b, prepared.first_b);
    if (fd_b < 0) {
        ::close(fd_a);
        return FILES_UNREADABLE;
    }
    if (prepared.copy_pages == CopyPages::drop) {
        prepared.first_b = FirstBytes{};
        drop_cached_pages(fd_b);
    }
    const int result =
        compare_contents(fd_a, fd_b, status_a.st_size, prepared.first_a, prepared.first_b);
    ::close(fd_b);
    ::close(fd_a);
    return result;
}
