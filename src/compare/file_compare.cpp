// Comparing one file with its copy block by block.
#include "compare/file_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fetch/files_ahead.h"
#include "fetch/plain_fetcher.h"
#include "walk/file_list.h"

namespace {

// Files bigger than this are announced to the kernel to be read straight
// through, which widens its own read-ahead.
constexpr off_t BIG_FILE = 1 << 20;

// Reads the block of `fd` at `position` into `buffer`: up to COMPARE_BLOCK_SIZE
// bytes, fewer only at the end of the data. A read of the block made ahead
// gave the bytes `first`. `position` is advanced past the block. A read that
// comes up short at or past `expected_size` is taken as the end without
// asking again: the file can hold no more unless it grows meanwhile, which
// it has then done past the block. Returns the number of bytes read, or -1
// when a read fails.
ssize_t read_block(int fd, char* buffer, off_t& position, off_t expected_size,
                   const FirstBytes& first) {
    std::size_t filled = 0;
    bool ended = false;
    const auto take = [&](std::size_t count, std::size_t asked) {
        filled += count;
        ended =
            count == 0 || (count < asked && position + static_cast<off_t>(filled) >= expected_size);
    };
    if (first.data != nullptr) {
        std::memcpy(buffer, first.data, first.count);
        take(first.count, COMPARE_BLOCK_SIZE);
    }
    while (!ended && filled < COMPARE_BLOCK_SIZE) {
        const std::size_t asked = COMPARE_BLOCK_SIZE - filled;
        const ssize_t count =
            ::pread(fd, buffer + filled, asked, position + static_cast<off_t>(filled));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        take(static_cast<std::size_t>(count), asked);
    }
    position += static_cast<off_t>(filled);
    return static_cast<ssize_t>(filled);
}

// Compares two open files of `size` bytes each, block by block, starting
// with the bytes read ahead from each. Files that turn out to hold more or
// fewer bytes than `size` have changed since their size was seen, and are
// different, whatever their bytes.
int compare_contents(const PreparedPair& pair, off_t size, ComparisonProgress& progress) {
    alignas(64) char buffer_a[COMPARE_BLOCK_SIZE];
    alignas(64) char buffer_b[COMPARE_BLOCK_SIZE];
    if (size > BIG_FILE) {
        ::posix_fadvise(pair.fd_a, 0, 0, POSIX_FADV_SEQUENTIAL);
        ::posix_fadvise(pair.fd_b, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    FirstBytes first_a = pair.first_a;
    FirstBytes first_b = pair.first_b;
    off_t position_a = 0;
    off_t position_b = 0;
    for (;;) {
        const ssize_t count_a = read_block(pair.fd_a, buffer_a, position_a, size, first_a);
        const ssize_t count_b = read_block(pair.fd_b, buffer_b, position_b, size, first_b);
        first_a = first_b = FirstBytes{};
        if (count_a < 0 || count_b < 0) {
            return FILES_UNREADABLE;
        }
        if (count_a != count_b ||
            std::memcmp(buffer_a, buffer_b, static_cast<std::size_t>(count_a)) != 0) {
            return FILES_DIFFERENT;
        }
        if (static_cast<std::size_t>(count_a) < COMPARE_BLOCK_SIZE) {
            return position_a == size ? FILES_IDENTICAL : FILES_DIFFERENT;
        }
        progress.reached(position_a);
    }
}

}  // namespace

int files_equal(const std::string& path_a, const std::string& path_b) {
    FileList one_file;
    one_file.add_file(FileList::TOP, "");
    FilesAhead file(one_file, path_a, path_b, std::make_unique<PlainFetcher>(), 0);
    return files_equal(file.take(0), file);
}

int files_equal(const FileToCompare& file, ComparisonProgress& progress) {
    if (file.error_a != 0 || file.error_b != 0 || !S_ISREG(file.status_a.st_mode) ||
        !S_ISREG(file.status_b.st_mode)) {
        return FILES_UNREADABLE;
    }
    if (file.status_a.st_size != file.status_b.st_size) {
        return FILES_DIFFERENT;
    }
    if (file.pair.fd_a < 0 || file.pair.fd_b < 0) {
        return FILES_UNREADABLE;
    }
    return compare_contents(file.pair, file.status_a.st_size, progress);
}
