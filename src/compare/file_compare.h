// The byte-wise comparison of one file with its copy, both opened and
// prepared ahead. What is prepared for a file before its comparison, and
// fetched ahead of it, is left to the file preparation and the files ahead.
#pragma once

#include <string>

#include "fetch/file_to_compare.h"

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

// files_equal for a `file` whose statuses have been queried and which has
// been prepared, telling `progress` how far it has come. Its descriptors are
// left open.
int files_equal(const FileToCompare& file, ComparisonProgress& progress);
