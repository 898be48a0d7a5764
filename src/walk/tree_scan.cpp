// The scan of the source tree: what each entry of the walk adds to the list,
// a file by its name, a link by its target's path, and what is passed over.
#include "walk/tree_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "system/file_status.h"
#include "walk/directory_read_ahead.h"
#include "walk/directory_reader.h"
#include "walk/read_ahead_threads.h"
#include "walk/scan_failure.h"
#include "walk/walk_state.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

FileList scan_directory(const std::string& root) {
    const std::set<std::string> excluded_directory_names = {
        "lost+found", "$RECYCLE.BIN", "System Volume Information", "Recovery", "RECYCLER"};

    std::optional<DirectoryReadAhead> read_ahead;
    if (const unsigned threads = read_ahead_threads(root)) {
        read_ahead.emplace(excluded_directory_names, threads);
    }
    // A root that ends in "/" is joined to the names below it without a
    // second one.
    const std::size_t root_length = root.ends_with('/') ? root.size() - 1 : root.size();
    Walk walk{root, read_ahead ? &*read_ahead : nullptr, {}, root, {}};
    enter_root(walk, root_length);

    FileList files;
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
                files.add_file(listed_directory(walk, files), entry->d_name);
            } else if (type == DT_LNK) {
                const std::string target = link_target_path(walk);
                if (!target.empty()) {
                    files.add_path(target);
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
