// The workers and the slots of the files they decide, the checks for each
// file's turn, and the handing over in list order.
#include "compare/verdicts_ahead.h"

#include <algorithm>

#include "fetch/fetch_bounds.h"
#include "system/disk_place.h"
#include "system/helper_threads.h"

namespace {

// Threads that list the copy's directories ahead, where it is served from
// elsewhere and the descriptors leave room for this many workers.
constexpr unsigned LISTING_THREADS = 4;
constexpr std::size_t FEWEST_WORKERS_FOR_LISTINGS = 16;

}  // namespace

VerdictsAhead::VerdictsAhead(const FileList& files, std::string prefix_1, std::string prefix_2)
    : files_(files),
      prefix_{std::move(prefix_1), std::move(prefix_2)},
      pass_reader_(files),
      depth_(file_system_kind(prefix_[SOURCE]), on_rotating_disk(prefix_[SOURCE]),
             file_system_kind(prefix_[COPY]), on_rotating_disk(prefix_[COPY])),
      slots_(FILES_DECIDED_AHEAD),
      room_(std::min(depth_.most(), workers_allowed())) {
    if (file_system_kind(prefix_[COPY]) == FileSystemKind::served &&
        room_ >= FEWEST_WORKERS_FOR_LISTINGS) {
        listings_ = std::make_unique<ListingsAhead>(files, prefix_[COPY], LISTING_THREADS);
    }
    std::unique_lock lock(mutex_);
    start_workers(lock);
}

VerdictsAhead::~VerdictsAhead() {
    stop_threads(workers_, mutex_, stopping_, work_);
}

void VerdictsAhead::work() {
    FileList::Reader reader(files_);
    std::vector<std::size_t> run;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (check_due()) {
            Slot& slot = slot_of(check_next_++);
            wake_a_worker();
            check(slot, lock);
        } else if (start_due()) {
            ++deciding_;
            const Depth::Run limits = depth_.run();
            take_run(run, limits, reader, lock);
            lock.unlock();
            bool short_of_descriptors = false;
            decide_run(run, limits, short_of_descriptors);
            lock.lock();
            --deciding_;
            if (short_of_descriptors) {
                // Left for their turn; the workers decide no more files at
                // once than the others do now, and none where the pass
                // waits for all of them to give back what they hold.
                room_ = std::min(room_, deciding_);
            }
            for (const std::size_t index : run) {
                record(slot_of(index));
            }
        } else {
            ++idle_;
            work_.wait(lock);
            --idle_;
        }
    }
}

void VerdictsAhead::take_run(std::vector<std::size_t>& run, const Depth::Run& limits,
                             FileList::Reader& reader, std::unique_lock<std::mutex>& lock) {
    run.clear();
    off_t bytes = 0;
    do {
        Slot& slot = claim(next_);
        run.push_back(slot.index);
        wake_a_worker();
        lock.unlock();
        name(slot, reader);
        slot.file = look_up(slot.path, When::ahead);
        if (slot.file.found == Found::pair) {
            bytes += slot.file.status[SOURCE].size;
        }
        lock.lock();
    } while (run.size() < limits.files && bytes < limits.bytes && in_window());
}

void VerdictsAhead::decide_run(std::vector<std::size_t>& run, const Depth::Run& limits,
                               bool& short_of_descriptors) {
    if (limits.place != Depth::Place::none) {
        const int side = limits.place == Depth::Place::copy ? COPY : SOURCE;
        std::vector<std::pair<std::uint64_t, std::size_t>> places;
        for (const std::size_t index : run) {
            const Slot& slot = slot_of(index);
            places.emplace_back(slot.file.found == Found::pair
                                    ? place_on_disk(slot.path[side], slot.file.status[side].inode)
                                    : 0,
                                index);
        }
        std::sort(places.begin(), places.end());
        std::transform(places.begin(), places.end(), run.begin(),
                       [](const auto& place) { return place.second; });
    }
    // No more than the run's bytes: its last file may be of any size.
    off_t ahead = limits.sources_ahead ? limits.bytes : 0;
    for (const std::size_t index : run) {
        const Slot& slot = slot_of(index);
        if (ahead > 0 && slot.file.found == Found::pair) {
            const off_t bytes = std::min(slot.file.status[SOURCE].size, ahead);
            ask_for_bytes(slot.path[SOURCE], bytes);
            ahead -= bytes;
        }
    }
    for (const std::size_t index : run) {
        Slot& slot = slot_of(index);
        if (slot.file.found == Found::pair) {
            if (short_of_descriptors) {
                slot.file.found = Found::left_for_turn;
            } else {
                open_pair(slot.file, slot.path, copy_systems_);
                short_of_descriptors = slot.file.short_of_descriptors;
            }
        }
        slot.verdict = verdict_on(slot.file);
    }
}

bool VerdictsAhead::check_due() {
    if (!depth_.checks_ahead() || paused_) {
        return false;
    }
    // Every file before the one checked must be decided: the checks go in
    // list order and wait at a file not yet decided, or left for its turn.
    // What was found changed needs no check.
    for (check_next_ = std::max(check_next_, turn_); check_next_ < next_; ++check_next_) {
        const Slot& slot = slot_of(check_next_);
        if (slot.state != Slot::State::decided || slot.verdict == Verdict::left_for_turn) {
            return false;
        }
        if (!slot.changed && slot.checked_at != moment_) {
            return true;
        }
    }
    return false;
}

bool VerdictsAhead::in_window() const {
    return next_ < files_.size() && next_ < turn_ + slots_.size();
}

bool VerdictsAhead::start_due() const {
    return in_window() && deciding_ < std::min(depth_.width(), room_);
}

VerdictsAhead::Slot& VerdictsAhead::claim(std::size_t index) {
    Slot& slot = slot_of(index);
    slot.index = index;
    slot.state = Slot::State::deciding;
    slot.checked_at = 0;
    slot.changed = false;
    ++next_;
    depth_.started();
    if (listings_) {
        listings_->reach(next_);
    }
    return slot;
}

void VerdictsAhead::name(Slot& slot, FileList::Reader& reader) const {
    reader.append_path(slot.index, slot.path[COPY].assign(prefix_[COPY]));
    slot.path[SOURCE].assign(prefix_[SOURCE]).append(slot.path[COPY], prefix_[COPY].size());
}

void VerdictsAhead::record(Slot& slot) {
    slot.state = Slot::State::decided;
    recorded(slot);
}

void VerdictsAhead::recorded(const Slot& slot) {
    if (pass_waits_ && (slot.index == turn_ || room_ == 0)) {
        turn_changed_.notify_one();
    }
}

void VerdictsAhead::check(Slot& slot, std::unique_lock<std::mutex>& lock) {
    slot.state = Slot::State::checking;
    const std::uint64_t at = moment_;
    lock.unlock();
    const bool stands = still_stands(slot.path, slot.file.status);
    lock.lock();
    slot.state = Slot::State::decided;
    if (stands) {
        slot.checked_at = at;
    } else {
        slot.changed = true;
    }
    recorded(slot);
}

Verdict VerdictsAhead::take(std::size_t index) {
    std::unique_lock lock(mutex_);
    turn_ = index;
    if (paused_) {
        paused_ = false;
        ++moment_;
        check_next_ = index;
    }
    start_workers(lock);
    wake_a_worker();
    for (;;) {
        Slot& slot = slot_of(index);
        if (slot.index != index) {
            // No worker has begun it.
            name(claim(index), pass_reader_);
            return decide_at_turn(slot, lock);
        }
        if (slot.state == Slot::State::decided) {
            if (slot.verdict == Verdict::left_for_turn || slot.changed) {
                return decide_at_turn(slot, lock);
            }
            if (slot.checked_at == moment_) {
                return slot.verdict;
            }
            // Checked here, as a worker checks ahead, but without taking the
            // lock again where the file stands: the workers hold it often,
            // and the pass would wait for it at every file. No worker takes
            // the file up meanwhile, and the pass is done with it.
            slot.state = Slot::State::checking;
            lock.unlock();
            if (still_stands(slot.path, slot.file.status)) {
                return slot.verdict;
            }
            lock.lock();
            slot.state = Slot::State::decided;
            return decide_at_turn(slot, lock);
        }
        pass_waits_ = true;
        turn_changed_.wait(lock);
        pass_waits_ = false;
    }
}

Verdict VerdictsAhead::decide_at_turn(Slot& slot, std::unique_lock<std::mutex>& lock) {
    slot.state = Slot::State::deciding;
    slot.file = prepare_at_turn(slot, lock);
    slot.verdict = verdict_on(slot.file);
    if (slot.verdict == Verdict::left_for_turn) {
        // Even with every descriptor of the workers given back, there is no
        // room for the pair.
        slot.verdict = Verdict::unreadable;
    }
    lock.lock();
    // The files after it may have changed while it was decided.
    ++moment_;
    check_next_ = slot.index + 1;
    slot.changed = false;
    record(slot);
    wake_a_worker();
    return slot.verdict;
}

PreparedFile VerdictsAhead::prepare_at_turn(Slot& slot, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    PreparedFile file = prepare_file(slot.path, When::at_turn, copy_systems_);
    if (file.short_of_descriptors) {
        // The workers take no more files, and give back what they hold once
        // they have decided it; the copy's directories are no longer listed
        // ahead; then the pair is opened once more.
        lock.lock();
        room_ = 0;
        pass_waits_ = true;
        turn_changed_.wait(lock, [this] { return deciding_ == 0; });
        pass_waits_ = false;
        listings_.reset();
        lock.unlock();
        file = prepare_file(slot.path, When::at_turn, copy_systems_);
    }
    return file;
}

void VerdictsAhead::note_pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void VerdictsAhead::start_workers(std::unique_lock<std::mutex>& lock) {
    const std::size_t wanted = std::min(depth_.width(), room_);
    if (workers_.size() < wanted && !threads_refused_) {
        // Started without the lock, which they take first.
        lock.unlock();
        const std::size_t before = workers_.size();
        start_threads(workers_, static_cast<unsigned>(wanted - before), [this] { work(); });
        lock.lock();
        threads_refused_ = workers_.size() < wanted;
    }
}

void VerdictsAhead::wake_a_worker() {
    if (idle_ > 0 && (check_due() || start_due())) {
        work_.notify_one();
    }
}
