// What the comparison of one file takes from its preparation: the statuses
// of the file and its copy, their descriptors and the first bytes read of
// each; the size of the blocks compared, how files are opened for it, and how
// the comparison tells how far it has come. How the bytes are compared is the
// comparison's.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>

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
