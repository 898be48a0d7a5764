// The directories ahead of the walk, read by a few threads in the order in
// which the walk will enter them.
#include "walk/directory_read_ahead.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "system/helper_threads.h"

namespace {

// Directories read ahead that the walk has not entered yet, and the bytes of
// their entries, at most; a directory whose entries would go beyond the
// bound is left to the walk to read, or, where the walk waits for it, handed
// over open with the entries read so far, the rest of which the walk reads.
constexpr std::size_t MAX_DIRECTORIES_AHEAD = 256;
constexpr std::size_t MAX_BYTES_AHEAD = 4 * 1024 * 1024;

}  // namespace

// A directory below one that the walk is in, or that it is in itself.
struct DirectoryReadAhead::Directory {
    enum class State { left_to_walk, reading, read, read_in_part, failed };

    Directory(std::string path_, std::size_t prefix_length_)
        : path(std::move(path_)), prefix_length(prefix_length_) {}

    // Its path as the walk names it, whose first `prefix_length` bytes the
    // paths of its entries begin with.
    std::string path;
    std::size_t prefix_length;
    // Left to the walk: not begun, or given up to keep within the bound.
    State state = State::left_to_walk;
    DirectoryReader reader{-1};
    bool searchable = false;
    // Whether the walk waits for it, which has it handed over open where its
    // entries go beyond the bound.
    bool needed = false;
    // Bytes of its entries counted in bytes_ahead_.
    std::size_t counted = 0;
    // Once it is read: the names of its subdirectories not yet among
    // `children`, in the order of its entries.
    std::deque<std::string> unread_subdirectories;
    // Its subdirectories added for reading that the walk has not entered
    // yet, in the order of its entries.
    Directories children;
};

DirectoryReadAhead::DirectoryReadAhead(const std::set<std::string>& excluded_names,
                                       unsigned threads)
    : excluded_names_(excluded_names) {
    start_threads(threads_, threads, [this] { serve(); });
}

DirectoryReadAhead::~DirectoryReadAhead() {
    stop_threads(threads_, mutex_, stopping_, changed_);
}

std::optional<TakenDirectory> DirectoryReadAhead::enter_root(const std::string& root,
                                                             std::size_t prefix_length) {
    std::unique_lock lock(mutex_);
    Directories roots;
    roots.push_back(std::make_unique<Directory>(root, prefix_length));
    ++directories_ahead_;
    return take(lock, roots, ROOT_OPEN_FLAGS);
}

std::optional<TakenDirectory> DirectoryReadAhead::enter(const std::string& path) {
    std::unique_lock lock(mutex_);
    Directory* parent = levels_.back().get();
    if (parent != nullptr) {
        if (parent->children.empty() && !parent->unread_subdirectories.empty()) {
            add_child(*parent);
        }
        if (!parent->children.empty() && parent->children.front()->path == path) {
            return take(lock, parent->children, SUBDIRECTORY_OPEN_FLAGS);
        }
    }
    levels_.push_back(nullptr);
    return std::nullopt;
}

void DirectoryReadAhead::leave() {
    std::lock_guard lock(mutex_);
    levels_.pop_back();
}

// Each thread reads the directory that comes next in the walk's order, as
// long as the bound allows one more.
void DirectoryReadAhead::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        Directory* directory = nullptr;
        changed_.wait(lock, [&] { return stopping_ || (directory = next_to_read()) != nullptr; });
        if (stopping_) {
            return;
        }
        lock.unlock();
        read(*directory, SUBDIRECTORY_OPEN_FLAGS);
        lock.lock();
    }
}

// The first directory, in the walk's order from where it is on, that is yet
// to be read, now marked as being read; nullptr when there is none or the
// bound allows no more.
DirectoryReadAhead::Directory* DirectoryReadAhead::next_to_read() {
    if (directories_ahead_ >= MAX_DIRECTORIES_AHEAD || bytes_ahead_ >= MAX_BYTES_AHEAD) {
        return nullptr;
    }
    for (auto level = levels_.rbegin(); level != levels_.rend(); ++level) {
        if (*level != nullptr) {
            if (Directory* directory = first_unread_below(**level)) {
                return directory;
            }
        }
    }
    return nullptr;
}

// The first directory below `directory` in the walk's order that is yet to
// be read, now marked as being read; nullptr when there is none.
DirectoryReadAhead::Directory* DirectoryReadAhead::first_unread_below(Directory& directory) {
    for (const std::unique_ptr<Directory>& child : directory.children) {
        if (child->state == Directory::State::read) {
            if (Directory* below = first_unread_below(*child)) {
                return below;
            }
        }
    }
    if (directory.unread_subdirectories.empty()) {
        return nullptr;
    }
    Directory& child = add_child(directory);
    child.state = Directory::State::reading;
    return &child;
}

// Adds the first of the unread subdirectories of `parent` to its children,
// left to the walk.
DirectoryReadAhead::Directory& DirectoryReadAhead::add_child(Directory& parent) {
    std::string path =
        parent.path.substr(0, parent.prefix_length) + "/" + parent.unread_subdirectories.front();
    parent.unread_subdirectories.pop_front();
    const std::size_t length = path.size();
    parent.children.push_back(std::make_unique<Directory>(std::move(path), length));
    ++directories_ahead_;
    return *parent.children.back();
}

// Hands the first of `candidates` over to the walk as its innermost
// directory, once it is read: the walk waits for the thread that reads it,
// and reads it itself, opened with `open_flags`, where it is left to the
// walk (not begun, or given up by a thread for the bound before the walk
// waited for it). nullopt when it could not be read, or is too deep to be
// read ahead.
std::optional<TakenDirectory> DirectoryReadAhead::take(std::unique_lock<std::mutex>& lock,
                                                       Directories& candidates, int open_flags) {
    Directory& directory = *candidates.front();
    directory.needed = true;
    changed_.wait(lock, [&] { return directory.state != Directory::State::reading; });
    if (directory.state == Directory::State::left_to_walk) {
        directory.state = Directory::State::reading;
        lock.unlock();
        read(directory, open_flags);
        lock.lock();
    }
    --directories_ahead_;
    bytes_ahead_ -= directory.counted;
    levels_.push_back(std::move(candidates.front()));
    candidates.pop_front();
    changed_.notify_all();
    if (directory.state != Directory::State::read &&
        directory.state != Directory::State::read_in_part) {
        levels_.back().reset();
        return std::nullopt;
    }
    return TakenDirectory{std::move(directory.reader), directory.searchable};
}

// Reads all entries of `directory`, opened with `open_flags`, notes its
// subdirectories and closes it. A directory that cannot be read, or whose
// entries would go beyond the bound while the walk does not wait for it, is
// dropped with what was read of it; one that the walk waits for is then kept
// open, with the subdirectories among the entries read so far noted. One
// whose subdirectories could be too deep to be opened by their paths is left
// to the walk, which keeps it open to open them from.
void DirectoryReadAhead::read(Directory& directory, int open_flags) {
    using State = Directory::State;
    DirectoryReader& reader = directory.reader;
    const bool children_reachable = directory.path.size() + 1 + NAME_MAX < PATH_MAX;
    reader.fd = children_reachable ? ::open(directory.path.c_str(), open_flags) : -1;
    std::error_code error;
    bool within_bound = true;
    while (reader.fd >= 0 && within_bound && read_more_entries(reader, error)) {
        within_bound = count_entries(directory);
    }
    State outcome = children_reachable ? State::failed : State::left_to_walk;
    if (reader.fd >= 0 && !error) {
        if (!within_bound) {
            std::lock_guard lock(mutex_);
            outcome = directory.needed ? State::read_in_part : State::left_to_walk;
        } else if (!close_read_directory(reader, directory.path)) {
            outcome = State::read;
        }
    }
    const bool kept = outcome == State::read || outcome == State::read_in_part;
    if (kept) {
        list_subdirectories(directory);
    } else {
        if (reader.fd >= 0) {
            ::close(reader.fd);
        }
        reader = DirectoryReader{-1};
    }
    {
        std::lock_guard lock(mutex_);
        if (!kept) {
            bytes_ahead_ -= directory.counted;
            directory.counted = 0;
        }
        directory.state = outcome;
    }
    changed_.notify_all();
}

// Counts the entries of `directory` read so far as read ahead; false when
// they go beyond the bound.
bool DirectoryReadAhead::count_entries(Directory& directory) {
    std::lock_guard lock(mutex_);
    bytes_ahead_ += directory.reader.entries.size() - directory.counted;
    directory.counted = directory.reader.entries.size();
    return bytes_ahead_ <= MAX_BYTES_AHEAD;
}

// Notes the subdirectories of the read `directory` that the walk will enter,
// and checks, as the walk does at a directory's first file, that the first
// file can be reached by its path.
void DirectoryReadAhead::list_subdirectories(Directory& directory) {
    const std::string prefix = directory.path.substr(0, directory.prefix_length) + "/";
    bool file_checked = false;
    std::size_t offset = 0;
    while (const struct dirent64* entry = next_listed_entry(directory.reader.entries, offset)) {
        if (entry->d_type == DT_DIR && !excluded_names_.contains(entry->d_name)) {
            directory.unread_subdirectories.emplace_back(entry->d_name);
        } else if (entry->d_type == DT_REG && !file_checked) {
            struct stat status;
            directory.searchable = ::stat((prefix + entry->d_name).c_str(), &status) == 0;
            file_checked = true;
        }
    }
}
