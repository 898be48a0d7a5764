// Where a file's bytes begin on its disk, as far as its file system tells
// (FIEMAP): the order in which a rotating disk reads files without seeking
// back and forth. Which files are read in that order is left to the depth.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The place on its disk where the bytes of the regular file at `path`
// begin, in bytes from the start of the disk's file system, where its file
// system maps files for the asking; otherwise `inode`, its number, in which
// a file system such as ext4 lays out the bytes of files made one after the
// other.
std::uint64_t place_on_disk(const std::string& path, ino_t inode);
