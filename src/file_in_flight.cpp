// The requests of each step of a file in flight, what their completions
// give, and the file as the comparison takes it.
#include "file_in_flight.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "copy_from_drive.h"
#include "file_status.h"

namespace {

// Bits of a tag below the slot, and below the request.
constexpr int SLOT_SHIFT = 8;
constexpr int REQUEST_SHIFT = 1;
constexpr std::uint64_t REQUEST_MASK = 0x7f;

// An entry for `request` of `side` of `file`, counted as pending.
io_uring_sqe* add(FileInFlight& file, RequestQueue& queue, Request request, int side) {
    ++file.pending;
    return queue.add(request_tag(file.slot, request, side));
}

// The bytes of `side` read ahead, none where the read failed: a read that
// fails again when the comparison repeats it tells the error.
FirstBytes first_bytes(const FileInFlight& file, int side) {
    if (file.read[side] < 0) {
        return {};
    }
    return {file.buffer[side], static_cast<std::size_t>(file.read[side])};
}

}  // namespace

std::uint64_t request_tag(std::size_t slot, Request request, int side) {
    return (static_cast<std::uint64_t>(slot) << SLOT_SHIFT) |
           (static_cast<std::uint64_t>(request) << REQUEST_SHIFT) |
           static_cast<std::uint64_t>(side);
}

std::size_t tagged_slot(std::uint64_t tag) {
    return static_cast<std::size_t>(tag >> SLOT_SHIFT);
}

Request tagged_request(std::uint64_t tag) {
    return static_cast<Request>((tag >> REQUEST_SHIFT) & REQUEST_MASK);
}

int tagged_side(std::uint64_t tag) {
    return static_cast<int>(tag & 1);
}

void query_statuses(FileInFlight& file, RequestQueue& queue, const std::string& path_1,
                    const std::string& path_2) {
    file.stage = Stage::status;
    file.queried = std::chrono::steady_clock::now();
    file.copy_pages = CopyPages::drop;
    file.bytes = 0;
    file.path[SOURCE] = path_1;
    file.path[COPY] = path_2;
    queue.make_room(2);
    for (const int side : {SOURCE, COPY}) {
        file.fd[side] = -1;
        file.read[side] = -EAGAIN;
        io_uring_prep_statx(add(file, queue, Request::status, side), AT_FDCWD,
                            file.path[side].c_str(), 0, STATX_BASIC_STATS, &file.status[side]);
    }
}

bool same_size_files(const FileInFlight& file) {
    return file.error[SOURCE] == 0 && file.error[COPY] == 0 &&
           S_ISREG(file.status[SOURCE].stx_mode) && S_ISREG(file.status[COPY].stx_mode) &&
           file.status[COPY].stx_size == file.status[SOURCE].stx_size;
}

void open_both(FileInFlight& file, RequestQueue& queue) {
    file.stage = Stage::open;
    queue.make_room(2);
    for (const int side : {SOURCE, COPY}) {
        io_uring_sqe* open = add(file, queue, Request::open, side);
        io_uring_prep_openat(open, AT_FDCWD, file.path[side].c_str(), COMPARE_OPEN_FLAGS, 0);
        // io_uring tries an open in this thread first, as the queue is
        // submitted; on a file system without a drive of its own (a network
        // share, a FUSE server) the open then waits here for the server's
        // answer and holds up every other file, so there it goes to the
        // kernel's workers at once. Elsewhere that would cost (8 % on 20,000
        // small files on ext4).
        if (file.status[side].stx_dev_major == 0) {
            open->flags |= IOSQE_ASYNC;
        }
    }
}

bool opened_both(FileInFlight& file) {
    const off_t size = static_cast<off_t>(file.status[SOURCE].stx_size);
    if (file.fd[SOURCE] >= 0 && file.fd[COPY] >= 0 &&
        opened_regular_file(file.fd[SOURCE], size, file.opened[SOURCE]) &&
        opened_regular_file(file.fd[COPY], size, file.opened[COPY])) {
        return true;
    }
    for (int& fd : file.fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    return false;
}

void read_first_blocks(FileInFlight& file, RequestQueue& queue, bool keep_copy_pages) {
    file.stage = Stage::read;
    // The write-out, the drop and the read of the copy form a chain: each
    // runs when the one before it is done, whether that failed or not.
    queue.make_room(MOST_REQUESTS_AT_ONCE);
    for (const int side : {COPY, SOURCE}) {
        const int fd = file.fd[side];
        if (side == COPY && !keep_copy_pages) {
            io_uring_sqe* write_out = add(file, queue, Request::write_out, side);
            io_uring_prep_sync_file_range(write_out, fd, 0, 0, WRITE_OUT_FLAGS);
            write_out->flags |= IOSQE_IO_HARDLINK;
            io_uring_sqe* drop = add(file, queue, Request::other, side);
            io_uring_prep_fadvise(drop, fd, 0, 0, POSIX_FADV_DONTNEED);
            drop->flags |= IOSQE_IO_HARDLINK;
        }
        io_uring_prep_read(add(file, queue, Request::read, side), fd, file.buffer[side],
                           COMPARE_BLOCK_SIZE, 0);
    }
    file.copy_pages = CopyPages::keep;
}

off_t rest_to_fetch(const FileInFlight& file) {
    const off_t size = static_cast<off_t>(file.status[SOURCE].stx_size);
    return std::min(size, READ_AHEAD_TURN) - static_cast<off_t>(COMPARE_BLOCK_SIZE);
}

void fetch_rest(FileInFlight& file, RequestQueue& queue, char* scratch) {
    const off_t first = COMPARE_BLOCK_SIZE;
    const off_t end = first + rest_to_fetch(file);
    file.stage = Stage::fetch;
    file.bytes = 2 * (end - first);
    for (const int side : {SOURCE, COPY}) {
        for (off_t piece = first; piece < end; piece += FETCH_PIECE) {
            queue.make_room(1);
            io_uring_prep_read(add(file, queue, Request::other, side), file.fd[side], scratch,
                               static_cast<unsigned>(std::min(FETCH_PIECE, end - piece)),
                               static_cast<std::uint64_t>(piece));
        }
    }
}

void note_result(FileInFlight& file, Request request, int side, int result) {
    switch (request) {
        case Request::status:
            file.error[side] = result < 0 ? -result : 0;
            break;
        case Request::open:
            file.fd[side] = result;
            break;
        case Request::read:
            file.read[side] = result;
            break;
        case Request::write_out:
            note_write_out(result);
            break;
        case Request::other:
            break;
    }
}

FileToCompare finished_file(const FileInFlight& file) {
    FileToCompare compared;
    compared.error_a = file.error[SOURCE];
    compared.status_a = status_from_statx(file.status[SOURCE]);
    compared.error_b = file.error[COPY];
    compared.status_b = status_from_statx(file.status[COPY]);
    PreparedPair& pair = compared.pair;
    pair.fd_a = file.fd[SOURCE];
    pair.fd_b = file.fd[COPY];
    if (pair.fd_b >= 0) {
        pair.status_a = file.opened[SOURCE];
        pair.status_b = file.opened[COPY];
        pair.copy_pages = file.copy_pages;
        pair.first_a = first_bytes(file, SOURCE);
        pair.first_b = first_bytes(file, COPY);
    }
    return compared;
}
