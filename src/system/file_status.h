// Questions about what stands at a path: whether a failed lookup means that
// nothing is there, a status from statx in stat's form, and whether two
// statuses show the same file, unchanged or not; and the error a
// failed system call left. Opening and reading files is left to the rooms
// that do.
#pragma once

#include <sys/stat.h>

#include <system_error>

// The error that the last failed system call left in errno.
std::error_code last_error();

// True for the errors of a lookup that mean nothing is there: a missing
// name, a path through something that is no directory, and a link that leads
// nowhere or into a loop of links.
bool means_absent(int error);

// A status as statx gives it, in the form that stat gives it.
struct stat status_from_statx(const struct statx& status);

// True when `now` shows the file that `before` showed.
bool same_file(const struct stat& before, const struct stat& now);

// True when `now` shows the file that `before` showed, of the same type,
// unchanged: every write to a file changes its size or its change time,
// which, unlike the modification time, no program can set back. A file
// system that numbers its files by path (sshfs) gives a file that has taken
// another's place the old one's number, so the number alone cannot tell.
bool same_unchanged_file(const struct statx& before, const struct statx& now);
