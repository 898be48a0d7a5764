// Reading one directory's entries with getdents64, giving up its descriptor
// after reading the rest of them, and checking that it stayed at its path.
#include "walk/directory_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/file_status.h"

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

// True when the open directory `fd`, read to its end, has been removed: the
// system then answers any read of its entries that it is not there.
bool removed(int fd) {
    alignas(struct dirent64) char entry[sizeof(struct dirent64)];
    return ::getdents64(fd, entry, sizeof entry) < 0 && errno == ENOENT;
}

// The answer of left_its_path for the open `directory`, read to its end.
std::error_code check_in_place(const DirectoryReader& directory, const std::string& path) {
    if (directory.reads <= 1) {
        return {};
    }
    struct stat opened;
    struct stat now;
    if (!opened_status(directory, opened)) {
        return last_error();
    }
    if (::stat(path.c_str(), &now) == 0) {
        return same_file(opened, now) ? std::error_code()
                                      : std::make_error_code(std::errc::no_such_file_or_directory);
    }
    const std::error_code error = last_error();
    return removed(directory.fd) ? std::error_code() : error;
}

}  // namespace

const struct dirent64* next_listed_entry(const std::vector<char>& entries, std::size_t& offset) {
    while (offset < entries.size()) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(entries.data() + offset);
        offset += entry->d_reclen;
        // An entry without an inode number is one that has been removed.
        if (entry->d_ino != 0 && !is_dot_or_dot_dot(entry->d_name)) {
            return entry;
        }
    }
    return nullptr;
}

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
    ++directory.reads;
    return true;
}

const struct dirent64* next_entry(DirectoryReader& directory, std::error_code& error) {
    for (;;) {
        if (const struct dirent64* entry = next_listed_entry(directory.entries, directory.next)) {
            return entry;
        }
        directory.entries.clear();
        directory.next = 0;
        if (directory.fd < 0 || !read_more_entries(directory, error)) {
            return nullptr;
        }
    }
}

std::error_code close_read_directory(DirectoryReader& directory, const std::string& path) {
    if (::fstat(directory.fd, &directory.closed_status) != 0) {
        return last_error();
    }
    directory.moved_away = check_in_place(directory, path);
    ::close(directory.fd);
    directory.fd = -1;
    return {};
}

std::error_code give_up_descriptor(DirectoryReader& directory, const std::string& path) {
    directory.entries.erase(directory.entries.begin(), directory.entries.begin() + directory.next);
    directory.next = 0;
    std::error_code error;
    while (read_more_entries(directory, error)) {
    }
    return error ? error : close_read_directory(directory, path);
}

std::error_code left_its_path(const DirectoryReader& directory, const std::string& path) {
    return directory.fd < 0 ? directory.moved_away : check_in_place(directory, path);
}

bool opened_status(const DirectoryReader& directory, struct stat& status) {
    if (directory.fd < 0) {
        status = directory.closed_status;
        return true;
    }
    return ::fstat(directory.fd, &status) == 0;
}
