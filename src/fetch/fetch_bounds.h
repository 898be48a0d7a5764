// How far the program fetches ahead of the comparison, in files, bytes and
// pieces; the bounds that every way of fetching obeys.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The most files prepared ahead of the one being compared.
constexpr std::size_t MOST_FILES_AHEAD = 64;
// Of the files after the one being compared, at most this many bytes are
// fetched ahead, for both sides together; of one such file, no more than its
// first read-ahead turn.
constexpr off_t BYTES_AHEAD = 32 << 20;
// The file being compared is fetched on both sides two to three such turns
// ahead of its comparison; that room is its own, apart from BYTES_AHEAD.
constexpr off_t READ_AHEAD_TURN = 4 << 20;
// Bytes are fetched in pieces of this size, many in flight at once: a drive
// served from elsewhere answers each after a round trip, and can answer
// several at once.
constexpr off_t FETCH_PIECE = 1 << 20;

// Files that may be prepared ahead, two descriptors each: MOST_FILES_AHEAD,
// or fewer where the descriptors still free under the limit on open files
// leave less room, none where they leave no more than a few for the
// comparison and the log.
std::size_t files_ahead_allowed();
