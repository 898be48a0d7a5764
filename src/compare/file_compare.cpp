// Comparing one file with its copy block by block.
#include "compare/file_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Files are compared in blocks of this many bytes.
constexpr std::size_t COMPARE_BLOCK_SIZE = 65536;
// Files bigger than this are announced to the kernel to be read straight
// through, which widens its own read-ahead.
constexpr off_t BIG_FILE = 1 << 20;

// Reads the block of `fd` at `position` into `buffer`: a whole block,
// whatever size was seen, so that a file that has grown since shows more
// bytes than its size; fewer only at the end of the data. `position` is
// advanced past the block. A read that comes up short at or past
// `expected_size` is taken as the end without asking again: the file can
// hold no more unless it grows meanwhile, which it has then done past the
// block. Returns the number of bytes read, or -1 when a read fails.
ssize_t read_block(int fd, char* buffer, off_t& position, off_t expected_size) {
    std::size_t filled = 0;
    while (filled < COMPARE_BLOCK_SIZE) {
        const std::size_t asked = COMPARE_BLOCK_SIZE - filled;
        const ssize_t count =
            ::pread(fd, buffer + filled, asked, position + static_cast<off_t>(filled));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        filled += static_cast<std::size_t>(count);
        if (count == 0 || (static_cast<std::size_t>(count) < asked &&
                           position + static_cast<off_t>(filled) >= expected_size)) {
            break;
        }
    }
    position += static_cast<off_t>(filled);
    return static_cast<ssize_t>(filled);
}

// Compares the open files `fd_a` and `fd_b` of `size` bytes each, block by
// block. Files that turn out to hold more or fewer bytes than `size` have
// changed since their size was seen, and are different, whatever their
// bytes.
Verdict compare_contents(int fd_a, int fd_b, off_t size) {
    alignas(64) char buffer_a[COMPARE_BLOCK_SIZE];
    alignas(64) char buffer_b[COMPARE_BLOCK_SIZE];
    if (size > BIG_FILE) {
        ::posix_fadvise(fd_a, 0, 0, POSIX_FADV_SEQUENTIAL);
        ::posix_fadvise(fd_b, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    off_t position_a = 0;
    off_t position_b = 0;
    for (;;) {
        const ssize_t count_a = read_block(fd_a, buffer_a, position_a, size);
        const ssize_t count_b = read_block(fd_b, buffer_b, position_b, size);
        if (count_a < 0 || count_b < 0) {
            return Verdict::unreadable;
        }
        if (count_a != count_b ||
            std::memcmp(buffer_a, buffer_b, static_cast<std::size_t>(count_a)) != 0) {
            return Verdict::different;
        }
        if (static_cast<std::size_t>(count_a) < COMPARE_BLOCK_SIZE) {
            return position_a == size ? Verdict::identical : Verdict::different;
        }
    }
}

}  // namespace

int files_equal(const std::string& path_a, const std::string& path_b) {
    CopyFileSystems copy_systems;
    PreparedFile file = prepare_file({path_a, path_b}, When::at_turn, copy_systems);
    switch (verdict_on(file)) {
        case Verdict::identical:
            return FILES_IDENTICAL;
        case Verdict::different:
            return FILES_DIFFERENT;
        default:
            return FILES_UNREADABLE;
    }
}

Verdict verdict_on(PreparedFile& file) {
    switch (file.found) {
        case Found::pair: {
            const Verdict verdict =
                compare_contents(file.fd[SOURCE], file.fd[COPY], file.status[SOURCE].size);
            close_pair(file);
            return verdict;
        }
        case Found::missing_copy:
            return Verdict::missing;
        case Found::unreadable:
            return Verdict::unreadable;
        case Found::different_sizes:
            return Verdict::different;
        case Found::left_for_turn:
            return Verdict::left_for_turn;
    }
    return Verdict::unreadable;
}
