// The queue of requests that the helper threads make, and their answers.
#include "fetch/thread_fetcher.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "fetch/plain_fetcher.h"
#include "system/helper_threads.h"

struct ThreadFetcher::Shared {
    std::mutex mutex;
    // Notified when a request is queued or the fetcher ends, and when an
    // answer comes.
    std::condition_variable queued;
    std::condition_variable answered;
    std::deque<Request> requests;
    std::deque<std::pair<Request, int>> answers;
    // Requests taken by a thread and not yet answered, closes among them.
    std::size_t running = 0;
    std::size_t closes = 0;
    bool ending = false;

    void serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            queued.wait(lock, [this] { return ending || !requests.empty(); });
            if (requests.empty()) {
                return;
            }
            const Request request = requests.front();
            requests.pop_front();
            ++running;
            lock.unlock();
            const int result = make_as_system_call(request, Reads::made);
            lock.lock();
            --running;
            answers.emplace_back(request, result);
            answered.notify_one();
        }
    }
};

std::unique_ptr<ThreadFetcher> ThreadFetcher::open(unsigned threads) {
    auto shared = std::make_shared<Shared>();
    std::vector<std::thread> started;
    start_threads(started, threads, [shared] { shared->serve(); });
    if (started.empty()) {
        return nullptr;
    }
    for (std::thread& thread : started) {
        thread.detach();
    }
    return std::unique_ptr<ThreadFetcher>(new ThreadFetcher(std::move(shared)));
}

ThreadFetcher::~ThreadFetcher() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ending = true;
    }
    shared_->queued.notify_all();
}

void ThreadFetcher::make(const Request& request) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->requests.push_back(request);
        shared_->closes += request.step == Step::close;
    }
    shared_->queued.notify_one();
}

bool ThreadFetcher::answer(const AnswerHandler& handle, bool wait_for_one) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->requests.empty() && shared_->running == 0 && shared_->answers.empty()) {
        return false;
    }
    if (wait_for_one) {
        shared_->answered.wait(lock, [this] { return !shared_->answers.empty(); });
    }
    // Handled without the lock, since the handler makes further requests.
    std::deque<std::pair<Request, int>> answers = std::move(shared_->answers);
    shared_->answers.clear();
    for (const auto& [request, result] : answers) {
        shared_->closes -= request.step == Step::close;
    }
    lock.unlock();
    for (const auto& [request, result] : answers) {
        handle(request, result);
    }
    return true;
}

void ThreadFetcher::cancel(int fd) {
    std::lock_guard lock(shared_->mutex);
    std::erase_if(shared_->requests, [fd](const Request& request) {
        return request.fd == fd && request.step != Step::close;
    });
}

bool ThreadFetcher::closing() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->closes > 0;
}

bool ThreadFetcher::busy() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running > 0 || !shared_->requests.empty();
}
