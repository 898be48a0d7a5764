// The io_uring queue of the reading engine, its files in flight (slots, one
// per file, taken in turn), and the steps of each file: statuses, opening,
// write-out and dropping of the copy, reading of the first blocks.
#include "reading_engine.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "copy_from_drive.h"
#include "look_ahead.h"

namespace {

using Clock = std::chrono::steady_clock;

// A status queried ahead stands for this long; a file taken later has its
// statuses queried again. Far shorter than the pause after a problem, during
// which a user may well change the trees.
constexpr auto STATUS_STANDS_FOR = std::chrono::milliseconds(200);

// Entries of the submission queue: enough for every request of the most
// files in flight (two statuses, or two opens, or the copy's write-out, drop,
// read and hint and the file's read and hint).
constexpr unsigned QUEUE_ENTRIES = 512;
constexpr unsigned REQUESTS_PER_FILE = 6;
// The longest chain of requests that must be submitted together.
constexpr unsigned LONGEST_CHAIN = 4;

constexpr int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr unsigned WRITE_OUT_FLAGS =
    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

// The requests that io_uring must know for the engine to work.
constexpr int NEEDED_REQUESTS[] = {IORING_OP_STATX, IORING_OP_OPENAT, IORING_OP_READ,
                                   IORING_OP_FADVISE, IORING_OP_SYNC_FILE_RANGE};

// The two sides of a file in flight: the file in directory 1 and its copy.
constexpr int SOURCE = 0;
constexpr int COPY = 1;

// What a request does, as told by its completion.
enum class Request : std::uint8_t { status, open, read, write_out, other };

// The steps of a file in flight; each ends when all its requests are done.
enum class Stage { free, status, open, read, done };

// A status as statx gives it, in the form that stat gives it.
struct stat as_stat(const struct statx& x) {
    struct stat status {};
    status.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    status.st_ino = x.stx_ino;
    status.st_mode = x.stx_mode;
    status.st_nlink = x.stx_nlink;
    status.st_uid = x.stx_uid;
    status.st_gid = x.stx_gid;
    status.st_size = static_cast<off_t>(x.stx_size);
    status.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    status.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
    return status;
}

// A file in flight: its place in the list, and per side its path, its status
// by path (or the error of the query), its descriptor with the status of what
// was opened, and its first block as read.
struct Slot {
    std::size_t index = 0;
    Stage stage = Stage::free;
    unsigned pending = 0;
    Clock::time_point queried{};
    // Bytes asked of the drives for this file.
    off_t bytes = 0;
    CopyPages copy_pages = CopyPages::drop;
    std::string path[2];
    struct statx status[2];
    int error[2] = {0, 0};
    int fd[2] = {-1, -1};
    struct stat opened[2];
    // Bytes read into `buffer`, or a negative errno value.
    int read[2] = {0, 0};
    char* buffer[2] = {nullptr, nullptr};
};

}  // namespace

struct ReadingEngine::State {
    State(const std::vector<std::string>& files, const std::string& prefix_1,
          const std::string& prefix_2)
        : files(files), prefix{prefix_1, prefix_2} {}

    const std::vector<std::string>& files;
    std::string prefix[2];
    io_uring ring{};
    std::vector<Slot> slots;
    std::unique_ptr<char[]> buffers;
    // The next file of the list to bring into flight.
    std::size_t next = 0;
    off_t bytes = 0;
    InMemoryAnswer in_memory{};
};

namespace {

using State = ReadingEngine::State;

// A completion's tag: the slot, the request and the side.
std::uint64_t tag(std::size_t slot, Request request, int side) {
    return (static_cast<std::uint64_t>(slot) << 8) | (static_cast<std::uint64_t>(request) << 1) |
           static_cast<std::uint64_t>(side);
}

// An entry of the submission queue for `request` of `side` of `slot`, which
// counts it as pending; the queue has room (see make_room).
io_uring_sqe* queue_request(State& state, std::size_t slot, Request request, int side) {
    io_uring_sqe* entry = io_uring_get_sqe(&state.ring);
    io_uring_sqe_set_data64(entry, tag(slot, request, side));
    ++state.slots[slot].pending;
    return entry;
}

// Submits what is queued when the submission queue has no room for a chain
// of `count` requests, which must be submitted together.
void make_room(State& state, unsigned count) {
    if (io_uring_sq_space_left(&state.ring) < count) {
        io_uring_submit(&state.ring);
    }
}

void close_opened(Slot& slot) {
    for (int& fd : slot.fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

// Brings the file `index` into flight in slot `number`: the statuses of both
// sides are queried, links followed.
void begin(State& state, std::size_t number, std::size_t index) {
    Slot& slot = state.slots[number];
    slot.index = index;
    slot.stage = Stage::status;
    slot.queried = Clock::now();
    slot.copy_pages = CopyPages::drop;
    slot.bytes = 0;
    make_room(state, 2);
    for (const int side : {SOURCE, COPY}) {
        slot.path[side].assign(state.prefix[side]).append(state.files[index]);
        slot.fd[side] = -1;
        slot.read[side] = -EAGAIN;
        io_uring_prep_statx(queue_request(state, number, Request::status, side), AT_FDCWD,
                            slot.path[side].c_str(), 0, STATX_BASIC_STATS, &slot.status[side]);
    }
}

// Both sides are regular files of the same size: opens them. The kernel tries
// an open in this thread first, as the queue is submitted; on a file system
// without a drive of its own (a network drive, a FUSE server), the open then
// waits here for the server's answer and holds up every other file, so there
// it goes to the kernel's workers at once.
void open_both(State& state, std::size_t number) {
    Slot& slot = state.slots[number];
    slot.stage = Stage::open;
    make_room(state, 2);
    for (const int side : {SOURCE, COPY}) {
        io_uring_sqe* open = queue_request(state, number, Request::open, side);
        io_uring_prep_openat(open, AT_FDCWD, slot.path[side].c_str(), OPEN_FLAGS, 0);
        if (slot.status[side].stx_dev_major == 0) {
            open->flags |= IOSQE_ASYNC;
        }
    }
}

// Both sides are open: reads the first block of each, after the copy has been
// written out and its pages dropped, and asks for the bytes after it up to a
// read-ahead turn in the background. A request of a chain runs when the one
// before it is done, whether that failed or not.
void read_both(State& state, std::size_t number, off_t size) {
    Slot& slot = state.slots[number];
    slot.stage = Stage::read;
    const off_t ahead = std::min(size, READ_AHEAD_TURN);
    const bool hints = ahead > static_cast<off_t>(BLOCK_SIZE);
    const bool drops =
        !in_memory_file_system(state.in_memory, slot.path[COPY], slot.opened[COPY].st_dev);
    make_room(state, LONGEST_CHAIN + 2);
    for (const int side : {COPY, SOURCE}) {
        const int fd = slot.fd[side];
        if (side == COPY && drops) {
            io_uring_sqe* write_out = queue_request(state, number, Request::write_out, side);
            io_uring_prep_sync_file_range(write_out, fd, 0, 0, WRITE_OUT_FLAGS);
            write_out->flags |= IOSQE_IO_HARDLINK;
            io_uring_sqe* drop = queue_request(state, number, Request::other, side);
            io_uring_prep_fadvise(drop, fd, 0, 0, POSIX_FADV_DONTNEED);
            drop->flags |= IOSQE_IO_HARDLINK;
        }
        io_uring_sqe* read = queue_request(state, number, Request::read, side);
        io_uring_prep_read(read, fd, slot.buffer[side], BLOCK_SIZE, 0);
        if (hints) {
            read->flags |= IOSQE_IO_HARDLINK;
            io_uring_prep_fadvise(queue_request(state, number, Request::other, side), fd,
                                  BLOCK_SIZE, ahead - static_cast<off_t>(BLOCK_SIZE),
                                  POSIX_FADV_WILLNEED);
        }
    }
    slot.copy_pages = CopyPages::keep;
    slot.bytes = 2 * ahead;
    state.bytes += slot.bytes;
}

// Takes the file in slot `number` to its next step once all the requests of
// the step it is in are done.
void advance(State& state, std::size_t number) {
    Slot& slot = state.slots[number];
    const off_t size = static_cast<off_t>(slot.status[SOURCE].stx_size);
    switch (slot.stage) {
        case Stage::status:
            if (slot.error[SOURCE] != 0 || slot.error[COPY] != 0 ||
                !S_ISREG(slot.status[SOURCE].stx_mode) || !S_ISREG(slot.status[COPY].stx_mode) ||
                slot.status[COPY].stx_size != slot.status[SOURCE].stx_size) {
                slot.stage = Stage::done;
            } else {
                open_both(state, number);
            }
            return;
        case Stage::open:
            if (slot.fd[SOURCE] < 0 || slot.fd[COPY] < 0 ||
                !opened_regular_file(slot.fd[SOURCE], size, slot.opened[SOURCE]) ||
                !opened_regular_file(slot.fd[COPY], size, slot.opened[COPY])) {
                close_opened(slot);
                slot.stage = Stage::done;
            } else {
                read_both(state, number, size);
            }
            return;
        default:
            slot.stage = Stage::done;
    }
}

// Notes what the request of a completion has given, and takes its file on
// when it was the last of its step.
void complete(State& state, const io_uring_cqe& completion) {
    const std::uint64_t data = io_uring_cqe_get_data64(&completion);
    const std::size_t number = data >> 8;
    const int side = static_cast<int>(data & 1);
    const int result = completion.res;
    Slot& slot = state.slots[number];
    switch (static_cast<Request>((data >> 1) & 0x7f)) {
        case Request::status:
            slot.error[side] = result < 0 ? -result : 0;
            break;
        case Request::open:
            slot.fd[side] = result;
            break;
        case Request::read:
            slot.read[side] = result;
            break;
        case Request::write_out:
            note_write_out(result);
            break;
        case Request::other:
            break;
    }
    if (--slot.pending == 0) {
        advance(state, number);
    }
}

// Submits what is queued, waits for at least one completion, and handles
// every completion there is.
void submit_and_handle(State& state) {
    io_uring_submit_and_wait(&state.ring, 1);
    io_uring_cqe* completion;
    unsigned head;
    unsigned count = 0;
    io_uring_for_each_cqe(&state.ring, head, completion) {
        complete(state, *completion);
        ++count;
    }
    io_uring_cq_advance(&state.ring, count);
}

// Brings files after the one `current` into flight while there are slots and
// the bytes asked for stay within LOOK_AHEAD_BYTES; `current` itself always.
void fill(State& state, std::size_t current) {
    const std::size_t slots = state.slots.size();
    while (state.next < state.files.size() &&
           (state.next <= current ||
            (state.next < current + slots && state.bytes < LOOK_AHEAD_BYTES))) {
        begin(state, state.next % slots, state.next);
        ++state.next;
    }
}

// The bytes of `side` read ahead, none where the read failed; a read that
// fails again when the comparison repeats it tells the error.
FirstBytes first_bytes(const Slot& slot, int side) {
    if (slot.read[side] < 0) {
        return {};
    }
    return {slot.buffer[side], static_cast<std::size_t>(slot.read[side])};
}

// The file in `slot`, done, as the comparison takes it.
FileToCompare finished_file(const Slot& slot) {
    FileToCompare file;
    file.error_a = slot.error[SOURCE];
    file.status_a = as_stat(slot.status[SOURCE]);
    file.error_b = slot.error[COPY];
    file.status_b = as_stat(slot.status[COPY]);
    PreparedPair& pair = file.pair;
    pair.fd_a = slot.fd[SOURCE];
    pair.fd_b = slot.fd[COPY];
    if (pair.fd_b >= 0) {
        pair.status_a = slot.opened[SOURCE];
        pair.status_b = slot.opened[COPY];
        pair.copy_pages = slot.copy_pages;
        pair.first_a = first_bytes(slot, SOURCE);
        pair.first_b = first_bytes(slot, COPY);
    }
    return file;
}

// Queries the status of `path` again into `status`, with its `error`.
void query_again(const std::string& path, struct stat& status, int& error) {
    error = ::stat(path.c_str(), &status) == 0 ? 0 : errno;
}

}  // namespace

ReadingEngine::ReadingEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReadingEngine::~ReadingEngine() {
    io_uring_queue_exit(&state_->ring);
}

std::unique_ptr<ReadingEngine> ReadingEngine::start(const std::vector<std::string>& files,
                                                    const std::string& prefix_1,
                                                    const std::string& prefix_2,
                                                    std::size_t max_files) {
    if (max_files == 0 || (in_memory_file_system(prefix_1) && in_memory_file_system(prefix_2))) {
        return nullptr;
    }
    auto state = std::make_unique<State>(files, prefix_1, prefix_2);
    if (io_uring_queue_init(QUEUE_ENTRIES, &state->ring, 0) != 0) {
        return nullptr;
    }
    io_uring_probe* probe = io_uring_get_probe_ring(&state->ring);
    const bool knows_all =
        probe != nullptr &&
        std::all_of(std::begin(NEEDED_REQUESTS), std::end(NEEDED_REQUESTS),
                    [&](int op) { return io_uring_opcode_supported(probe, op); });
    io_uring_free_probe(probe);
    if (!knows_all) {
        io_uring_queue_exit(&state->ring);
        return nullptr;
    }
    const std::size_t slots = std::min<std::size_t>(max_files, QUEUE_ENTRIES / REQUESTS_PER_FILE);
    // The kernel's workers that wait for file requests are few by default
    // (four for each processor); every request in flight gets one.
    unsigned workers[2] = {static_cast<unsigned>(2 * slots), 0};
    io_uring_register_iowq_max_workers(&state->ring, workers);
    state->slots.resize(slots);
    state->buffers.reset(new char[2 * slots * BLOCK_SIZE]);
    for (std::size_t i = 0; i < slots; ++i) {
        for (const int side : {SOURCE, COPY}) {
            state->slots[i].buffer[side] = state->buffers.get() + (2 * i + side) * BLOCK_SIZE;
        }
    }
    return std::unique_ptr<ReadingEngine>(new ReadingEngine(std::move(state)));
}

FileToCompare ReadingEngine::take(std::size_t index) {
    State& state = *state_;
    fill(state, index);
    Slot& slot = state.slots[index % state.slots.size()];
    while (slot.stage != Stage::done) {
        submit_and_handle(state);
    }
    io_uring_submit(&state.ring);
    slot.stage = Stage::free;
    state.bytes -= slot.bytes;

    FileToCompare file = finished_file(slot);
    if (Clock::now() - slot.queried > STATUS_STANDS_FOR) {
        query_again(slot.path[COPY], file.status_b, file.error_b);
        if (file.error_b == 0) {
            query_again(slot.path[SOURCE], file.status_a, file.error_a);
        }
    }
    if (file.error_b != 0) {
        close_prepared(file.pair);
        file.pair = PreparedPair{};
        return file;
    }
    decide_copy_pages(state.in_memory, file.pair, slot.path[COPY], file.status_b);
    return file;
}
