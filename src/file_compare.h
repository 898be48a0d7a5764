// The byte-wise comparison of one file with its copy, both opened and
// prepared ahead. What is prepared for a file before its comparison, and
// fetched ahead of it, is left to the file preparation and the files ahead.
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

// How a file and its copy are opened for the comparison: for reading,
// without waiting on a named pipe that has taken a file's place, and never as
// the program's terminal.
constexpr int COMPARE_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Bytes read ahead from the start of a file: `count` bytes at `data`, none
// where `data` is null.
struct FirstBytes {
    const char* data = nullptr;
    std::size_t count = 0;
};

// What has been prepared for the comparison of one file: the file and its
// copy opened as regular files (descriptors, -1 where not), the copy's pages
// dropped since, and the first bytes of each as read through its descriptor.
struct PreparedPair {
    int fd_a = -1;
    int fd_b = -1;
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

// Told how far a comparison has come, so that bytes are fetched on ahead of
// it.
class ComparisonProgress {
  public:
    virtual ~ComparisonProgress() = default;
    // The comparison has read both files up to `position`.
    virtual void reached(off_t position) = 0;
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

// files_equal for a `file` whose statuses have been queried and which has
// been prepared, telling `progress` how far it has come. Its descriptors are
// left open.
int files_equal(const FileToCompare& file, ComparisonProgress& progress);
