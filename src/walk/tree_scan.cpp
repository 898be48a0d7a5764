// The walk of the source tree, one open directory per level as far as the
// limit on open files allows, with directories read ahead where the tree is
// served from elsewhere, and its failure messages.
#include "walk/tree_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <system_error>

#include "report/column_fit.h"
#include "system/file_status.h"
#include "walk/directory_read_ahead.h"
#include "walk/directory_reader.h"

namespace fs = std::filesystem;

namespace {

// Ends the scan because `root` cannot be walked at all.
[[noreturn]] void fail_to_open_root(const std::string& root, const std::error_code& error) {
    std::cerr << "FEHLER beim Durchsuchen des Verzeichnisses: '" + root + "' (" + error.message() +
                     ")\n\n";
    std::exit(1);
}

// `path` in double quotes, with every double quote and backslash in it
// preceded by a backslash.
std::string quoted(const std::string& path) {
    std::string result = "\"";
    for (const char c : path) {
        if (c == '"' || c == '\\') {
            result += '\\';
        }
        result += c;
    }
    return result + '"';
}

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
    // Length of the root with the separator that joins the names below it.
    std::size_t prefix_length;
    // The root made canonical, once the first symbolic link needs it.
    std::optional<fs::path> canonical_root;
};

// Ends the scan because the entry visited last, at `walk.path`, cannot be
// opened or examined, or reading on after it fails. The walk's directories are
// closed first, so that the process has descriptors to spare at its exit even
// when a tree deeper than the open-file limit took them all. On a terminal the
// control characters of the path are masked, since a name found in the tree
// must not steer the terminal.
[[noreturn]] void fail_on_entry(const Walk& walk, const std::error_code& error) {
    for (const DirectoryLevel& directory : walk.directories) {
        if (directory.reader.fd >= 0) {
            ::close(directory.reader.fd);
        }
    }
    const std::string& path = walk.path;
    const std::string shown = ::isatty(STDERR_FILENO) == 1 ? mask_control_characters(path) : path;
    std::cerr << "FEHLER: Zugriff verweigert bei " + quoted(shown) + " (" + error.message() +
                     ")\n\n";
    std::exit(1);
}

// The path of `directory`, one of the walk's, as typed for the root.
std::string directory_path(const Walk& walk, const DirectoryLevel& directory) {
    return &directory == &walk.directories.front() ? walk.root
                                                   : walk.path.substr(0, directory.path_length);
}

// True when the innermost directory of the walk is still found at its path;
// once it is not, no lookup by path finds any of its entries.
bool innermost_directory_in_place(const Walk& walk) {
    const DirectoryLevel& directory = walk.directories.back();
    struct stat opened;
    struct stat now;
    return opened_status(directory.reader, opened) &&
           ::stat(directory_path(walk, directory).c_str(), &now) == 0 && same_file(opened, now);
}

// Passes over the entry at `walk.path`, whose lookup failed with `error`,
// when nothing is there to examine: it has vanished, or is a link that leads
// nowhere. Ends the scan when the lookup failed otherwise, or when the
// directory holding the entry has left its path, which would hide all of it.
void pass_over_if_absent(const Walk& walk, const std::error_code& error) {
    if (!means_absent(error.value()) || !innermost_directory_in_place(walk)) {
        fail_on_entry(walk, error);
    }
}

// The type of the entry at `walk.path` as its directory entry names it: the
// type the system gave with the name, or else the one that a query by path
// finds, without following a link. DT_UNKNOWN when the entry has vanished
// meanwhile; ends the scan when the query fails otherwise.
unsigned char entry_type(const Walk& walk, const struct dirent64& entry) {
    if (entry.d_type != DT_UNKNOWN) {
        return entry.d_type;
    }
    struct stat status;
    if (::lstat(walk.path.c_str(), &status) != 0) {
        pass_over_if_absent(walk, last_error());
        return DT_UNKNOWN;
    }
    return IFTODT(status.st_mode);
}

// Makes sure that the file at `walk.path` can be reached by its path, which
// takes a directory that may be searched and not just listed; each directory
// is checked at its first file. False when the file has vanished.
bool reachable_by_path(Walk& walk) {
    DirectoryLevel& directory = walk.directories.back();
    if (directory.searchable) {
        return true;
    }
    struct stat status;
    if (::stat(walk.path.c_str(), &status) != 0) {
        pass_over_if_absent(walk, last_error());
        return false;
    }
    directory.searchable = true;
    return true;
}

// The path of the regular file that the symbolic link at `walk.path` leads
// to, relative to the root, as both look when made canonical. Empty when the
// link leads nowhere (any more) or to something other than a regular file.
std::string link_target_path(Walk& walk) {
    struct stat status;
    if (::stat(walk.path.c_str(), &status) != 0) {
        pass_over_if_absent(walk, last_error());
        return {};
    }
    if (!S_ISREG(status.st_mode)) {
        return {};
    }
    std::error_code error;
    if (!walk.canonical_root) {
        walk.canonical_root = fs::canonical(walk.root, error);
        if (error) {
            fail_on_entry(walk, error);
        }
    }
    const fs::path target = fs::canonical(walk.path, error);
    if (error) {
        pass_over_if_absent(walk, error);
        return {};
    }
    return target.lexically_relative(*walk.canonical_root).generic_string();
}

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

// Opens the directory at `walk.path`, an entry of the innermost directory, as
// the walk's new innermost one, closing outer ones while the limit on open
// files allows no more, unless it has been read ahead; ends the scan when it
// cannot be opened.
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

// Leaves the innermost directory, all of whose entries have been visited;
// ends the scan when it left its path while they were read, which hid the
// entries read after that.
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

// Opens the root as the walk's first directory, or takes it over read ahead
// in full; ends the scan when it cannot be opened.
void enter_root(Walk& walk, std::size_t root_length) {
    if (walk.read_ahead != nullptr &&
        take_over(walk, walk.read_ahead->enter_root(walk.root, root_length), root_length)) {
        return;
    }
    const int root_fd = ::open(walk.root.c_str(), ROOT_OPEN_FLAGS);
    if (root_fd < 0) {
        fail_to_open_root(walk.root, last_error());
    }
    walk.directories.push_back({{root_fd}, root_length});
}

}  // namespace

std::vector<std::string> scan_directory(const std::string& root) {
    const std::set<std::string> excluded_directory_names = {
        "lost+found", "$RECYCLE.BIN", "System Volume Information", "Recovery", "RECYCLER"};

    std::optional<DirectoryReadAhead> read_ahead;
    if (const unsigned threads = read_ahead_threads(root)) {
        read_ahead.emplace(excluded_directory_names, threads);
    }
    // A root that ends in "/" is joined to the names below it without a
    // second one.
    const std::size_t root_length = root.ends_with('/') ? root.size() - 1 : root.size();
    Walk walk{root, read_ahead ? &*read_ahead : nullptr, {}, root, root_length + 1, {}};
    enter_root(walk, root_length);

    std::vector<std::string> files;
    std::error_code error;
    const struct dirent64* entry = next_entry(walk.directories.back().reader, error);
    if (error) {
        fail_to_open_root(root, error);
    }
    for (;;) {
        if (entry == nullptr) {
            leave_directory(walk);
            if (walk.directories.empty()) {
                return files;
            }
        } else {
            walk.path.resize(walk.directories.back().path_length);
            walk.path += '/';
            walk.path += entry->d_name;
            const unsigned char type = entry_type(walk, *entry);
            if (type == DT_DIR && !excluded_directory_names.contains(entry->d_name)) {
                enter_directory(walk, entry->d_name);
            } else if (type == DT_REG && reachable_by_path(walk)) {
                files.push_back(walk.path.substr(walk.prefix_length));
            } else if (type == DT_LNK) {
                std::string target = link_target_path(walk);
                if (!target.empty()) {
                    files.push_back(std::move(target));
                }
            }
        }
        // The path of the entry visited last stays in `walk.path` for the
        // message, should reading fail.
        entry = next_entry(walk.directories.back().reader, error);
        if (error) {
            fail_on_entry(walk, error);
        }
    }
}
