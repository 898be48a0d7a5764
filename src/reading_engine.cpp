// Which files are in flight (a slot each, taken in turn), when each goes on
// to its next step, and the file handed to the comparison.
#include "reading_engine.h"

#include <cerrno>
#include <chrono>

#include "copy_from_drive.h"
#include "file_in_flight.h"
#include "look_ahead.h"
#include "request_queue.h"

namespace {

// A status queried ahead stands for this long; a file taken later has its
// statuses queried again. Far shorter than the pause after a problem, during
// which a user may well change the trees.
constexpr auto STATUS_STANDS_FOR = std::chrono::milliseconds(200);

// Entries of the submission queue, which bound the files in flight to those
// whose most requests at once it holds; the pieces fetched after the first
// blocks are submitted as the queue has room.
constexpr unsigned QUEUE_ENTRIES = 512;
// The requests that the engine makes.
constexpr std::initializer_list<int> REQUESTS = {IORING_OP_STATX, IORING_OP_OPENAT, IORING_OP_READ,
                                                 IORING_OP_FADVISE, IORING_OP_SYNC_FILE_RANGE};

// Queries the status of `path` again into `status`, with its `error`.
void query_again(const std::string& path, struct stat& status, int& error) {
    error = ::stat(path.c_str(), &status) == 0 ? 0 : errno;
}

}  // namespace

struct ReadingEngine::State {
    const std::vector<std::string>& files;
    std::string prefix[2];
    std::vector<FileInFlight> slots{};
    // The first blocks of the files in flight, and where the pieces fetched
    // after them land, to be dropped.
    std::unique_ptr<char[]> buffers{};
    std::unique_ptr<char[]> scratch{};
    // The file of the list to be taken next, and the next one to bring into
    // flight.
    std::size_t current = 0;
    std::size_t next = 0;
    // Bytes fetched for the files in flight after their first blocks.
    off_t bytes = 0;
    InMemoryAnswer in_memory{};
    // Last, so that it is closed first, before the buffers that its requests
    // read into are freed.
    std::unique_ptr<RequestQueue> queue{};
};

namespace {

using State = ReadingEngine::State;

// Starts the fetches that wait, in list order from the file to be taken
// next, as long as the bytes fetched for the files in flight stay within
// LOOK_AHEAD_BYTES.
void fetch_waiting(State& state) {
    for (std::size_t index = state.current; index < state.next; ++index) {
        FileInFlight& file = state.slots[index % state.slots.size()];
        if (file.stage != Stage::waiting) {
            continue;
        }
        if (state.bytes + 2 * rest_to_fetch(file) > LOOK_AHEAD_BYTES) {
            return;
        }
        fetch_rest(file, *state.queue, state.scratch.get());
        state.bytes += file.bytes;
    }
}

// Takes the file in `slot` to its next step once all the requests of the
// step it is in are done.
void advance(State& state, std::size_t slot) {
    FileInFlight& file = state.slots[slot];
    switch (file.stage) {
        case Stage::status:
            if (same_size_files(file)) {
                open_both(file, *state.queue);
            } else {
                file.stage = Stage::done;
            }
            return;
        case Stage::open:
            if (opened_both(file)) {
                read_first_blocks(file, *state.queue,
                                  in_memory_file_system(state.in_memory, file.path[COPY],
                                                        file.opened[COPY].st_dev));
            } else {
                file.stage = Stage::done;
            }
            return;
        case Stage::read:
            if (rest_to_fetch(file) > 0) {
                file.stage = Stage::waiting;
                fetch_waiting(state);
            } else {
                file.stage = Stage::done;
            }
            return;
        default:
            file.stage = Stage::done;
    }
}

// Notes what the request tagged `tag` has given, and takes its file on when
// it was the last of its step.
void complete(State& state, std::uint64_t tag, int result) {
    const std::size_t slot = tagged_slot(tag);
    FileInFlight& file = state.slots[slot];
    note_result(file, tagged_request(tag), tagged_side(tag), result);
    if (--file.pending == 0) {
        advance(state, slot);
    }
}

// Brings the files after `current` into flight while there are slots and the
// bytes fetched stay within LOOK_AHEAD_BYTES; `current` itself always.
void fill(State& state, std::size_t current) {
    const std::size_t slots = state.slots.size();
    while (state.next < state.files.size() &&
           (state.next <= current ||
            (state.next < current + slots && state.bytes < LOOK_AHEAD_BYTES))) {
        const std::string& rel = state.files[state.next];
        query_statuses(state.slots[state.next % slots], *state.queue, state.prefix[SOURCE] + rel,
                       state.prefix[COPY] + rel);
        ++state.next;
    }
}

}  // namespace

ReadingEngine::ReadingEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReadingEngine::~ReadingEngine() = default;

std::unique_ptr<ReadingEngine> ReadingEngine::start(const std::vector<std::string>& files,
                                                    const std::string& prefix_1,
                                                    const std::string& prefix_2,
                                                    std::size_t max_files) {
    if (max_files == 0 || (!served_file_system(prefix_1) && !served_file_system(prefix_2))) {
        return nullptr;
    }
    const std::size_t slots =
        std::min<std::size_t>(max_files, QUEUE_ENTRIES / MOST_REQUESTS_AT_ONCE);
    // Every request of the files in flight gets a kernel worker.
    std::unique_ptr<RequestQueue> queue =
        RequestQueue::open(QUEUE_ENTRIES, REQUESTS, static_cast<unsigned>(2 * slots));
    if (!queue) {
        return nullptr;
    }
    auto state = std::make_unique<State>(State{files, {prefix_1, prefix_2}});
    state->queue = std::move(queue);
    state->slots.resize(slots);
    state->buffers.reset(new char[2 * slots * COMPARE_BLOCK_SIZE]);
    state->scratch.reset(new char[FETCH_PIECE]);
    for (std::size_t slot = 0; slot < slots; ++slot) {
        state->slots[slot].slot = slot;
        for (const int side : {SOURCE, COPY}) {
            state->slots[slot].buffer[side] =
                state->buffers.get() + (2 * slot + side) * COMPARE_BLOCK_SIZE;
        }
    }
    return std::unique_ptr<ReadingEngine>(new ReadingEngine(std::move(state)));
}

FileToCompare ReadingEngine::take(std::size_t index) {
    State& state = *state_;
    state.current = index;
    fill(state, index);
    fetch_waiting(state);
    FileInFlight& file = state.slots[index % state.slots.size()];
    while (file.stage != Stage::done) {
        if (file.stage == Stage::waiting) {
            // No room to fetch ahead even for the file at hand: the
            // comparison reads it.
            file.stage = Stage::done;
        } else {
            state.queue->wait([&](std::uint64_t tag, int result) { complete(state, tag, result); });
        }
    }
    state.queue->submit();
    file.stage = Stage::free;
    state.bytes -= file.bytes;

    FileToCompare compared = finished_file(file);
    if (std::chrono::steady_clock::now() - file.queried > STATUS_STANDS_FOR) {
        // Opened anew too: a file system that numbers its files by path
        // (sshfs) gives a file that has taken another's place the old one's
        // number, so the status cannot tell that the descriptors show the
        // file replaced.
        close_prepared(compared.pair);
        compared.pair = PreparedPair{};
        query_again(file.path[COPY], compared.status_b, compared.error_b);
        if (compared.error_b == 0) {
            query_again(file.path[SOURCE], compared.status_a, compared.error_a);
        }
    }
    if (compared.error_b != 0) {
        close_prepared(compared.pair);
        compared.pair = PreparedPair{};
        return compared;
    }
    decide_copy_pages(state.in_memory, compared.pair, file.path[COPY], compared.status_b);
    return compared;
}
