// The walk under way: one directory for every level from the root down to
// the one being read, entered and left in the walk's order, the outermost
// ones closed where the limit on open files allows no more open, the path of
// the entry visited last, and the list's number of every directory that
// holds a listed file. What becomes of each entry is left to the scan.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "walk/directory_read_ahead.h"
#include "walk/directory_reader.h"
#include "walk/file_list.h"

// A directory on the way from the root down to the entry being visited.
struct DirectoryLevel {
    // Its entries not yet visited, and its descriptor while the walk holds it.
    DirectoryReader reader;
    // Length of the directory's path, which the paths of its entries extend
    // by "/" and their names.
    std::size_t path_length;
    // Whether a file in the directory has been reached by its path, which
    // shows that the directory may be searched and not just listed.
    bool searchable = false;
    // Its number in the list, once a file in it has been listed.
    std::optional<FileList::Directory> listed{};
};

// The walk under way: one directory for every level from the root down to the
// directory being read, the outermost ones closed where the limit on open
// files did not allow all of them open at once or read ahead in full, and
// the path of the entry visited last.
struct Walk {
    const std::string& root;
    // What reads directories ahead, where any does.
    DirectoryReadAhead* read_ahead;
    std::vector<DirectoryLevel> directories;
    std::string path;
    // The root made canonical, once the first symbolic link needs it.
    std::optional<std::filesystem::path> canonical_root;
};

// The path of `directory`, one of the walk's, as typed for the root.
std::string directory_path(const Walk& walk, const DirectoryLevel& directory);

// True when the innermost directory of the walk is still found at its path;
// once it is not, no lookup by path finds any of its entries.
bool innermost_directory_in_place(const Walk& walk);

// Opens the root, whose path is `root_length` bytes of `walk.root`, as the
// walk's first directory, or takes it over read ahead in full; ends the scan
// when it cannot be opened.
void enter_root(Walk& walk, std::size_t root_length);

// Opens the directory at `walk.path`, the entry `name` of the innermost
// directory, as the walk's new innermost one, closing outer ones while the
// limit on open files allows no more, unless it has been read ahead; ends
// the scan when it cannot be opened. `name` may point into the entries of
// the innermost directory.
void enter_directory(Walk& walk, const char* name);

// Leaves the innermost directory, all of whose entries have been visited;
// ends the scan when it left its path while they were read, which hid the
// entries read after that.
void leave_directory(Walk& walk);

// The number in `files` of the innermost directory, which is added to it,
// with the directories above it not in it yet, at its first listed file.
FileList::Directory listed_directory(Walk& walk, FileList& files);
