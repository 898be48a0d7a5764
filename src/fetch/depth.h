// How the files ahead of the comparison are prepared, decided by how the
// drives answer rather than by where they are: each file only at its turn,
// by the program's own system calls, while whole stretches of files come
// from memory, where preparing ahead would only cost; ahead of their turn by
// those system calls, with their bytes asked of the kernel in the
// background, while drives answer without keeping the program waiting; and
// ahead through a fetcher that keeps many requests in flight where the
// program's questions about its files keep it waiting for a drive most of
// the time, and always where a tree
// is served from elsewhere, whose every answer takes a round trip and whose
// reads no count of the drives' blocks shows. On a rotating disk a few files,
// with nothing of their bytes fetched ahead, since the disk's own read-ahead
// would be lost to seeks between them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/file_systems.h"

class Depth {
  public:
    enum class Way { at_turn, ahead_in_thread, ahead_in_flight };

    // The depth for trees on file systems of the kinds `source` and `copy`,
    // either of them on a rotating disk where `rotating`.
    Depth(FileSystemKind source, FileSystemKind copy, bool rotating);

    // How to prepare the files from the one whose turn comes now on, when the
    // program's own status queries by path have taken `status_nanoseconds`
    // so far; asked once for every file.
    Way way(std::int64_t status_nanoseconds);
    // The files to prepare ahead of the one being compared, by the way, at
    // most `most`.
    std::size_t files_ahead(std::size_t most) const;
    // Whether the bytes of files ahead are fetched beyond their first block.
    bool fetches_bytes_ahead() const { return !rotating_; }
    // The run has paused: the time since is no measure of the drives.
    void note_pause() { paused_ = true; }

  private:
    void measure(std::int64_t status_nanoseconds);

    // Reads of a served tree show in no count; trees in memory need none.
    bool measures_;
    bool rotating_;
    Way way_;
    // Since the start of the current stretch of files: how many, the blocks
    // that the program had read from drives, the time, the time its status
    // queries had taken, and whether the run paused.
    std::size_t files_ = 0;
    long blocks_read_ = 0;
    std::int64_t nanoseconds_ = 0;
    std::int64_t status_nanoseconds_ = 0;
    bool paused_ = false;
};
