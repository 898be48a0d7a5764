// Entering and leaving the walk's directories, within the limit on open
// files, and numbering them in the list.
#include "walk/walk_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "system/file_status.h"
#include "walk/scan_failure.h"

namespace {

// Spares a descriptor: gives up that of the outermost directory that the
// walk holds open. False when the walk holds none open; ends the scan when
// the rest of the directory's entries cannot be read.
bool close_outermost_directory(Walk& walk) {
    const auto directory =
        std::find_if(walk.directories.begin(), walk.directories.end(),
                     [](const DirectoryLevel& candidate) { return candidate.reader.fd >= 0; });
    if (directory == walk.directories.end()) {
        return false;
    }
    const std::error_code error =
        give_up_descriptor(directory->reader, directory_path(walk, *directory));
    if (error) {
        // Named is the entry that the directory's reading went on after.
        if (directory + 1 != walk.directories.end()) {
            walk.path.resize(directory[1].path_length);
        }
        fail_on_entry(walk, error);
    }
    return true;
}

// Opens the directory at `walk.path`, an entry of the innermost directory
// named `name`; -1 when it cannot be opened, which sets errno. `name` may
// point into the entries of the innermost directory, which stay in place for
// as long as it is open, and is used only then.
int open_subdirectory(const Walk& walk, const char* name) {
    const int parent_fd = walk.directories.back().reader.fd;
    if (parent_fd < 0) {
        return ::open(walk.path.c_str(), SUBDIRECTORY_OPEN_FLAGS);
    }
    return ::openat(parent_fd, name, SUBDIRECTORY_OPEN_FLAGS);
}

// Makes `read`, a directory read ahead whose path is `path_length` bytes
// long, the walk's new innermost one; false when there is none.
bool take_over(Walk& walk, std::optional<TakenDirectory> read, std::size_t path_length) {
    if (!read) {
        return false;
    }
    walk.directories.push_back({std::move(read->reader), path_length, read->searchable});
    return true;
}

}  // namespace

std::string directory_path(const Walk& walk, const DirectoryLevel& directory) {
    return &directory == &walk.directories.front() ? walk.root
                                                   : walk.path.substr(0, directory.path_length);
}

bool innermost_directory_in_place(const Walk& walk) {
    const DirectoryLevel& directory = walk.directories.back();
    struct stat opened;
    struct stat now;
    return opened_status(directory.reader, opened) &&
           ::stat(directory_path(walk, directory).c_str(), &now) == 0 && same_file(opened, now);
}

void enter_root(Walk& walk, std::size_t root_length) {
    if (walk.read_ahead == nullptr ||
        !take_over(walk, walk.read_ahead->enter_root(walk.root, root_length), root_length)) {
        const int root_fd = ::open(walk.root.c_str(), ROOT_OPEN_FLAGS);
        if (root_fd < 0) {
            fail_to_open_root(walk.root, last_error());
        }
        walk.directories.push_back({{root_fd}, root_length});
    }
    walk.directories.back().listed = FileList::TOP;
}

void enter_directory(Walk& walk, const char* name) {
    if (walk.read_ahead != nullptr &&
        take_over(walk, walk.read_ahead->enter(walk.path), walk.path.size())) {
        return;
    }
    int fd = open_subdirectory(walk, name);
    while (fd < 0 && (errno == EMFILE || errno == ENFILE) && close_outermost_directory(walk)) {
        fd = open_subdirectory(walk, name);
    }
    if (fd < 0) {
        fail_on_entry(walk, last_error());
    }
    walk.directories.push_back({{fd}, walk.path.size()});
}

void leave_directory(Walk& walk) {
    DirectoryLevel& directory = walk.directories.back();
    const std::error_code moved = left_its_path(directory.reader, directory_path(walk, directory));
    if (moved) {
        fail_on_entry(walk, moved);
    }
    if (directory.reader.fd >= 0) {
        ::close(directory.reader.fd);
    }
    walk.directories.pop_back();
    if (walk.read_ahead != nullptr) {
        walk.read_ahead->leave();
    }
}

FileList::Directory listed_directory(Walk& walk, FileList& files) {
    // The root is listed from the start; below the innermost listed
    // directory, each is added with its name, the part of the path between
    // the one above it and its own end.
    auto level = walk.directories.end() - 1;
    while (!level->listed) {
        --level;
    }
    for (++level; level != walk.directories.end(); ++level) {
        const std::size_t begin = level[-1].path_length + 1;
        level->listed = files.add_directory(
            *level[-1].listed,
            std::string_view(walk.path).substr(begin, level->path_length - begin));
    }
    return *walk.directories.back().listed;
}
