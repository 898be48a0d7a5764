// Reading the copy from its drive rather than from memory: the write-out of
// the copy's file system before the pass and of each copy before it is read,
// dropping a copy's pages from the page cache, and telling the file systems
// that hold their files in memory, where there is no drive to read from.
// When this is done for which file is for the comparison and the look-ahead.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "file_compare.h"

// Writes out the data that wait in memory to be written to the file system
// holding `directory`, and waits until that is done, so that a copy made
// just before is on its drive before it is read from there. One pass over the
// whole file system writes a fresh copy out faster than file by file. Nothing
// is done when `directory` is no directory that can be opened; files of the
// copy on other file systems are written out one by one as they are read.
void write_out_file_system(const std::string& directory);

// Writes out what of the open file `fd` still waits to be written, waits for
// that, and drops the file's pages from the page cache, so that its next
// reads come from the drive and not from memory. Pages that another process
// holds mapped stay. Failures are passed over: a file system without a drive
// (tmpfs, /proc) has nothing to write out or drop, and data that could not
// be written out are read back from the drive as they stand there.
void drop_cached_pages(int fd);

// The file system last asked whether it holds its files in memory, by its
// device, and its answer: the question costs a system call, and the files of
// a tree mostly lie on one file system.
struct InMemoryAnswer {
    std::optional<dev_t> device{};
    bool in_memory = false;
};

// True when `path` lies on a file system that holds its files in memory only
// (tmpfs, ramfs, /proc, /sys); false also when that cannot be told.
bool in_memory_file_system(const std::string& path);

// in_memory_file_system for the file `path` on `device`; asks the system only
// when `device` is not the one `last` remembers, and then remembers the
// answer.
bool in_memory_file_system(InMemoryAnswer& last, const std::string& path, dev_t device);

// Decides whether the copy's pages must be dropped before `prepared` is
// compared: not where they were dropped when it was opened ahead and
// `status_b`, the copy's status by path now, shows the same file, unchanged
// since (by its change time), nor where the copy at `path_b` lies on a file
// system that holds its files in memory, with no drive to read from.
void decide_copy_pages(InMemoryAnswer& last, PreparedPair& prepared, const std::string& path_b,
                       const struct stat& status_b);
