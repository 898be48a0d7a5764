// Questions about what stands at a path: whether a failed lookup means that
// nothing is there, its status as far as it shows a change of the file, and
// whether two statuses show the same file, unchanged or not; and the error a
// failed system call left. Opening and reading files is left to the rooms
// that do.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <system_error>

// The error that the last failed system call left in errno.
std::error_code last_error();

// True for the errors of a lookup that mean nothing is there: a missing
// name, a path through something that is no directory, and a link that leads
// nowhere or into a loop of links.
bool means_absent(int error);

// True when `now` shows the file that `before` showed.
bool same_file(const struct stat& before, const struct stat& now);

// What a status query by path found: its error (an errno value, 0 when it
// succeeded), and of the file what tells it from another and shows a change.
struct PathStatus {
    int error = 0;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    off_t size = 0;
    struct statx_timestamp changed {};
    struct statx_timestamp modified {};
};

// How fresh a status must be.
enum class Freshness {
    // As the system has it, which on a drive served from elsewhere may be
    // what the server said a while ago.
    kept,
    // Asked of the file's server itself where the system keeps what it said
    // (FUSE, NFS); the same as kept on a drive of this machine.
    asked_anew,
};

// The status of `path`, links followed.
PathStatus path_status(const std::string& path, Freshness freshness);

// True when `now` found what `before` found: the same error, or the file
// that `before` showed, of the same type, unchanged. Every write to a file changes its size or its
// change time, which, unlike the modification time, no program can set back. A file system that
// numbers its files by path (sshfs) gives a file that has taken another's place the old one's
// number, so the number alone cannot tell.
bool same_unchanged_file(const PathStatus& before, const PathStatus& now);

// True when `status` can show a change made after it was taken: its times
// count fractions of a second. Times in whole seconds (sshfs, FAT, ext4 with
// small inodes) stay the same for every change within the same second.
bool shows_later_changes(const PathStatus& status);
