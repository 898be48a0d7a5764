// Listing the directories of a tree served from elsewhere ahead of the files
// in them, in threads of their own: a server that answers every lookup in a
// directory after a round trip, one at a time (sshfs), answers the lookups of
// files whose directory it has just listed from what the listing gave. Which
// files are decided when is left to the verdicts ahead.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "walk/file_list.h"

class ListingsAhead {
  public:
    // Lists the directories below `prefix` that hold the files of `files`
    // (paths relative to it) with `threads` threads.
    ListingsAhead(const FileList& files, std::string prefix, unsigned threads);
    // Stops the threads, once each has finished the directory it lists.
    ~ListingsAhead();
    ListingsAhead(const ListingsAhead&) = delete;
    ListingsAhead& operator=(const ListingsAhead&) = delete;

    // The files up to `index` of the list are being decided: the directories
    // of the files after them, up to a bound, are listed in list order where
    // many of their files follow each other, each only as far as its listing
    // costs fewer round trips than the lookups of those files would.
    void reach(std::size_t index);

  private:
    void serve();

    const FileList& files_;
    FileList::Reader reader_;
    const std::string prefix_;
    // The next file whose directory is looked at, the directory of the file
    // before it, and how many files of that directory follow each other
    // there.
    std::size_t next_ = 0;
    std::string last_{};
    std::size_t run_ = 0;
    std::mutex mutex_;
    std::condition_variable queued_;
    // Directories to list, each with the number of reads of its entries
    // that its listing may take.
    std::deque<std::pair<std::string, std::size_t>> queue_{};
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
