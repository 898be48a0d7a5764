// One file of the list in flight in the reading engine: its two sides, the
// file and its copy, what the requests for them have given, the requests of
// each of its steps, and what the comparison takes of it in the end. Which
// files are in flight, and when a file goes on to its next step, is the
// engine's.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "file_compare.h"
#include "request_queue.h"

// The most requests that a file queues at once: the copy's write-out, drop
// and read, and the file's read.
constexpr unsigned MOST_REQUESTS_AT_ONCE = 4;
// The bytes after the first block are fetched in pieces of this size, read in
// parallel into a buffer whose bytes are never looked at. A hint to read
// ahead would be cheaper, but FUSE drops such hints when it has many requests
// out, and a network share answers each piece after a round trip.
constexpr off_t FETCH_PIECE = 256 << 10;

// The two sides of a file in flight: the file in directory 1 and its copy.
constexpr int SOURCE = 0;
constexpr int COPY = 1;

// What a request does, as its completion tells.
enum class Request : std::uint8_t { status, open, read, write_out, other };

// The steps of a file in flight; each ends when all its requests are done. A
// file waits after its first blocks are read until the bytes after them can
// be fetched.
enum class Stage { free, status, open, read, waiting, fetch, done };

struct FileInFlight {
    // The engine's slot that the file occupies, which tags its requests.
    std::size_t slot = 0;
    Stage stage = Stage::free;
    unsigned pending = 0;
    // When the statuses were asked for.
    std::chrono::steady_clock::time_point queried{};
    // Bytes fetched for this file after its first blocks.
    off_t bytes = 0;
    CopyPages copy_pages = CopyPages::drop;
    // Per side: the path, the status by path or the error of its query (an
    // errno value), the descriptor (-1 where not open) with the status of
    // what it opened, and the first block as read (the bytes read into
    // `buffer`, or a negative errno value).
    std::string path[2];
    struct statx status[2];
    int error[2] = {0, 0};
    int fd[2] = {-1, -1};
    struct stat opened[2];
    int read[2] = {0, 0};
    char* buffer[2] = {nullptr, nullptr};
};

// The tag of a request of `side` of the file in slot `slot`, and what a tag
// tells.
std::uint64_t request_tag(std::size_t slot, Request request, int side);
std::size_t tagged_slot(std::uint64_t tag);
Request tagged_request(std::uint64_t tag);
int tagged_side(std::uint64_t tag);

// Queues the status queries of both sides of `file`, at `path_1` and
// `path_2`, links followed.
void query_statuses(FileInFlight& file, RequestQueue& queue, const std::string& path_1,
                    const std::string& path_2);
// True when both sides are regular files of the same size.
bool same_size_files(const FileInFlight& file);
// Queues the opening of both sides.
void open_both(FileInFlight& file, RequestQueue& queue);
// True when both sides were opened, and are regular files; otherwise closes
// what was opened.
bool opened_both(FileInFlight& file);
// Queues the reading of the first block of both sides, the copy's after it
// has been written out and, unless `keep_copy_pages`, its pages dropped.
void read_first_blocks(FileInFlight& file, RequestQueue& queue, bool keep_copy_pages);
// The bytes of each side after its first block, up to a read-ahead turn.
off_t rest_to_fetch(const FileInFlight& file);
// Queues the fetching of those bytes into `scratch`, FETCH_PIECE bytes, in
// pieces read in parallel; the bytes land in the page cache, where the
// comparison finds them.
void fetch_rest(FileInFlight& file, RequestQueue& queue, char* scratch);
// Notes the `result` of a request of `side`.
void note_result(FileInFlight& file, Request request, int side, int result);

// The file, done, as the comparison takes it; its descriptors and first
// blocks go with it.
FileToCompare finished_file(const FileInFlight& file);
