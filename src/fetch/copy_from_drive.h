// Reading the copy from its drive rather than from memory: the write-out of
// the copy's file system before the pass, the write-out and the drop of the
// pages of each copy before it is read, with a record of whether the drive
// reported errors then, and the drop of the pages of the block device under a FUSE file
// system. When each file's write-out and drop are made is the file
// preparation's; saying that the drive reported errors is for the comparison
// pass.
#pragma once

#include <sys/types.h>

#include <string>

// Writes out the data that wait in memory to be written to the file system
// holding `directory`, and waits until that is done, so that a copy made
// just before is on its drive before it is read from there. One pass over the
// whole file system writes a fresh copy out faster than file by file. Nothing
// is done when `directory` is no directory that can be opened; files of the
// copy on other file systems are written out one by one as they are read.
// An error that the file system reports is recorded (see
// copy_drive_reported_write_errors).
void write_out_file_system(const std::string& directory);

// Writes out and drops the pages that the page cache holds of the block
// device `device`, under a FUSE file system (ntfs-3g): such a file system
// reads the files it serves through that cache, which dropping a file's own
// pages does not reach. Nothing is done where the device cannot be opened for
// reading, which takes the rights of its owner or group.
void drop_block_device_pages(dev_t device);

// Has the copy's file open as `fd` read from its drive: what of it waits to
// be written is written out, after what was under way before, and waited for;
// then its pages are dropped from the page cache. An error of the write-out
// is recorded (see copy_drive_reported_write_errors).
void drop_copy_pages(int fd);

// True once write_out_file_system or drop_copy_pages has met an error of the
// write-out in this run: the drive did not take all of the data that waited
// in memory to be written to it, so that the copy it holds may not be the one
// that was written. The user needs to be told only once.
bool copy_drive_reported_write_errors();
