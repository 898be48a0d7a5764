// What a file and its copy go through before their comparison, written once
// for every fetcher: the status of both; where both are regular files of the
// same size, both opened, and the status of what was opened (a named pipe may
// have taken a file's place); the copy written out and its pages dropped, so
// that its bytes come from its drive; the first bytes of both read. And
// whether what was prepared still stands when the file's turn comes. Which
// files are prepared when, and the bytes fetched after the first, are left to
// the files ahead, which ask for them here.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "fetch/fetcher.h"
#include "fetch/file_systems_met.h"
#include "fetch/file_to_compare.h"

// The two sides of a file: the file in directory 1 and its copy.
constexpr int SOURCE = 0;
constexpr int COPY = 1;

// One side of a file in preparation.
struct PreparedSide {
    std::string path;
    // On a file system served from elsewhere.
    bool served = false;
    // The status by path, links followed, with the error of its query (an
    // errno value, 0 when it succeeded).
    struct statx status {};
    int error = 0;
    // The descriptor (-1 where not open), and the status of what it opened;
    // false in `usable` where the side could not be opened as a regular file.
    int fd = -1;
    struct statx opened {};
    bool usable = true;
    // Opened again waiting, after a non-blocking open met a lease.
    bool waited = false;
    // The first block as read into `buffer`: its count, or a negative errno
    // value where it was not read.
    int first = 0;
    char* buffer = nullptr;
    // The status asked again for the file's turn, with its error.
    struct statx again {};
    int again_error = 0;
};

// The stages of a file's preparation; each ends when all its requests are
// answered. A finished file has had its descriptors closed.
enum class Stage { free, status, open, ready, finished };

struct FileAhead {
    // The file's place in the list and among the files in flight.
    std::size_t index = 0;
    std::uint32_t place = 0;
    // Raised each time the place lets go of what it asked for: the answers
    // to requests of an earlier generation are no longer awaited.
    std::uint32_t generation = 0;
    // The fetcher that makes its requests.
    Fetcher* way = nullptr;
    Stage stage = Stage::free;
    // Requests of the preparation not yet answered, and all requests of the
    // file not yet answered (closes and fetches too).
    unsigned pending = 0;
    unsigned in_flight = 0;
    // When the statuses of both sides were asked last, at the preparation or
    // since, on the files ahead's clock; and whether they were asked again
    // since the preparation.
    std::uint64_t asked_at = 0;
    bool asked_again = false;
    // An open failed for want of descriptors.
    bool short_of_descriptors = false;
    // Its descriptors were given back to others: it is prepared anew.
    bool given_back = false;
    // The bytes of both sides asked for from the start, first block included.
    off_t fetched = 0;
    PreparedSide side[2];
};

// Begins the preparation of `file`, whose sides' paths are set, with the
// status of both, asked through `way` at the time `now`; its later requests
// go the same way.
void begin_preparation(FileAhead& file, Fetcher& way, std::uint64_t now);

// Takes `file` on by the `result` of its `request`.
void prepare_on(FileAhead& file, const Request& request, int result, FileSystemsMet& systems);

// Asks the status of both sides again through `way` at the time `now`, for
// the file's turn.
void ask_again(FileAhead& file, Fetcher& way, std::uint64_t now);

// True when the statuses asked again show what was prepared, unchanged: the
// same file, of the same size and change time, with the same errors.
bool still_stands(const FileAhead& file);

// The size of `file` as its status showed it.
off_t size_of(const FileAhead& file);

// True when both sides of `file` are prepared and open.
bool ready_and_open(const FileAhead& file);

// Asks for the bytes of both sides of the open `file` from what was asked for
// so far up to `to` (or its end), in pieces that land in `scratch`, never to
// be looked at: one side's run after the other's, so that where both lie on
// one disk it reads a long run of each file rather than seeking between them
// every piece.
void fetch_bytes(FileAhead& file, char* scratch, off_t to);

// Closes what `file` holds open.
void close_sides(FileAhead& file);

// A request of `step` for `side` of `file`, counted as in flight.
Request request_for(FileAhead& file, Step step, int side);

// The file as the comparison takes it: the statuses (as asked again, where
// they were), the descriptors and the first bytes read. The descriptors stay
// the file's.
FileToCompare handed_over(const FileAhead& file);
