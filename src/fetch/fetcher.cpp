// The choice of the fetcher, made once for a pass.
#include "fetch/fetcher.h"

#include "fetch/fetch_bounds.h"
#include "fetch/plain_fetcher.h"
#include "fetch/ring_fetcher.h"
#include "fetch/thread_fetcher.h"
#include "system/file_systems.h"

namespace {

// Helper threads that make requests where io_uring cannot: each keeps one
// request of a file system served from elsewhere in flight, which is what
// such file systems serve several of at once.
constexpr unsigned FETCH_THREADS = 32;

}  // namespace

std::unique_ptr<Fetcher> choose_fetcher(const std::string& prefix_1, const std::string& prefix_2) {
    // The queue and the threads only pay where files can be prepared ahead,
    // and where some file system has answers to wait for.
    const bool in_memory = file_system_kind(prefix_1) == FileSystemKind::memory &&
                           file_system_kind(prefix_2) == FileSystemKind::memory;
    if (!in_memory && files_ahead_allowed() > 0) {
        if (std::unique_ptr<Fetcher> ring = RingFetcher::open()) {
            return ring;
        }
        if (std::unique_ptr<Fetcher> threads = ThreadFetcher::open(FETCH_THREADS)) {
            return threads;
        }
    }
    return std::make_unique<PlainFetcher>();
}
