// How many threads read the directories of the source ahead of its walk:
// decided by how its drive answers, and bounded by the descriptors free.
#pragma once

#include <string>

// How many threads read directories ahead of a walk of `root`: none where
// the tree lies in memory, or on a drive of this machine that answers the
// reading of the root's first entries from memory (a tree walked before),
// since a thread would hand the answers over later than the walk reads them
// itself, or where too few descriptors are free for them beside the walk's
// own; a few on a rotating disk, which seeks between what they read.
unsigned read_ahead_threads(const std::string& root);
