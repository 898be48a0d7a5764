// The scan's failure messages, with the path of the entry quoted and masked.
#include "walk/scan_failure.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "report/column_fit.h"

namespace {

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

}  // namespace

void fail_to_open_root(const std::string& root, const std::error_code& error) {
    std::cerr << "FEHLER beim Durchsuchen des Verzeichnisses: '" + root + "' (" + error.message() +
                     ")\n\n";
    std::exit(1);
}

void fail_on_entry(const Walk& walk, const std::error_code& error) {
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
