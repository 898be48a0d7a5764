// The names of the list in chunks, the marks that find a file's name among
// them, and the directories that a file's path is put together from.
#include "walk/file_list.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// Bytes of one chunk of names. The system gives a chunk memory only as its
// pages are written, so the last one costs no more than what it holds.
constexpr std::size_t CHUNK_BYTES = 1024 * 1024;
// Files from one mark to the next: a path asked for away from the files
// asked for lately costs a scan over fewer names than this. More files a mark
// cost less memory and more time: with 32, the marks take 0.4 bytes a file.
constexpr std::size_t FILES_PER_MARK = 32;
// Among the names, what ends a name, and what comes before the number of the
// directory of the files that follow, or before CHUNK_END, which says that
// the names go on in the next chunk. No name holds either byte, but a name
// may be empty (the list of one file of files_equal).
constexpr char NAME_END = '\0';
constexpr char DIRECTORY_CHANGE = '/';
constexpr FileList::Directory CHUNK_END = UINT32_MAX;
constexpr std::size_t CHANGE_BYTES = 1 + sizeof(FileList::Directory);
static_assert(NAME_MAX + 1 + 2 * CHANGE_BYTES <= CHUNK_BYTES);

// Writes a change to `directory` (or CHUNK_END) at `place`.
void write_change(char* place, FileList::Directory directory) {
    place[0] = DIRECTORY_CHANGE;
    std::memcpy(place + 1, &directory, sizeof directory);
}

}  // namespace

FileList::FileList() : used_(CHUNK_BYTES), parents_{TOP}, name_ends_{0} {}

FileList::Directory FileList::add_directory(Directory parent, std::string_view name) {
    directory_names_ += name;
    parents_.push_back(parent);
    name_ends_.push_back(directory_names_.size());
    return static_cast<Directory>(parents_.size() - 1);
}

void FileList::add_file(Directory directory, std::string_view name) {
    if (directory != last_directory_) {
        write_change(room_for(CHANGE_BYTES), directory);
        last_directory_ = directory;
    }
    char* place = room_for(name.size() + 1);
    if (size_ % FILES_PER_MARK == 0) {
        marks_.push_back({static_cast<std::uint32_t>(chunks_.size() - 1),
                          static_cast<std::uint32_t>(place - chunks_.back().get()), directory});
    }
    std::memcpy(place, name.data(), name.size());
    place[name.size()] = NAME_END;
    ++size_;
}

void FileList::add_path(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        add_file(TOP, path);
        return;
    }
    const std::string_view directory = path.substr(0, slash);
    if (path_directory_ == TOP || directory_name(path_directory_) != directory) {
        path_directory_ = add_directory(TOP, directory);
    }
    add_file(path_directory_, path.substr(slash + 1));
}

FileList::Place FileList::find(std::size_t index, std::size_t near_index, const Place& near) const {
    std::size_t from = index - index % FILES_PER_MARK;
    Place place = marks_[index / FILES_PER_MARK];
    if (near_index >= from && near_index <= index) {
        from = near_index;
        place = near;
    }
    const char* at = chunks_[place.chunk].get() + place.offset;
    for (std::size_t before = index - from;;) {
        if (*at == DIRECTORY_CHANGE) {
            Directory change;
            std::memcpy(&change, at + 1, sizeof change);
            if (change == CHUNK_END) {
                at = chunks_[++place.chunk].get();
            } else {
                place.directory = change;
                at += CHANGE_BYTES;
            }
            continue;
        }
        if (before == 0) {
            break;
        }
        at += std::strlen(at) + 1;
        --before;
    }
    place.offset = static_cast<std::uint32_t>(at - chunks_[place.chunk].get());
    return place;
}

void FileList::Reader::append_path(std::size_t index, std::string& path) {
    place_ = list_.find(index, found_, place_);
    found_ = index;
    if (path_of_ != place_.directory) {
        list_.directory_path(place_.directory, path_);
        path_of_ = place_.directory;
    }
    path += path_;
    path += list_.chunks_[place_.chunk].get() + place_.offset;
}

std::string FileList::path(std::size_t index) const {
    std::string path;
    Reader(*this).append_path(index, path);
    return path;
}

std::string_view FileList::directory_name(Directory directory) const {
    const std::size_t begin = directory == TOP ? 0 : name_ends_[directory - 1];
    return std::string_view(directory_names_).substr(begin, name_ends_[directory] - begin);
}

void FileList::directory_path(Directory directory, std::string& path) const {
    std::size_t length = 0;
    for (Directory above = directory; above != TOP; above = parents_[above]) {
        length += directory_name(above).size() + 1;
    }
    // Written from the end: each directory's name with the "/" after it.
    path.resize(length);
    for (Directory above = directory; above != TOP; above = parents_[above]) {
        const std::string_view name = directory_name(above);
        path[--length] = '/';
        length -= name.size();
        name.copy(path.data() + length, name.size());
    }
}

char* FileList::room_for(std::size_t bytes) {
    // A chunk keeps room for the change that ends it.
    if (used_ + bytes + CHANGE_BYTES > CHUNK_BYTES) {
        if (!chunks_.empty()) {
            write_change(chunks_.back().get() + used_, CHUNK_END);
        }
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(CHUNK_BYTES));
        used_ = 0;
    }
    char* place = chunks_.back().get() + used_;
    used_ += bytes;
    return place;
}
