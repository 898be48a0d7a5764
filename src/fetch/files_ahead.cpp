// The places of the files in flight (one each, taken in turn), when each file
// is brought in, checked for its turn, fetched on, handed over and let go,
// and the bounds on them.
#include "fetch/files_ahead.h"

#include <algorithm>

#include "fetch/fetch_bounds.h"

namespace {

// Threads that list the copy's directories ahead, where it is served from
// elsewhere and the descriptors they take leave room for files ahead.
constexpr unsigned LISTING_THREADS = 4;
constexpr std::size_t FEWEST_AHEAD_FOR_LISTINGS = 16;

// The bytes of `file` fetched after its first block, on both sides.
off_t fetched_after_first(const FileAhead& file) {
    return 2 * (file.fetched - static_cast<off_t>(COMPARE_BLOCK_SIZE));
}

// Memory that requests still in flight may write into when the files ahead
// end: nothing waits for them (a drive may never answer), so it is kept
// until the process exits.
void keep_until_exit(std::unique_ptr<char[]> memory) {
    static auto* const kept = new std::vector<std::unique_ptr<char[]>>;
    kept->push_back(std::move(memory));
}

}  // namespace

FilesAhead::FilesAhead(const FileList& files, std::string prefix_1, std::string prefix_2,
                       std::unique_ptr<Fetcher> deep, std::size_t most_ahead)
    : files_(files),
      prefix_{std::move(prefix_1), std::move(prefix_2)},
      root_kind_{file_system_kind(prefix_[SOURCE]), file_system_kind(prefix_[COPY])},
      deep_(std::move(deep)),
      depth_(root_kind_[SOURCE], root_kind_[COPY],
             on_rotating_disk(prefix_[SOURCE]) || on_rotating_disk(prefix_[COPY])),
      places_(most_ahead + 1),
      buffers_(new char[2 * places_.size() * COMPARE_BLOCK_SIZE]),
      scratch_(new char[FETCH_PIECE]),
      listings_(root_kind_[COPY] == FileSystemKind::served &&
                        most_ahead >= FEWEST_AHEAD_FOR_LISTINGS
                    ? std::make_unique<ListingsAhead>(files, prefix_[COPY], LISTING_THREADS)
                    : nullptr),
      most_ahead_(most_ahead),
      handler_([this](const Request& request, int result) { on_answer(request, result); }) {
    for (std::size_t place = 0; place < places_.size(); ++place) {
        places_[place].place = static_cast<std::uint32_t>(place);
        for (const int side : {SOURCE, COPY}) {
            places_[place].side[side].buffer =
                buffers_.get() + (2 * place + side) * COMPARE_BLOCK_SIZE;
        }
    }
}

FilesAhead::~FilesAhead() {
    for (FileAhead& file : places_) {
        let_go(file);
    }
    answer(false);
    if (deep_->busy()) {
        keep_until_exit(std::move(buffers_));
        keep_until_exit(std::move(scratch_));
    }
}

bool FilesAhead::answer(bool wait_for_one) {
    // The program's own system calls are answered at once.
    const bool answered = lean_.answer(handler_, false);
    return deep_->answer(handler_, wait_for_one && !answered) || answered;
}

void FilesAhead::on_answer(const Request& request, int result) {
    FileAhead& file = places_[request.file];
    if (request.generation != file.generation) {
        // The file has been let go of since.
        return;
    }
    prepare_on(file, request, result, systems_);
    if (file.index == current_) {
        settle_if_fetched();
    } else if (file.stage == Stage::ready && file.pending == 0) {
        if (file.short_of_descriptors) {
            // Prepared again at its turn; the files ahead are fewer from now on.
            most_ahead_ = std::min(most_ahead_, file.index - current_ - 1);
        }
        check_next_if_due();
    }
}

void FilesAhead::bring_in(std::size_t index) {
    FileAhead& file = place_of(index);
    file.index = index;
    for (const int side : {SOURCE, COPY}) {
        files_.append_path(index, file.side[side].path.assign(prefix_[side]));
        file.side[side].served = root_kind_[side] == FileSystemKind::served;
    }
    begin_preparation(file,
                      way_ == Depth::Way::ahead_in_flight ? *deep_ : static_cast<Fetcher&>(lean_),
                      clock_.tick());
}

void FilesAhead::fill() {
    if (listings_) {
        listings_->reach(next_);
    }
    // The place of each file brought in is that of one let go of already.
    while (next_ < files_.size() && next_ <= current_ + ahead_now_ && bytes_ahead_ < BYTES_AHEAD) {
        bring_in(next_++);
    }
}

void FilesAhead::let_go(FileAhead& file) {
    if (file.in_flight > 0) {
        for (const PreparedSide& side : file.side) {
            if (side.fd >= 0) {
                file.way->cancel(side.fd);
            }
        }
    }
    close_sides(file);
    file.stage = Stage::finished;
    ++file.generation;
    file.pending = 0;
    file.in_flight = 0;
}

void FilesAhead::prepare_anew(FileAhead& file) {
    if (file.index > current_) {
        bytes_ahead_ -= fetched_after_first(file);
    }
    let_go(file);
    begin_preparation(file, *file.way, clock_.tick());
}

void FilesAhead::check(FileAhead& file) {
    const bool served = file.side[SOURCE].served || file.side[COPY].served;
    ask_again(file, served ? *file.way : static_cast<Fetcher&>(lean_), clock_.tick());
}

void FilesAhead::settle_if_fetched() {
    const FileAhead& at_hand = place_of(current_);
    if (!comparing_ || clock_.settled() || !at_hand.way->fetches_arrive()) {
        return;
    }
    if (ready_and_open(at_hand) && (reached_ < size_of(at_hand) - READ_AHEAD_TURN ||
                                    at_hand.fetched < size_of(at_hand) || at_hand.in_flight > 0)) {
        return;
    }
    clock_.settle();
    check_next_if_due();
}

void FilesAhead::check_next_if_due() {
    if (!clock_.settled() || current_ + 1 >= next_) {
        return;
    }
    FileAhead& next = place_of(current_ + 1);
    if (next.stage == Stage::ready && next.pending == 0 && !next.given_back &&
        (next.side[SOURCE].served || next.side[COPY].served) &&
        !clock_.stands_for_turn(next.asked_at)) {
        check(next);
    }
}

void FilesAhead::fetch_ahead() {
    // Of the file being compared, its first read-ahead turn until the
    // comparison has found its first block equal, so that a file that
    // differs there costs no more; from then on two to three turns ahead of
    // the comparison, asked for a whole turn at a time: a served drive is
    // kept answering many pieces, a local disk reads a long run of each file.
    FileAhead& at_hand = place_of(current_);
    if (ready_and_open(at_hand)) {
        if (reached_ == 0) {
            fetch_bytes(at_hand, scratch_.get(), READ_AHEAD_TURN);
        }
        while (reached_ > 0 && at_hand.fetched < size_of(at_hand) &&
               at_hand.fetched - reached_ < 2 * READ_AHEAD_TURN) {
            fetch_bytes(at_hand, scratch_.get(), at_hand.fetched + READ_AHEAD_TURN);
        }
    }
    // Of the files after it, the first read-ahead turn, in list order, as far
    // as BYTES_AHEAD allows.
    if (!depth_.fetches_bytes_ahead()) {
        return;
    }
    for (std::size_t index = current_ + 1; index < next_; ++index) {
        FileAhead& file = place_of(index);
        if (!ready_and_open(file)) {
            continue;
        }
        const off_t before = fetched_after_first(file);
        const off_t room = (BYTES_AHEAD - bytes_ahead_) / 2 + file.fetched;
        if (room <= file.fetched) {
            return;
        }
        fetch_bytes(file, scratch_.get(), std::min(READ_AHEAD_TURN, room));
        bytes_ahead_ += fetched_after_first(file) - before;
    }
}

FileToCompare FilesAhead::take(std::size_t index) {
    comparing_ = false;
    if (taken_ > 0) {
        let_go(place_of(current_));
        clock_.next_turn();
    }
    current_ = index;
    ++taken_;
    reached_ = 0;
    way_ = depth_.way(lean_.status_nanoseconds());
    ahead_now_ = depth_.files_ahead(most_ahead_);
    if (next_ <= index) {
        bring_in(index);
        next_ = index + 1;
    }
    FileAhead& file = place_of(index);
    bytes_ahead_ -= fetched_after_first(file);
    fill();
    wait_until_ready(file);
    comparing_ = true;
    fetch_ahead();
    settle_if_fetched();
    answer(false);
    return handed_over(file);
}

void FilesAhead::wait_until_ready(FileAhead& file) {
    bool given_back = false;
    for (;;) {
        while (file.pending > 0 || file.stage != Stage::ready) {
            answer(true);
        }
        if (file.given_back || (file.asked_again && !still_stands(file))) {
            prepare_anew(file);
        } else if (!clock_.stands_for_turn(file.asked_at)) {
            check(file);
        } else if (file.short_of_descriptors && !given_back) {
            give_back_descriptors();
            given_back = true;
            prepare_anew(file);
        } else {
            return;
        }
    }
}

void FilesAhead::give_back_descriptors() {
    for (std::size_t index = current_ + 1; index < next_; ++index) {
        FileAhead& file = place_of(index);
        while (file.pending > 0) {
            answer(true);
        }
        bytes_ahead_ -= fetched_after_first(file);
        file.fetched = COMPARE_BLOCK_SIZE;
        let_go(file);
        file.stage = Stage::ready;
        file.given_back = true;
    }
    most_ahead_ /= 2;
    while (lean_.closing() || deep_->closing()) {
        answer(true);
    }
}

void FilesAhead::note_pause() {
    clock_.pause();
    depth_.note_pause();
}

void FilesAhead::reached(off_t position) {
    if (reached_ > 0 && position < reached_ + FETCH_PIECE) {
        return;
    }
    reached_ = position;
    fetch_ahead();
    answer(false);
    settle_if_fetched();
}
