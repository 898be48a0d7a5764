// The recursive walk of the source tree that yields the list of files to check.
#pragma once

#include <string>

#include "walk/file_list.h"

// Walks the tree below `root` (as typed by the user) depth-first, in the order
// in which the directories are read, and returns the list of every regular
// file in it, by its path relative to `root`. Directories named
// "lost+found", "$RECYCLE.BIN", "System Volume Information", "Recovery" or
// "RECYCLER" are not entered; links to directories are not followed; a link
// to a regular file is listed under its target's path relative to `root`.
// A file that vanishes during the walk is passed over. Works at any depth
// within the limit on open files, however low. Never returns a partial list:
// when `root` cannot be read, a directory in it cannot be opened or read or
// leaves its path while the walk is in it, or an entry cannot be examined,
// writes a message to standard error and ends the process with status 1.
FileList scan_directory(const std::string& root);
