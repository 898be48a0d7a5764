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
// What a worker takes at a time where files come from memory, and on a
// rotating disk.
constexpr Depth::Run RUN_IN_MEMORY = {32, 8 << 20, false};
constexpr Depth::Run RUN_ON_A_ROTATING_DISK = {64, 64 << 20, true};
constexpr Depth::Run ONE_FILE = {1, 0, false};

// The cores of the machine, asked once: the question reads a file of /sys.
std::size_t cores() {
    static const std::size_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

}  // namespace

Depth::Depth(FileSystemKind source, FileSystemKind copy, bool rotating)
    : answers_(source == FileSystemKind::served || copy == FileSystemKind::served
                   ? Answers::after_round_trips
               : rotating ? Answers::after_seeks
               : source == FileSystemKind::memory && copy == FileSystemKind::memory
                   ? Answers::from_memory
                   : Answers::from_drives),
      blocks_read_(blocks_read_from_drives()) {}

std::size_t Depth::most() const {
    switch (answers_) {
        case Answers::from_memory:
        case Answers::from_drives:
            return std::max(cores(), DRIVE_WIDTH);
        case Answers::after_round_trips:
            return MOST_WORKERS;
        case Answers::after_seeks:
            break;
    }
    return 1;
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
            return RUN_ON_A_ROTATING_DISK;
        case Answers::from_drives:
        case Answers::after_round_trips:
            break;
    }
    return ONE_FILE;
}

void Depth::started() {
    const bool measured = answers_ == Answers::from_memory || answers_ == Answers::from_drives;
    if (measured && ++files_ == STRETCH) {
        const long blocks_read = blocks_read_from_drives();
        answers_ = blocks_read == blocks_read_ ? Answers::from_memory : Answers::from_drives;
        blocks_read_ = blocks_read;
        files_ = 0;
    }
}
