// The choice of the fetcher, made once for a pass.
#include "fetch/fetcher.h"

#include "fetch/fetch_bounds.h"

#include "fetch/plain_fetcher.h"
#include "fetch/ring_fetcher.h"
#include "system/file_systems.h"

std::unique_ptr<Fetcher> choose_fetcher(const std::string& prefix_1, const std::string& prefix_2) {
    if (!served_file_system(prefix_1) && !served_file_system(prefix_2)) {
        return std::make_unique<PlainFetcher>(PlainFetcher::Rest::allowed);
    }
    // The queue takes a descriptor of its own, which only pays where files
    // can be prepared ahead.
    if (files_ahead_allowed() > 0) {
        if (std::unique_ptr<Fetcher> ring = RingFetcher::open()) {
            return ring;
        }
    }
    return std::make_unique<PlainFetcher>(PlainFetcher::Rest::never);
}
