// Threads started as far as the system allows.
#include "system/helper_threads.h"

#include <system_error>

void start_threads(std::vector<std::thread>& threads, unsigned count,
                   const std::function<void()>& work) {
    for (unsigned started = 0; started < count; ++started) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            return;
        }
    }
}
