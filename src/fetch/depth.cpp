// The way of preparing the files ahead, by the count of the program's reads
// from drives and the share of the time that its thread waited.
#include "fetch/depth.h"

#include <algorithm>

#include "system/drive_reads.h"
#include "system/monotonic_clock.h"

namespace {

// Files in a stretch: at the end of each the way is chosen anew.
constexpr std::size_t STRETCH = 64;
// The share of a stretch's time that the program's status queries must have
// taken before requests are kept in flight, each of which costs more than
// the program's own system call: reading the bytes themselves waits for a
// drive's bandwidth, which no depth widens, and is asked of the kernel ahead
// anyway. On this machine's virtual disk, read cold, the queries take 36 %
// of a stretch's time in the median and 60 % at most among 50,000 small
// files, where keeping them in flight costs 20 % more time, and 47 % among
// 3,000 files in 1,230 directories, where it saves 10 %; a drive that seeks
// for each (a hard disk) keeps the program waiting for far longer.
constexpr double WAITED_FOR_DRIVES = 0.75;
// Files prepared ahead at most on a rotating disk: their statuses, opens and
// first blocks are few enough reads between those of the file being
// compared that the disk reads it in long runs.
constexpr std::size_t FILES_AHEAD_ON_A_ROTATING_DISK = 4;

}  // namespace

Depth::Depth(FileSystemKind source, FileSystemKind copy, bool rotating)
    : measures_(source != FileSystemKind::served && copy != FileSystemKind::served),
      rotating_(rotating),
      way_(!measures_ ? Way::ahead_in_flight
           : source == FileSystemKind::memory && copy == FileSystemKind::memory
               ? Way::at_turn
               : Way::ahead_in_thread) {
    if (measures_) {
        measure(0);
    }
}

void Depth::measure(std::int64_t status_nanoseconds) {
    const long blocks_read = blocks_read_from_drives();
    const std::int64_t nanoseconds = monotonic_nanoseconds();
    if (files_ > 0) {
        const double waited =
            static_cast<double>(status_nanoseconds - status_nanoseconds_) /
            static_cast<double>(std::max<std::int64_t>(nanoseconds - nanoseconds_, 1));
        if (blocks_read == blocks_read_) {
            way_ = Way::at_turn;
        } else if (way_ != Way::ahead_in_flight) {
            way_ = !paused_ && waited >= WAITED_FOR_DRIVES ? Way::ahead_in_flight
                                                           : Way::ahead_in_thread;
        }
    }
    files_ = 0;
    blocks_read_ = blocks_read;
    nanoseconds_ = nanoseconds;
    status_nanoseconds_ = status_nanoseconds;
    paused_ = false;
}

Depth::Way Depth::way(std::int64_t status_nanoseconds) {
    if (measures_ && ++files_ == STRETCH) {
        measure(status_nanoseconds);
    }
    return way_;
}

std::size_t Depth::files_ahead(std::size_t most) const {
    if (way_ == Way::at_turn) {
        return 0;
    }
    return rotating_ ? std::min(most, FILES_AHEAD_ON_A_ROTATING_DISK) : most;
}
