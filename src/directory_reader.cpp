// Reading one directory's entries with getdents64, and giving up its
// descriptor after reading the rest of them.
#include "directory_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_status.h"

namespace {

// Bytes of directory entries asked of the system at a time. An open
// directory keeps at most this much of the entries it has read and not yet
// handed out; one whose descriptor was given up keeps all of its entries not
// yet handed out.
constexpr std::size_t DIRECTORY_READ_SIZE = 16 * 1024;

// True for "." and "..", which every directory lists and next_entry passes over.
bool is_dot_or_dot_dot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Appends to the entries of the open `directory` what the system gives of
// them at a time; false at the end of the directory or when reading fails,
// which sets `error`.
bool read_more_entries(DirectoryReader& directory, std::error_code& error) {
    alignas(struct dirent64) char buffer[DIRECTORY_READ_SIZE];
    const ssize_t count = ::getdents64(directory.fd, buffer, sizeof buffer);
    if (count <= 0) {
        // A directory removed while it is read may answer that it is not
        // there, which only means that it has no entries left.
        if (count < 0 && errno != ENOENT) {
            error = last_error();
        }
        return false;
    }
    directory.entries.insert(directory.entries.end(), buffer, buffer + count);
    return true;
}

}  // namespace

const struct dirent64* next_entry(DirectoryReader& directory, std::error_code& error) {
    for (;;) {
        while (directory.next < directory.entries.size()) {
            const auto* entry =
                reinterpret_cast<const struct dirent64*>(directory.entries.data() + directory.next);
            directory.next += entry->d_reclen;
            // An entry without an inode number is one that has been removed.
            if (entry->d_ino != 0 && !is_dot_or_dot_dot(entry->d_name)) {
                return entry;
            }
        }
        directory.entries.clear();
        directory.next = 0;
        if (directory.fd < 0 || !read_more_entries(directory, error)) {
            return nullptr;
        }
    }
}

std::error_code give_up_descriptor(DirectoryReader& directory) {
    directory.entries.erase(directory.entries.begin(), directory.entries.begin() + directory.next);
    directory.next = 0;
    std::error_code error;
    while (read_more_entries(directory, error)) {
    }
    if (error) {
        return error;
    }
    if (::fstat(directory.fd, &directory.closed_status) != 0) {
        return last_error();
    }
    ::close(directory.fd);
    directory.fd = -1;
    return {};
}

bool opened_status(const DirectoryReader& directory, struct stat& status) {
    if (directory.fd < 0) {
        status = directory.closed_status;
        return true;
    }
    return ::fstat(directory.fd, &status) == 0;
}
