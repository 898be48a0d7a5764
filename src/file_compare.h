// The byte-wise comparison of one file with its copy, and the opening of a
// file for it. Which files are compared, and what is fetched ahead of the
// comparison, is left to the comparison pass and the look-ahead.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

// Result codes of files_equal.
constexpr int FILES_IDENTICAL = 0;
constexpr int FILES_DIFFERENT = 1;
constexpr int FILES_UNREADABLE = 2;

// Files are compared in blocks of this many bytes.
constexpr std::size_t COMPARE_BLOCK_SIZE = 65536;

// Files are read with hints this many bytes ahead of the reading: the
// look-ahead asks for no more of a file before it is compared.
constexpr off_t READ_AHEAD_TURN = 4 << 20;

// Whether the copy's pages in the page cache must be dropped before it is
// read, or are kept: they have been dropped already since its data were last
// written, or the copy lies on a file system that holds its files in memory.
enum class CopyPages { drop, keep };

// Bytes read ahead from the start of a file: `count` bytes at `data`, none
// where `data` is null.
struct FirstBytes {
    const char* data = nullptr;
    std::size_t count = 0;
};

// What has been prepared ahead for the comparison of one file: the file and
// its copy opened (descriptors, -1 where not), with the status of each as it
// was opened, whether the copy's pages must still be dropped, and the first
// bytes of each as read through its descriptor.
struct PreparedPair {
    int fd_a = -1;
    struct stat status_a {};
    int fd_b = -1;
    struct stat status_b {};
    CopyPages copy_pages = CopyPages::drop;
    FirstBytes first_a{};
    FirstBytes first_b{};
};

// A file of the list as the comparison finds it: the status of the file
// (`status_a`) and of its copy (`status_b`) by path, links followed, each
// with the error of its query (an errno value, 0 when it succeeded), and
// what has been prepared for it.
struct FileToCompare {
    int error_a = 0;
    struct stat status_a {};
    int error_b = 0;
    struct stat status_b {};
    PreparedPair pair{};
};

// Closes the descriptors that `prepared` holds.
void close_prepared(const PreparedPair& prepared);

// How a file and its copy are opened for the comparison: for reading,
// without waiting on a named pipe that has taken a file's place, and never as
// the program's terminal.
constexpr int COMPARE_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens `path` for reading without blocking and returns the descriptor, with
// the status of what was opened in `status`, or -1 when it cannot be opened
// or is not opened_regular_file.
int open_regular_file(const std::string& path, off_t size, struct stat& status);

// True when `fd`, just opened, is a regular file, whose status then goes to
// `status`; a named pipe may have taken the place of the file since its
// `size` was queried. A big file is announced to be read straight through.
bool opened_regular_file(int fd, off_t size, struct stat& status);

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

// files_equal for a `file` whose statuses have just been queried, so that
// they are not queried a second time, with what has been prepared for it: a
// descriptor opened ahead, and the bytes read through it, are used where the
// file's status shows the same file, and the descriptor is closed otherwise;
// with CopyPages::keep, the copy's pages are not dropped.
int files_equal(const std::string& path_a, const std::string& path_b, const FileToCompare& file);
