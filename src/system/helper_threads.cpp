// Threads started as far as the system allows, with every signal blocked,
// and stopped.
#include "system/helper_threads.h"

#include <signal.h>

#include <system_error>

void start_threads(std::vector<std::thread>& threads, unsigned count,
                   const std::function<void()>& work) {
    // A thread starts with the signals blocked that its starter blocks: so
    // every signal is taken by the program's own thread, which holds them
    // back while it writes a line of the log, and none by a helper, where
    // Ctrl-C would end the run within that line.
    sigset_t all;
    sigset_t before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    for (unsigned started = 0; started < count; ++started) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void stop_threads(std::vector<std::thread>& threads, std::mutex& mutex, bool& stopping,
                  std::condition_variable& wake) {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}
