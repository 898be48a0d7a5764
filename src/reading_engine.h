// The reading engine: keeps many files of the list in flight at once through
// io_uring, on the program's one thread, so that slow and remote drives are
// kept answering instead of waited for one request at a time. For each file
// it queries the status of the file and its copy, opens both, writes out the
// copy and drops its pages, reads the first block of both and fetches the
// bytes after it, up to a read-ahead turn, into the page cache. The queue,
// the files in flight and their descriptors stay inside; the comparison pass
// takes finished files in list order and leaves the bytes to files_equal.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "file_compare.h"

class ReadingEngine {
  public:
    // Sets up the engine for `files` (paths relative to both directories)
    // below `prefix_1` and `prefix_2` (each ending in "/"), with at most
    // `max_files` files in flight. Returns nullptr where neither tree lies on
    // a file system served from elsewhere (a network share, FUSE): on drives
    // of this machine, and in memory, the look-ahead costs less and keeps the
    // drives as busy. Also nullptr where io_uring cannot be set up (an old
    // kernel, io_uring switched off, a filter of system calls) or lacks a
    // request the engine makes: the run then goes without.
    static std::unique_ptr<ReadingEngine> start(const std::vector<std::string>& files,
                                                const std::string& prefix_1,
                                                const std::string& prefix_2, std::size_t max_files);
    ~ReadingEngine();
    ReadingEngine(const ReadingEngine&) = delete;
    ReadingEngine& operator=(const ReadingEngine&) = delete;

    // The file `index` of the list, the one after the file taken last, for
    // its comparison: brings the files after it into flight as far as there
    // is room, and waits until the requests for this one are done. Its
    // statuses are queried again, by path, and its files opened anew where
    // the statuses were queried ahead longer ago than the program lets a
    // status stand (a pause for a problem is longer), so that a file replaced
    // meanwhile is compared as it stands now. The pair's descriptors, and the bytes in FirstBytes
    // until the next call, belong to the caller.
    FileToCompare take(std::size_t index);

    // The queue, the files in flight and their buffers.
    struct State;

  private:
    explicit ReadingEngine(std::unique_ptr<State> state);

    std::unique_ptr<State> state_;
};
