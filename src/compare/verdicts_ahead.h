// The verdicts on the files of the list, reached ahead of their turn by
// workers that each decide a whole file at a time, from its statuses to its
// last block, and handed to the comparison pass in list order. A verdict
// reached ahead is handed over only where the file is seen to stand as it was
// decided: its statuses, asked anew after every file before it was decided
// and after the run last paused or compared a file at its turn, show it
// unchanged. A file that no worker has begun when its turn comes, that has
// changed, or whose statuses cannot show a change, is decided at its turn by
// the pass's own thread. What a file goes through is the file preparation's
// and the comparison's; how many files are decided at once, the depth's.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compare/file_compare.h"
#include "fetch/depth.h"
#include "fetch/file_systems_met.h"
#include "fetch/listings_ahead.h"
#include "walk/file_list.h"

class VerdictsAhead {
  public:
    // Decides the files `files` (paths relative to both directories) below
    // `prefix_1` and `prefix_2` (each ending in "/").
    VerdictsAhead(const FileList& files, std::string prefix_1, std::string prefix_2);
    // Stops the workers, once each has ended what it does.
    ~VerdictsAhead();
    VerdictsAhead(const VerdictsAhead&) = delete;
    VerdictsAhead& operator=(const VerdictsAhead&) = delete;

    // The verdict on the file `index` of the list, the one after the file
    // taken last, as it stands now: waits for it where needed, and decides
    // it here where no worker has or what a worker found no longer stands.
    Verdict take(std::size_t index);

    // The run pauses now after a problem, long enough for a user to change
    // the trees: what is checked until the next file is taken is checked
    // again.
    void note_pause();

  private:
    // A file being decided or decided, with what it was decided on.
    struct Slot {
        std::size_t index = SIZE_MAX;
        std::string path[2];
        enum class State { deciding, decided, checking } state = State::decided;
        Verdict verdict = Verdict::left_for_turn;
        PreparedFile file;
        // The moment at which the last check that found the file unchanged
        // began (0: none did), and whether a check found it changed.
        std::uint64_t checked_at = 0;
        bool changed = false;
    };

    Slot& slot_of(std::size_t index) { return slots_[index % slots_.size()]; }
    void work();
    bool check_due();
    bool in_window() const;
    bool start_due() const;
    Slot& claim(std::size_t index);
    void name(Slot& slot, FileList::Reader& reader) const;
    void take_run(std::vector<std::size_t>& run, const Depth::Run& limits, FileList::Reader& reader,
                  std::unique_lock<std::mutex>& lock);
    void decide_run(std::vector<std::size_t>& run, const Depth::Run& limits,
                    bool& short_of_descriptors);
    void record(Slot& slot);
    void recorded(const Slot& slot);
    void check(Slot& slot, std::unique_lock<std::mutex>& lock);
    Verdict decide_at_turn(Slot& slot, std::unique_lock<std::mutex>& lock);
    PreparedFile prepare_at_turn(Slot& slot, std::unique_lock<std::mutex>& lock);
    void start_workers(std::unique_lock<std::mutex>& lock);
    void wake_a_worker();

    const FileList& files_;
    const std::string prefix_[2];
    // The reader of the pass's thread, for the files that it decides at their
    // turn where no worker has begun them; each worker has its own.
    FileList::Reader pass_reader_;
    CopyFileSystems copy_systems_{};
    Depth depth_;

    // Guards everything below.
    std::mutex mutex_;
    // The workers wait for work, the pass for the file whose turn it is.
    std::condition_variable work_;
    std::condition_variable turn_changed_;
    std::vector<Slot> slots_;
    // The next file to start, the one whose turn it is, and the next to
    // check.
    std::size_t next_ = 0;
    std::size_t turn_ = 0;
    std::size_t check_next_ = 0;
    // The moment now: raised by every pause and every file decided at its
    // turn, which make the checks before it stale.
    std::uint64_t moment_ = 1;
    bool paused_ = false;
    // How many files the workers may decide at once by the descriptors, and
    // how many they decide now.
    std::size_t room_;
    std::size_t deciding_ = 0;
    std::size_t idle_ = 0;
    bool pass_waits_ = false;
    bool stopping_ = false;

    // The copy's directories listed ahead, where it is served from elsewhere.
    std::unique_ptr<ListingsAhead> listings_;
    // The workers, started by the pass's thread as the width asks for them,
    // until the system refuses one.
    std::vector<std::thread> workers_;
    bool threads_refused_ = false;
};
