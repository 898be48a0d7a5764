// The byte-wise comparison of one file with its copy, and the verdict on a
// file from what its preparation found. What a file goes through before its
// bytes are compared is the file preparation's.
#pragma once

#include <string>

#include "fetch/file_preparation.h"

// Result codes of files_equal.
constexpr int FILES_IDENTICAL = 0;
constexpr int FILES_DIFFERENT = 1;
constexpr int FILES_UNREADABLE = 2;

// Compares the file at `path_a` with the file at `path_b`, its copy,
// following symbolic links. The copy's data are read from its drive: what of
// it still waits to be written is written out first, and its pages are
// dropped from the page cache; `path_a` is read as the system sees it.
// Returns FILES_IDENTICAL when both are regular files of the same size and
// hold the same bytes; FILES_DIFFERENT when the sizes differ (neither file is
// then opened) or some block of bytes differs; FILES_UNREADABLE when either
// is missing or not a regular file (such a file is never opened), cannot be
// opened, or a read fails. Both files are read in lockstep, one 64 KiB block
// each at a time, up to the first differing block; both are closed again on
// every path.
int files_equal(const std::string& path_a, const std::string& path_b);

// The verdict on a file of the list.
enum class Verdict { identical, different, missing, unreadable, left_for_turn };

// The verdict on the file that `file` prepared: where it found a pair, their
// bytes compared as files_equal does, after which they are closed.
Verdict verdict_on(PreparedFile& file);
