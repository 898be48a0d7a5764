// Reading the copy from its drive rather than from memory: the write-out of
// the copy's file system before the pass and of each copy before it is read,
// with a record of whether the drive reported errors then; dropping a copy's
// pages from the page cache, and those of the block device under a FUSE file
// system; and telling the file systems that hold their files in memory, with
// no drive to read from, and those served from elsewhere. When this is done
// for which file is for the comparison, the look-ahead and the reading
// engine; saying that the drive reported errors is for the comparison pass.
#pragma once

#include <fcntl.h>
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
// An error that the file system reports is recorded (see
// copy_drive_reported_write_errors).
void write_out_file_system(const std::string& directory);

// Drops the pages that the page cache holds of the block device under the
// file system holding `directory`, where that is a FUSE file system on a
// block device (ntfs-3g): such a file system reads the files it serves
// through that cache, which dropping a file's own pages does not reach.
// Pages that wait to be written stay, so the file system is written out
// first. Nothing is done where the device cannot be opened for reading,
// which takes the rights of its owner or group.
void drop_block_device_pages(const std::string& directory);

// How a copy's file is written out: what waits to be written is, and the
// write-out waits for what was under way before and for its own end.
constexpr unsigned WRITE_OUT_FLAGS =
    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

// Writes out what of the open file `fd` still waits to be written, waits for
// that, and drops the file's pages from the page cache, so that its next
// reads come from the drive and not from memory. Pages that another process
// holds mapped stay. An error of the write-out is recorded (see
// copy_drive_reported_write_errors) and the pages are dropped all the same:
// data that could not be written out are read back from the drive as they
// stand there. A file system without a drive (tmpfs, /proc) has nothing to
// write out or drop.
void drop_cached_pages(int fd);

// Notes the `result` of a write-out of a copy's file (negative when it
// failed, as a system call or an io_uring request gives it), for
// copy_drive_reported_write_errors.
void note_write_out(int result);

// True once write_out_file_system, drop_cached_pages or note_write_out has met an error of
// the write-out in this run: the drive did not take all of the data that
// waited in memory to be written to it, so that the copy it holds may not
// be the one that was written. The calls are made from several rooms, and
// the user needs to be told only once.
bool copy_drive_reported_write_errors();

// The file system last asked whether it holds its files in memory, by its
// device, and its answer: the question costs a system call, and the files of
// a tree mostly lie on one file system.
struct InMemoryAnswer {
    std::optional<dev_t> device{};
    bool in_memory = false;
};

// True when `path` lies on a file system that answers from elsewhere than a
// drive of this machine or its memory: a network share or a FUSE server
// (and btrfs, ZFS or overlayfs, whose devices are not their own), whose every
// answer may take a round trip. False also when that cannot be told.
bool served_file_system(const std::string& path);

// True when the file `path` on `device` lies on a file system that holds its
// files in memory only (tmpfs, ramfs, /proc, /sys); asks the system only when
// `device` is not the one `last` remembers, and then remembers the answer.
bool in_memory_file_system(InMemoryAnswer& last, const std::string& path, dev_t device);

// Decides whether the copy's pages must be dropped before `prepared` is
// compared: not where they were dropped when it was opened ahead and
// `status_b`, the copy's status by path now, shows the same file, unchanged
// since (by its change time), nor where the copy at `path_b` lies on a file
// system that holds its files in memory, with no drive to read from.
void decide_copy_pages(InMemoryAnswer& last, PreparedPair& prepared, const std::string& path_b,
                       const struct stat& status_b);
