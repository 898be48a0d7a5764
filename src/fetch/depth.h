// How far ahead of the comparison files are prepared, decided by how the
// drives answer rather than by where they are: not at all while whole
// stretches of files come from memory, where preparing ahead would only
// cost; as far as the bounds allow once a drive is read from, and always
// where a tree is served from elsewhere, whose reads no count of the drives'
// blocks shows; a few files, with nothing of their bytes fetched ahead, on a
// rotating disk, whose own read-ahead would be lost to seeks between them.
#pragma once

#include <cstddef>

#include "system/file_systems.h"

class Depth {
  public:
    // The depth for trees on file systems of the kinds `source` and `copy`,
    // either of them on a rotating disk where `rotating`.
    Depth(FileSystemKind source, FileSystemKind copy, bool rotating);

    // The files to prepare ahead of the one whose turn comes now, at most
    // `most`; asked once for every file.
    std::size_t files_ahead(std::size_t most);
    // Whether the bytes of files ahead are fetched beyond their first block.
    bool fetches_bytes_ahead() const { return !rotating_; }

  private:
    // Reads of a served tree show in no count; trees in memory need none.
    bool counts_;
    bool rotating_;
    bool resting_;
    // Files since the program's reads from drives were last counted, and
    // that count.
    std::size_t files_since_count_ = 0;
    long blocks_read_ = 0;
};
