// The number of files decided at once, by the count of the program's reads
// from drives.
#include "fetch/depth.h"

#include <algorithm>
#include <thread>

#include "fetch/fetch_bounds.h"
#include "system/drive_reads.h"

namespace {

// Files in a stretch: at the end of each, how the drives answer is looked at
// anew.
constexpr std::size_t STRETCH = 64;
// Files decided at once where a drive of this machine is read: enough that
// it always has requests to serve.
constexpr std::size_t DRIVE_WIDTH = 32;
// What a worker takes at a time where files come from memory, and where
// they lie on a drive of this machine or are served.
constexpr Depth::Run RUN_IN_MEMORY = {32, 8 << 20, Depth::Place::none, false};
constexpr Depth::Run ONE_FILE = {1, 0, Depth::Place::none, false};
// On a rotating disk: the whole window of files decided ahead where they are
// small (on a hard disk model, 2,000 files of up to 16 KiB with their
// sources asked for ahead: 39 seeks and 0.70 s in runs of 1,024, against 56
// seeks and 0.93 s in runs of 256), up to as many bytes as the disk reads in
// about half a second (the last file of a run may be bigger, and many small
// ones take longer for their seeks).
constexpr std::size_t FILES_IN_A_ROTATING_RUN = FILES_DECIDED_AHEAD;
constexpr off_t BYTES_IN_A_ROTATING_RUN = 64 << 20;

// The cores of the machine, asked once: the question reads a file of /sys.
std::size_t cores() {
    static const std::size_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

}  // namespace

Depth::Depth(FileSystemKind source, bool source_rotating, FileSystemKind copy, bool copy_rotating)
    : answers_(source == FileSystemKind::served || copy == FileSystemKind::served
                   ? Answers::after_round_trips
               : source_rotating || copy_rotating ? Answers::after_seeks
               : source == FileSystemKind::memory && copy == FileSystemKind::memory
                   ? Answers::from_memory
                   : Answers::from_drives),
      rotating_(copy_rotating ? Place::copy : Place::source),
      other_apart_(!(source_rotating && copy_rotating)),
      blocks_read_(blocks_read_from_drives()) {}

std::size_t Depth::most() const {
    return measured() ? std::max(cores(), DRIVE_WIDTH) : width();
}

std::size_t Depth::width() const {
    switch (answers_) {
        case Answers::from_memory:
            return cores();
        case Answers::from_drives:
            return DRIVE_WIDTH;
        case Answers::after_round_trips:
            return MOST_WORKERS;
        case Answers::after_seeks:
            break;
    }
    return 1;
}

Depth::Run Depth::run() const {
    switch (answers_) {
        case Answers::from_memory:
            return RUN_IN_MEMORY;
        case Answers::after_seeks:
            // A copy's bytes asked for before its pages are dropped would
            // only be dropped.
            return {FILES_IN_A_ROTATING_RUN, BYTES_IN_A_ROTATING_RUN, rotating_,
                    rotating_ == Place::copy && other_apart_};
        case Answers::from_drives:
        case Answers::after_round_trips:
            break;
    }
    return ONE_FILE;
}

bool Depth::measured() const {
    return answers_ == Answers::from_memory || answers_ == Answers::from_drives;
}

void Depth::started() {
    if (measured() && ++files_ == STRETCH) {
        const long blocks_read = blocks_read_from_drives();
        answers_ = blocks_read == blocks_read_ ? Answers::from_memory : Answers::from_drives;
        blocks_read_ = blocks_read;
        files_ = 0;
    }
}
