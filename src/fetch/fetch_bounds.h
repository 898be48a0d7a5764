// How many files are decided at once, and how far ahead of the file whose
// turn it is: the bounds within which the depth chooses.
#pragma once

#include <cstddef>

// The most workers, each deciding one file at a time: as many as a drive
// served from elsewhere is asked for at once.
constexpr std::size_t MOST_WORKERS = 64;
// Files decided ahead of the one whose turn it is, at most: room for every
// worker to go on while one file takes long, and for a rotating disk to read
// many small files in the order in which they lie on it.
constexpr std::size_t FILES_DECIDED_AHEAD = 1024;

// Workers that the descriptors still free under the limit on open files
// leave room for, two each, besides those kept for the log, the threads
// that list the copy's directories ahead and the comparison of a file at its
// turn; at most MOST_WORKERS.
std::size_t workers_allowed();
