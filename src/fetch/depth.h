// How many files are decided at once, by how the drives answer rather than
// by where they are: where whole stretches of files come from memory, as
// many as there are cores, since more would only take turns on them, each
// worker taking a run of files at a time; where a drive of this machine is
// read, many, since the drive serves many requests at once and each worker
// waits for its own; on a drive served from elsewhere, whose every answer
// takes a round trip and whose reads show in no count of the drives' blocks,
// as many as the bounds allow, with the statuses that show whether a file
// still stands at its turn asked ahead too; and on a rotating disk one at a
// time, since a disk that seeks between files reads each in short runs.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "system/file_systems.h"

class Depth {
  public:
    // The depth for trees on file systems of the kinds `source` and `copy`,
    // either of them on a rotating disk where `rotating`.
    Depth(FileSystemKind source, FileSystemKind copy, bool rotating);

    // The most files that the run may want to decide at once.
    std::size_t most() const;
    // How many files to decide at once now.
    std::size_t width() const;
    // What a worker takes at a time: up to `files` files in a row, while
    // their bytes to compare stay below `bytes`, decided in the order in
    // which their copies lie on their drive where `by_place`, else in list
    // order. Where files come from memory, a run of them, so that the
    // workers and the pass seldom wait for each other, and a big file is a
    // run of its own; on a rotating disk, a run read in the order of the
    // disk, which turns its seeks between files into short steps; elsewhere
    // one file.
    struct Run {
        std::size_t files;
        off_t bytes;
        bool by_place;
    };
    Run run() const;
    // Whether the statuses that show whether a file decided ahead still
    // stands at its turn are asked ahead, by the workers: where each costs a
    // round trip to a server. Elsewhere the pass asks them itself, at the
    // file's turn.
    bool checks_ahead() const { return answers_ == Answers::after_round_trips; }

    // A file has been started: every so many, how the drives answer is
    // looked at anew.
    void started();

  private:
    enum class Answers { from_memory, from_drives, after_round_trips, after_seeks };

    Answers answers_;
    // Since the start of the current stretch of files: how many were
    // started, and the blocks read from drives before it.
    std::size_t files_ = 0;
    long blocks_read_ = 0;
};
