// Starting the program's helper threads, which the system may refuse (under
// a limit on processes): what they would have done is then done without
// them, more slowly; and stopping them.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Starts up to `count` threads that run `work`, into `threads`; fewer where
// the system refuses to start more. They block every signal, which leaves
// signals to the program's own thread.
void start_threads(std::vector<std::thread>& threads, unsigned count,
                   const std::function<void()>& work);
// Tells the `threads` to stop, by setting `stopping` under `mutex` and
// waking every thread that waits on `wake`, and waits until they have ended.
void stop_threads(std::vector<std::thread>& threads, std::mutex& mutex, bool& stopping,
                  std::condition_variable& wake);
