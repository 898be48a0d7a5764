// Reading the directories of the source tree ahead of its walk, several at a
// time with a few threads, where every read of a directory is a round trip to
// a file system served from elsewhere, or to a drive that does not answer
// from memory. The walk keeps its order, its checks
// and its failure messages: a directory that cannot be read ahead is left to
// it, to read and fail on as it always does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "walk/directory_reader.h"

// A directory read ahead as the walk takes it over: its entries in full and
// its descriptor given up, or, where they go beyond the bound on bytes, the
// entries read so far and its descriptor open for the rest; and whether a
// file in it was reached by its path.
struct TakenDirectory {
    DirectoryReader reader;
    bool searchable;
};

// The directories that the walk will enter next, in its order, read ahead
// within a bound on their number and on the bytes of their entries. The walk
// tells it each directory that it enters and leaves; while the walk is in a
// directory read ahead, the subdirectories in its entries are read next, and
// below them, in the order in which the walk will reach them. The one that
// the walk waits for is read in full, or as far as the bound allows, by the
// walk itself where no thread has begun it.
class DirectoryReadAhead {
  public:
    // Starts `threads` threads, which wait until the root is entered. The
    // directories named in `excluded_names` are not read.
    DirectoryReadAhead(const std::set<std::string>& excluded_names, unsigned threads);
    // Stops the threads, once each has finished the directory it reads.
    ~DirectoryReadAhead();
    DirectoryReadAhead(const DirectoryReadAhead&) = delete;
    DirectoryReadAhead& operator=(const DirectoryReadAhead&) = delete;

    // Reads the walk's root, `root` as typed, whose entries have paths that
    // begin with its first `prefix_length` bytes. nullopt when it cannot be
    // read; the walk then reads it itself, and nothing is read ahead.
    std::optional<TakenDirectory> enter_root(const std::string& root, std::size_t prefix_length);
    // The walk enters the subdirectory at `path` of the directory it is in:
    // the subdirectory read ahead, or nullopt when it was not or could not
    // be, as below a directory that the walk reads itself.
    std::optional<TakenDirectory> enter(const std::string& path);
    // The walk has left the directory it was in.
    void leave();

  private:
    struct Directory;
    using Directories = std::deque<std::unique_ptr<Directory>>;

    void serve();
    Directory* next_to_read();
    Directory* first_unread_below(Directory& directory);
    Directory& add_child(Directory& parent);
    std::optional<TakenDirectory> take(std::unique_lock<std::mutex>& lock, Directories& candidates,
                                       int open_flags);
    void read(Directory& directory, int open_flags);
    bool count_entries(Directory& directory);
    void list_subdirectories(Directory& directory);

    const std::set<std::string>& excluded_names_;
    std::mutex mutex_;
    // Notified when a directory has been read or taken over by the walk, and
    // when the threads are to stop.
    std::condition_variable changed_;
    // One for each directory the walk is in, from the root to the innermost
    // one; null for one that it reads itself.
    std::vector<std::unique_ptr<Directory>> levels_;
    // Directories read or being read that the walk has not entered yet, and
    // the bytes of their entries.
    std::size_t directories_ahead_ = 0;
    std::size_t bytes_ahead_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
