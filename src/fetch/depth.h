// How many files are decided at once, and how many a worker takes at a time,
// by how the drives answer rather than by where they are: where whole
// stretches of files come from memory, as many as there are cores, since
// more would only take turns on them, each worker taking a run of files at a
// time; where a drive of this machine is read, many, since the drive serves
// many requests at once and each worker waits for its own; on a drive served
// from elsewhere, whose every answer takes a round trip and whose reads show
// in no count of the drives' blocks, as many as the bounds allow, with the
// statuses that show whether a file still stands at its turn asked ahead
// too; and on a rotating disk one whole file at a time, in runs read in the
// order in which their files lie on the disk, since a disk that seeks between
// files reads each in short runs.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "system/file_systems.h"

class Depth {
  public:
    // The depth for trees on file systems of the kinds `source` and `copy`,
    // each of them on a rotating disk where said.
    Depth(FileSystemKind source, bool source_rotating, FileSystemKind copy, bool copy_rotating);

    // The most workers that the run may want deciding at once, each a run of
    // files.
    std::size_t most() const;
    // How many workers to have deciding at once now.
    std::size_t width() const;

    // The side of a file by whose place on its disk a run is ordered.
    enum class Place { none, source, copy };
    // What a worker takes at a time: up to `files` files in a row, while
    // their bytes to compare stay below `bytes`, decided in the order in
    // which the files of the side `place` lie on its disk (none: in list
    // order), with the sources' bytes asked for all at once before the first
    // comparison where `sources_ahead`.
    struct Run {
        std::size_t files;
        off_t bytes;
        Place place;
        bool sources_ahead;
    };
    // Where files come from memory, a run of them, so that the workers and
    // the pass seldom wait for each other, and a big file is a run of its
    // own. On a rotating disk, a long run in the order of the disk, which
    // turns its seeks between files into short steps, with the sources asked
    // for ahead where they lie on a drive of their own. Elsewhere one file.
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

    // Whether answers come from memory or from drives, which may take each
    // other's place as the run goes on, and are told from the blocks read.
    bool measured() const;

    Answers answers_;
    // Where the answers come after seeks: the side whose disk rotates (the
    // copy's where both do), and whether the other one's does not.
    Place rotating_;
    bool other_apart_;
    // Since the start of the current stretch of files: how many were
    // started, and the blocks read from drives before it.
    std::size_t files_ = 0;
    long blocks_read_ = 0;
};
