// Byte-wise comparison of one file with its copy.
#pragma once

#include <sys/stat.h>

#include <string>

// Result codes of files_equal.
constexpr int FILES_IDENTICAL = 0;
constexpr int FILES_DIFFERENT = 1;
constexpr int FILES_UNREADABLE = 2;

// Whether the copy's pages in the page cache must be dropped before it is
// read, or have been dropped already since its data were last written.
enum class CopyPages { drop, dropped };

// Compares the file at `path_a` with the file at `path_b`, its copy,
// following symbolic links. The copy's data are read from its drive: what of
// it still waits to be written is written out first, and its pages are
// dropped from the page cache; `path_a` is read as the system sees it. Returns FILES_IDENTICAL when
// both are regular files of the same size and hold the same bytes; FILES_DIFFERENT when the sizes
// differ (neither file is then opened) or some block of bytes differs; FILES_UNREADABLE when either
// is missing or not a regular file (such a file is never opened), cannot be
// opened, or a read fails. Both files are read in lockstep, one 64 KiB block
// each at a time, up to the first differing block; both are closed again on
// every path.
int files_equal(const std::string& path_a, const std::string& path_b);

// files_equal for a `path_b` whose status, links followed, the caller has
// just queried into `status_b`, so that it is not queried a second time;
// with CopyPages::dropped, the copy's pages are not dropped again.
int files_equal(const std::string& path_a, const std::string& path_b, const struct stat& status_b,
                CopyPages copy_pages);
