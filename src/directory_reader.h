// Reading the entries of one directory with getdents64, a buffer at a time,
// and giving up its descriptor, once the rest of its entries are read, to
// spare one. Which directories to open, and what to do with their entries
// and with failures, is left to the walk.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <system_error>
#include <vector>

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
};

// The next entry of `directory` other than "." and "..", read from the
// system while the directory is open and the entries read so far are used
// up. It points into `directory.entries` and stays valid until the next call
// of next_entry or give_up_descriptor on `directory`. nullptr at the end of
// the directory, or when reading fails, which sets `error`; a directory
// removed while it is read just ends.
const struct dirent64* next_entry(DirectoryReader& directory, std::error_code& error);

// Spares a descriptor: reads the rest of the entries of the open `directory`
// into memory, with those not yet handed out, takes its status and closes
// it. The error when reading or taking the status fails, which leaves the
// directory open; otherwise none.
std::error_code give_up_descriptor(DirectoryReader& directory);

// The status of `directory` as it was opened, in `status`: queried while it
// is open, taken when its descriptor was given up otherwise. False when the
// query fails, which sets errno.
bool opened_status(const DirectoryReader& directory, struct stat& status);
