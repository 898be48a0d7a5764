// The look-ahead of the comparison pass: a window of the files after the one
// being compared, opened ahead, with their copies written out and dropped
// from memory and their first bytes asked of the drives in the background,
// so that a drive is kept busy while the program waits for the file at hand.
// It serves on drives of this machine, and where the reading engine cannot be
// set up. Comparing the bytes is left to files_equal.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "copy_from_drive.h"
#include "file_compare.h"

// A file of the look-ahead's window: its place in the list, the bytes of it
// and of its copy asked for ahead, and the pair as opened, with the copy's
// pages dropped.
struct LookAheadFile {
    std::size_t index;
    off_t bytes;
    PreparedPair pair;
};

// The window, bounded in files and in bytes, with the descriptors it holds.
// It rests while whole stretches of files come from memory, where it would
// only cost, and wakes when data come from a drive again.
struct LookAhead {
    // Directory 1 and directory 2, each followed by "/".
    std::string prefix_1;
    std::string prefix_2;
    std::deque<LookAheadFile> window{};
    // The most files the window may hold; set at its first use.
    std::optional<std::size_t> max_files{};
    // The next file of the list to be brought into the window.
    std::size_t next = 0;
    off_t window_bytes = 0;
    bool resting = false;
    InMemoryAnswer in_memory{};
    // Files met since the program's reads from drives were last counted, and
    // that count.
    std::size_t files_since_check = 0;
    long blocks_read = 0;
};

// The file `current` of `files` (paths relative to both directories), at
// `path_1` and its copy at `path_2`, for its comparison. First brings the
// files after it into the window as far as it has room: the size of each
// file and of its copy is queried, and where both are regular files of the
// same size, both are opened, the copy is written out and its pages dropped
// as files_equal would, and the first bytes of both are asked for in the
// background; both stay open for the comparison. Then queries the copy's
// status and, where there is a copy, takes the file out of the window,
// closes what it holds of files before it, and queries the file's status.
// The copy needs its pages dropped unless the look-ahead has dropped them and
// its status shows the same file, unchanged since (by its change time), or
// it lies on a file system that holds its files in memory.
FileToCompare take_file(LookAhead& ahead, const std::vector<std::string>& files,
                        std::size_t current, const std::string& path_1, const std::string& path_2);

// Bounds on how far the program goes ahead of the file being compared:
// files (two descriptors each), bytes asked of the drives, and the files
// that the limit on open files leaves room for.
constexpr off_t LOOK_AHEAD_BYTES = 32 << 20;
std::size_t look_ahead_files_allowed();
