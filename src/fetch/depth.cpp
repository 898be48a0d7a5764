// The depth of the files ahead, by the count of the program's reads from
// drives.
#include "fetch/depth.h"

#include <algorithm>

#include "system/drive_reads.h"

namespace {

// Files between two counts of the program's reads from drives: the files
// ahead rest after so many files without such a read, and go deep again at
// the next count that finds one.
constexpr std::size_t DRIVE_CHECK_INTERVAL = 64;
// Files prepared ahead at most on a rotating disk: their statuses, opens and
// first blocks are few enough reads between those of the file being
// compared that the disk reads it in long runs.
constexpr std::size_t FILES_AHEAD_ON_A_ROTATING_DISK = 4;

}  // namespace

Depth::Depth(FileSystemKind source, FileSystemKind copy, bool rotating)
    : counts_(source != FileSystemKind::served && copy != FileSystemKind::served),
      rotating_(rotating),
      resting_(source == FileSystemKind::memory && copy == FileSystemKind::memory) {}

std::size_t Depth::files_ahead(std::size_t most) {
    if (counts_ && ++files_since_count_ == DRIVE_CHECK_INTERVAL) {
        const long blocks_read = blocks_read_from_drives();
        resting_ = blocks_read == blocks_read_;
        blocks_read_ = blocks_read;
        files_since_count_ = 0;
    }
    if (resting_) {
        return 0;
    }
    return rotating_ ? std::min(most, FILES_AHEAD_ON_A_ROTATING_DISK) : most;
}
