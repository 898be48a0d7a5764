// Questions about what stands at a path: whether a failed lookup means that
// nothing is there, the status of a regular file, a status from statx in
// stat's form, and whether two statuses show the same file; and the error a
// failed system call left. Opening and reading files is left to the rooms
// that do.
#pragma once

#include <sys/stat.h>

#include <string>
#include <system_error>

// The error that the last failed system call left in errno.
std::error_code last_error();

// True for the errors of a lookup that mean nothing is there: a missing
// name, a path through something that is no directory, and a link that leads
// nowhere or into a loop of links.
bool means_absent(int error);

// Status of the regular file at `path`, following links, in `status`; false
// when there is no regular file there.
bool regular_file_status(const std::string& path, struct stat& status);

// A status as statx gives it, in the form that stat gives it.
struct stat status_from_statx(const struct statx& status);

// True when `now` shows the file that `before` showed.
bool same_file(const struct stat& before, const struct stat& now);

// True when `now` shows the file that `before` showed, unchanged: every write
// to a file changes its change time, which, unlike the modification time, no
// program can set back.
bool same_unchanged_file(const struct stat& before, const struct stat& now);
