// Byte-wise comparison of one file with its copy.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// Result codes of files_equal.
constexpr int FILES_IDENTICAL = 0;
constexpr int FILES_DIFFERENT = 1;
constexpr int FILES_UNREADABLE = 2;

// Writes out the data that wait in memory to be written to the file system
// holding `directory`, and waits until that is done, so that a copy made
// just before is on its drive before it is read from there. One pass over the
// whole file system writes a fresh copy out faster than file by file. Nothing
// is done when `directory` is no directory that can be opened; files of the
// copy on other file systems are written out one by one as they are read.
void write_out_file_system(const std::string& directory);

// Whether the copy's pages in the page cache must be dropped before it is
// read, or are kept: they have been dropped already since its data were last
// written, or the copy lies on a file system that holds its files in memory.
enum class CopyPages { drop, keep };

// What the look-ahead has prepared for the comparison of one file: the file
// and its copy opened (descriptors, -1 where not), with the status of each
// as it was opened, and whether the copy's pages must still be dropped.
struct PreparedPair {
    int fd_a = -1;
    struct stat status_a {};
    int fd_b = -1;
    struct stat status_b {};
    CopyPages copy_pages = CopyPages::drop;
};

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

// files_equal for a `path_b` whose status, links followed, the caller has
// just queried into `status_b`, so that it is not queried a second time, and
// with what the look-ahead has `prepared`: a descriptor opened ahead is used
// where the file's status now shows the same file, and closed otherwise;
// with CopyPages::keep, the copy's pages are not dropped.
int files_equal(const std::string& path_a, const std::string& path_b, const struct stat& status_b,
                const PreparedPair& prepared);

// A file of the look-ahead's window: its place in the list, the bytes of it
// and of its copy asked for ahead, and the pair as opened, with the copy's
// pages dropped.
struct LookAheadFile {
    std::size_t index;
    off_t bytes;
    PreparedPair pair;
};

// The files after the one being compared whose data the kernel has been
// asked to fetch from the drives in the background, so that a drive is kept
// busy while the program waits for the file at hand. Bounded in files and in
// bytes. It rests while whole stretches of files come from memory, where it
// would only cost, and wakes when data come from a drive again.
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
    // The file system last asked whether it holds its files in memory, and
    // its answer.
    std::optional<dev_t> device{};
    bool device_in_memory = false;
    // Files met since the program's reads from drives were last counted, and
    // that count.
    std::size_t files_since_check = 0;
    long blocks_read = 0;
};

// Brings the files after `current` in `files` (paths relative to both
// directories) into the window as far as it has room: the size of each
// file and of its copy is queried, and where both are regular files of the
// same size, both are opened, the copy is written out and its pages dropped
// as files_equal would, and the first bytes of both are asked for in the
// background; both stay open for the comparison. Changes no file's contents
// and decides nothing: every file's status is queried afresh when it is
// compared.
void look_ahead(LookAhead& ahead, const std::vector<std::string>& files, std::size_t current);

// Takes the file `current` out of the window, and closes what the window
// holds of files before it. Returns what has been prepared for it, for
// files_equal; its copy at `path_2`, whose status is now `status_2`, needs
// its pages dropped unless the look-ahead has dropped them and `status_2`
// shows the same file, unchanged since (by its change time), or the copy
// lies on a file system that holds its files in memory (tmpfs, /proc), with
// no drive to read from.
PreparedPair leave_look_ahead(LookAhead& ahead, std::size_t current, const std::string& path_2,
                              const struct stat& status_2);
