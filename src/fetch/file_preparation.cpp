// The steps of a file's preparation, and the check that what was found still
// stands.
#include "fetch/file_preparation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fetch/copy_from_drive.h"

namespace {

// How a file and its copy are opened: for reading, without waiting on a
// named pipe that has taken a file's place, and never as the program's
// terminal.
constexpr int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool is_regular(const PathStatus& status) {
    return status.error == 0 && S_ISREG(status.mode);
}

// Opens `path`, whose status showed a regular file; a descriptor, or -1 with
// errno set.
int open_regular(const std::string& path) {
    const int fd = ::open(path.c_str(), OPEN_FLAGS);
    if (fd >= 0 || errno != EAGAIN || !is_regular(path_status(path, Freshness::kept))) {
        return fd;
    }
    // Another holds a lease on the file (a file server for its client), which
    // the open has broken; a regular file stands there, so the open may wait
    // until the holder lets go.
    return ::open(path.c_str(), OPEN_FLAGS & ~O_NONBLOCK);
}

bool opened_regular(int fd) {
    struct stat status;
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

PreparedFile look_up(const std::string (&paths)[2], When when) {
    PreparedFile file;
    for (const int side : {SOURCE, COPY}) {
        file.status[side] =
            path_status(paths[side], when == When::ahead ? Freshness::kept : Freshness::asked_anew);
    }
    const PathStatus& source = file.status[SOURCE];
    const PathStatus& copy = file.status[COPY];
    if (means_absent(copy.error)) {
        file.found = Found::missing_copy;
    } else if (!is_regular(source) || !is_regular(copy)) {
        file.found = Found::unreadable;
    } else if (when == When::ahead && !(shows_later_changes(source) && shows_later_changes(copy))) {
        file.found = Found::left_for_turn;
    } else {
        file.found = source.size == copy.size ? Found::pair : Found::different_sizes;
    }
    return file;
}

void open_pair(PreparedFile& file, const std::string (&paths)[2], CopyFileSystems& copy_systems) {
    for (const int side : {SOURCE, COPY}) {
        file.fd[side] = open_regular(paths[side]);
        if (file.fd[side] < 0) {
            file.short_of_descriptors = errno == EMFILE || errno == ENFILE;
            file.found = file.short_of_descriptors ? Found::left_for_turn : Found::unreadable;
            close_pair(file);
            return;
        }
        if (!opened_regular(file.fd[side])) {
            file.found = Found::unreadable;
            close_pair(file);
            return;
        }
    }
    if (copy_systems.kind(file.status[COPY].device, paths[COPY]) != FileSystemKind::memory) {
        drop_copy_pages(file.fd[COPY]);
    }
}

PreparedFile prepare_file(const std::string (&paths)[2], When when, CopyFileSystems& copy_systems) {
    PreparedFile file = look_up(paths, when);
    if (file.found == Found::pair) {
        open_pair(file, paths, copy_systems);
    }
    return file;
}

void ask_for_bytes(const std::string& path, off_t bytes) {
    const int fd = ::open(path.c_str(), OPEN_FLAGS);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, bytes, POSIX_FADV_WILLNEED);
        ::close(fd);
    }
}

void close_pair(PreparedFile& file) {
    for (int& fd : file.fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

bool still_stands(const std::string (&paths)[2], const PathStatus (&found)[2]) {
    for (const int side : {SOURCE, COPY}) {
        if (!same_unchanged_file(found[side], path_status(paths[side], Freshness::asked_anew))) {
            return false;
        }
    }
    return true;
}
