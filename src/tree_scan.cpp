#include "tree_scan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

#include "column_fit.h"

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

// Ends the scan because the entry at `path` cannot be opened or examined. On
// a terminal the control characters of the path are masked, since a name
// found in the tree must not steer the terminal.
[[noreturn]] void fail_on_entry(const std::string& path, const std::error_code& error) {
    const std::string shown = ::isatty(STDERR_FILENO) == 1 ? mask_control_characters(path) : path;
    std::cerr << "FEHLER: Zugriff verweigert bei " + quoted(shown) + " (" + error.message() +
                     ")\n\n";
    std::exit(1);
}

// True for the errors that mean nothing is there to examine: the entry has
// vanished, or it is a link that leads nowhere or into a loop of links.
bool means_nothing_there(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
           error == std::errc::too_many_symbolic_link_levels;
}

// The file type of `entry`, following a symbolic link: regular, directory,
// or file_type::unknown for anything else, including a link that leads
// nowhere and an entry that has vanished. The walk already knows the type of
// everything but a link, so only links cost a query. Ends the scan when the
// type cannot be determined.
fs::file_type followed_type(const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.is_regular_file(error)) {
        return fs::file_type::regular;
    }
    if (!error && entry.is_directory(error)) {
        return fs::file_type::directory;
    }
    if (error && !means_nothing_there(error)) {
        fail_on_entry(entry.path().native(), error);
    }
    return fs::file_type::unknown;
}

// Everything the walk needs to turn entry paths into paths relative to the
// root.
struct RelativePaths {
    const std::string& root;
    // The root followed by the separator that the walk puts between it and
    // the names below it.
    std::string prefix;
    // The directory last found searchable, so that files in it can be
    // reached by their paths.
    std::optional<std::string> searchable_parent;
    // The root made canonical, once the first symbolic link needs it.
    std::optional<fs::path> canonical_root;
};

// Makes sure that the file at `path` can be reached by its path, which takes a
// directory that may be searched and not just listed; each directory is
// checked once for a run of its entries. False when the file has vanished.
bool reachable_by_path(RelativePaths& paths, const std::string& path) {
    // Every entry path holds the "/" that joins the root to the names below.
    const std::string_view parent(path.data(), path.rfind('/'));
    if (paths.searchable_parent == parent) {
        return true;
    }
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        fail_on_entry(path, std::error_code(errno, std::generic_category()));
    }
    paths.searchable_parent = parent;
    return true;
}

// The path of the regular file `entry` relative to the root, as both look when
// made canonical: the names below the root, or, for a symbolic link, the path
// from the canonical root to the link's canonical target. Empty when the entry
// has vanished meanwhile.
std::string relative_path(RelativePaths& paths, const fs::directory_entry& entry) {
    const std::string& path = entry.path().native();
    std::error_code error;
    if (!entry.is_symlink(error)) {
        return reachable_by_path(paths, path) ? path.substr(paths.prefix.size()) : std::string();
    }
    if (!paths.canonical_root) {
        paths.canonical_root = fs::canonical(paths.root, error);
        if (error) {
            fail_on_entry(path, error);
        }
    }
    const fs::path target = fs::canonical(entry.path(), error);
    if (error) {
        if (means_nothing_there(error)) {
            return {};
        }
        fail_on_entry(path, error);
    }
    return target.lexically_relative(*paths.canonical_root).generic_string();
}

}  // namespace

std::vector<std::string> scan_directory(const std::string& root) {
    const std::set<std::string> excluded_directory_names = {
        "lost+found", "$RECYCLE.BIN", "System Volume Information", "Recovery", "RECYCLER"};

    std::error_code error;
    fs::recursive_directory_iterator walk(root, error);
    if (error) {
        fail_to_open_root(root, error);
    }

    RelativePaths paths{root, root.ends_with('/') ? root : root + '/', {}, {}};
    std::vector<std::string> files;
    std::string visited;
    for (const fs::recursive_directory_iterator end; walk != end;) {
        const fs::directory_entry& entry = *walk;
        const fs::file_type type = followed_type(entry);
        if (type == fs::file_type::directory &&
            excluded_directory_names.contains(entry.path().filename().native())) {
            walk.disable_recursion_pending();
        } else if (type == fs::file_type::regular) {
            std::string relative = relative_path(paths, entry);
            if (!relative.empty()) {
                files.push_back(std::move(relative));
            }
        }

        // A failed advance ends the walk, so the path is kept for the message.
        visited.assign(entry.path().native());
        walk.increment(error);
        if (error) {
            fail_on_entry(visited, error);
        }
    }
    return files;
}
