// What a file and its copy go through before their bytes are compared,
// written once for the workers that decide files ahead of their turn and for
// the comparison of a file at its turn: the status of both; where both are
// regular files of the same size, both opened, and what was opened checked to
// be a regular file (a named pipe may have taken a file's place); the copy
// written out and its pages dropped, so that its bytes come from its drive.
// And whether what was found of a file ahead of its turn still stands. How
// the bytes are compared is the comparison's; which file is prepared when,
// the verdicts ahead's.
#pragma once

#include <string>

#include "fetch/file_systems_met.h"
#include "system/file_status.h"

// The two sides of a file: the file in directory 1 and its copy.
constexpr int SOURCE = 0;
constexpr int COPY = 1;

// When a file is prepared.
enum class When {
    // Ahead of its turn: what is found stands at the turn only where the
    // file's statuses, asked anew then, show it unchanged; the statuses are
    // taken as the system keeps them, since a stale one only shows a change.
    ahead,
    // At its turn, with its statuses asked anew.
    at_turn,
};

// What the preparation of a file found.
enum class Found {
    // Both sides are regular files of the same size, to be compared: open
    // once open_pair has opened them.
    pair,
    // The copy is missing.
    missing_copy,
    // The copy cannot be looked up, or a side is no regular file, is missing
    // (the source) or cannot be opened.
    unreadable,
    // Both are regular files of different sizes.
    different_sizes,
    // Nothing that would stand at the file's turn: its statuses cannot show
    // a later change (only ahead), or it could not be opened for want of
    // descriptors.
    left_for_turn,
};

struct PreparedFile {
    Found found = Found::left_for_turn;
    // The statuses of both sides, as taken before either was opened.
    PathStatus status[2];
    // The descriptors of both sides where a pair was found, else -1.
    int fd[2] = {-1, -1};
    // An open failed for want of descriptors.
    bool short_of_descriptors = false;
};

// Looks up the file whose sides lie at `paths`, `when` said: the statuses of
// both, and what they alone tell.
PreparedFile look_up(const std::string (&paths)[2], When when);

// Opens both sides of the pair that `file` found at `paths`, and has the
// copy's bytes read from its drive (its file systems are those met in
// `copy_systems`). Where either side cannot be opened as a regular file,
// `file.found` says why, and nothing is left open; otherwise the descriptors
// are the caller's, to be closed with close_pair.
void open_pair(PreparedFile& file, const std::string (&paths)[2], CopyFileSystems& copy_systems);

// Looks up the file at `paths` and opens its pair where it finds one.
PreparedFile prepare_file(const std::string (&paths)[2], When when, CopyFileSystems& copy_systems);

// Asks the drive of the file at `path` for its first `bytes` bytes, to be
// read in the background and compared from memory: for a source whose
// comparisons wait on a rotating disk that holds the copies.
void ask_for_bytes(const std::string& path, off_t bytes);

// Closes what `file` holds open.
void close_pair(PreparedFile& file);

// True when the statuses of both sides at `paths`, asked anew, show what
// `found` showed: what was found then still stands, since look_up leaves
// for the turn every file whose statuses could not show a change.
bool still_stands(const std::string (&paths)[2], const PathStatus (&found)[2]);
