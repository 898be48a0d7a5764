// Reading the entries of one directory with getdents64, a buffer at a time,
// giving up its descriptor, once the rest of its entries are read, to spare
// one, and telling whether it left its path while they were read. Which
// directories to open, and what to do with their entries and with failures,
// is left to the walk.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

// How the root of the walk is opened: through a link, if it is one.
constexpr int ROOT_OPEN_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// How a directory below the root is opened: by its name in the directory
// above it, or by its path, never through a link that has taken its place.
constexpr int SUBDIRECTORY_OPEN_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A directory being read: open, or closed with its entries not yet handed
// out kept in memory.
struct DirectoryReader {
    // The open directory; -1 once its descriptor has been given up.
    int fd;
    // Entries read from the system and not yet handed out, as the system
    // wrote them, from `next` on.
    std::vector<char> entries{};
    std::size_t next = 0;
    // The directory's status, taken when its descriptor was given up.
    struct stat closed_status = {};
    // How many reads from the system have given entries so far.
    unsigned reads = 0;
    // Set when its descriptor was given up: what left_its_path answers.
    std::error_code moved_away{};
};

// The next entry in `entries` from `offset` on other than "." and ".." and
// those removed, with `offset` moved past it; nullptr when there is none.
const struct dirent64* next_listed_entry(const std::vector<char>& entries, std::size_t& offset);

// The next entry of `directory` other than "." and "..", read from the
// system while the directory is open and the entries read so far are used
// up. It points into `directory.entries` and stays valid until the next call
// of next_entry or give_up_descriptor on `directory`. nullptr at the end of
// the directory, or when reading fails, which sets `error`; a directory
// removed while it is read just ends.
const struct dirent64* next_entry(DirectoryReader& directory, std::error_code& error);

// Appends to the entries of the open `directory` what the system gives of
// them at a time; false at the end of the directory or when reading fails,
// which sets `error`.
bool read_more_entries(DirectoryReader& directory, std::error_code& error);

// Once all entries of the open `directory` at `path` have been read: takes
// its status, notes what left_its_path is to answer, and closes it. The
// error when its status cannot be taken, which leaves it open; otherwise
// none.
std::error_code close_read_directory(DirectoryReader& directory, const std::string& path);

// Spares a descriptor: reads the rest of the entries of the open `directory`
// at `path` into memory, with those not yet handed out, and closes it as
// close_read_directory does. The error when reading or taking the status
// fails, which leaves the directory open; otherwise none.
std::error_code give_up_descriptor(DirectoryReader& directory, const std::string& path);

// Once all entries of `directory` have been read: the error with which the
// walk ends because the directory is no longer the one at `path`, moved
// elsewhere or replaced, after a read of its entries that followed the
// first; none when it is still there or has been removed, which leaves
// nothing to list under any path. A directory read in one go is checked at
// its first file, which the walk reaches by its path.
std::error_code left_its_path(const DirectoryReader& directory, const std::string& path);

// The status of `directory` as it was opened, in `status`: queried while it
// is open, taken when its descriptor was given up otherwise. False when the
// query fails, which sets errno.
bool opened_status(const DirectoryReader& directory, struct stat& status);
