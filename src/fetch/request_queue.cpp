// Setting up io_uring, and the entries and completions of its queue.
#include "fetch/request_queue.h"

#include <algorithm>

std::unique_ptr<RequestQueue> RequestQueue::open(unsigned entries,
                                                 std::initializer_list<int> needed,
                                                 unsigned workers) {
    std::unique_ptr<RequestQueue> queue(new RequestQueue);
    queue->set_up_ = io_uring_queue_init(entries, &queue->ring_, 0) == 0;
    if (!queue->set_up_) {
        return nullptr;
    }
    io_uring_probe* probe = io_uring_get_probe_ring(&queue->ring_);
    const bool knows_all =
        probe != nullptr && std::all_of(needed.begin(), needed.end(), [&](int request) {
            return io_uring_opcode_supported(probe, request);
        });
    io_uring_free_probe(probe);
    if (!knows_all) {
        return nullptr;
    }
    // The kernel's workers for requests that wait on files are few by
    // default (four for each processor), fewer than requests in flight.
    unsigned limits[2] = {workers, 0};
    io_uring_register_iowq_max_workers(&queue->ring_, limits);
    return queue;
}

RequestQueue::~RequestQueue() {
    if (set_up_) {
        io_uring_queue_exit(&ring_);
    }
}

io_uring_sqe* RequestQueue::add(std::uint64_t tag) {
    io_uring_sqe* entry = io_uring_get_sqe(&ring_);
    // Where the queue is full, or a submission to make room failed for want
    // of the kernel's memory: submitted until there is room.
    while (entry == nullptr) {
        io_uring_submit(&ring_);
        entry = io_uring_get_sqe(&ring_);
    }
    io_uring_sqe_set_data64(entry, tag);
    return entry;
}

void RequestQueue::complete(const std::function<void(std::uint64_t tag, int result)>& handle,
                            bool wait_for_one) {
    io_uring_submit_and_wait(&ring_, wait_for_one ? 1 : 0);
    io_uring_cqe* completion;
    unsigned head;
    unsigned count = 0;
    io_uring_for_each_cqe(&ring_, head, completion) {
        handle(io_uring_cqe_get_data64(completion), completion->res);
        ++count;
    }
    io_uring_cq_advance(&ring_, count);
}
