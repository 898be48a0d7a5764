// The places of the files in flight (one each, taken in turn), when each file
// is brought in, fetched on, handed over and closed, and the bounds on them.
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

// True when both sides of `file` are prepared and open.
bool ready_and_open(const FileAhead& file) {
    return file.stage == Stage::ready && file.pending == 0 && file.side[SOURCE].fd >= 0 &&
           file.side[COPY].fd >= 0;
}

}  // namespace

FilesAhead::FilesAhead(const FileList& files, std::string prefix_1, std::string prefix_2,
                       std::unique_ptr<Fetcher> fetcher, std::size_t most_ahead)
    : files_(files),
      prefix_{std::move(prefix_1), std::move(prefix_2)},
      root_kind_{file_system_kind(prefix_[SOURCE]), file_system_kind(prefix_[COPY])},
      fetcher_(std::move(fetcher)),
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
        file.begin_anew = false;
    }
    for (FileAhead& file : places_) {
        while (file.pending > 0) {
            answer(true);
        }
    }
    for (FileAhead& file : places_) {
        close_sides(file, *fetcher_);
    }
    while (answer(true)) {
    }
}

bool FilesAhead::answer(bool wait_for_one) {
    return fetcher_->answer(handler_, wait_for_one);
}

void FilesAhead::on_answer(const Request& request, int result) {
    FileAhead& file = places_[request.file];
    prepare_on(file, request, result, *fetcher_, systems_);
    if (file.stage != Stage::ready || file.pending > 0) {
        return;
    }
    if (file.begin_anew) {
        prepare_anew(file);
    } else if (file.short_of_descriptors && file.index > current_) {
        // Prepared again at its turn; the files ahead are fewer from now on.
        most_ahead_ = std::min(most_ahead_, file.index - current_ - 1);
    }
}

void FilesAhead::prepare_anew(FileAhead& file) {
    if (file.index > current_) {
        bytes_ahead_ -= fetched_after_first(file);
    }
    close_sides(file, *fetcher_);
    begin_preparation(file, *fetcher_, taken_);
}

void FilesAhead::bring_in(std::size_t index) {
    FileAhead& file = place_of(index);
    // The place's file before is closed; its last answers are awaited.
    while (file.in_flight > 0) {
        answer(true);
    }
    file.index = index;
    for (const int side : {SOURCE, COPY}) {
        files_.append_path(index, file.side[side].path.assign(prefix_[side]));
        file.side[side].served = root_kind_[side] == FileSystemKind::served;
    }
    begin_preparation(file, *fetcher_, taken_);
}

void FilesAhead::fill() {
    if (listings_) {
        listings_->reach(next_);
    }
    while (fetching_ahead_ && next_ < files_.size() && next_ <= current_ + most_ahead_ &&
           bytes_ahead_ < BYTES_AHEAD && place_of(next_).in_flight == 0) {
        bring_in(next_++);
    }
}

void FilesAhead::fetch(FileAhead& file, off_t to) {
    const auto size = static_cast<off_t>(file.side[SOURCE].status.stx_size);
    const off_t end = std::min(size, to);
    // One side's run after the other's: where both lie on one disk, it reads
    // a long run of each file rather than seeking between them every piece.
    for (const int side : {SOURCE, COPY}) {
        for (off_t offset = file.fetched; offset < end; offset += FETCH_PIECE) {
            Request piece = request_for(file, Step::fetch, side);
            piece.fd = file.side[side].fd;
            piece.buffer = scratch_.get();
            piece.count = static_cast<std::uint32_t>(std::min(FETCH_PIECE, end - offset));
            piece.offset = offset;
            fetcher_->make(piece);
        }
    }
    file.fetched = std::max(file.fetched, end);
}

void FilesAhead::fetch_ahead() {
    // Of the file being compared, two to three read-ahead turns ahead of its
    // comparison, asked for a whole turn at a time: a served drive is kept
    // answering many pieces, a local disk reads a long run of each file.
    FileAhead& at_hand = place_of(current_);
    const auto size = static_cast<off_t>(at_hand.side[SOURCE].status.stx_size);
    while (ready_and_open(at_hand) && at_hand.fetched < size &&
           at_hand.fetched - reached_ < 2 * READ_AHEAD_TURN) {
        fetch(at_hand, at_hand.fetched + READ_AHEAD_TURN);
    }
    // Of the files after it, the first read-ahead turn, in list order, as far
    // as BYTES_AHEAD allows.
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
        fetch(file, std::min(READ_AHEAD_TURN, room));
        bytes_ahead_ += fetched_after_first(file) - before;
    }
}

FileToCompare FilesAhead::take(std::size_t index) {
    if (taken_ > 0) {
        close_sides(place_of(current_), *fetcher_);
        place_of(current_).stage = Stage::finished;
    }
    current_ = index;
    ++taken_;
    reached_ = 0;
    fetching_ahead_ = fetcher_->fetches_ahead();
    if (next_ <= index) {
        bring_in(index);
        next_ = index + 1;
    }
    FileAhead& file = place_of(index);
    bytes_ahead_ -= fetched_after_first(file);
    fill();
    // The statuses of the next file are asked again while this one is
    // compared, where they were asked before this turn.
    if (index + 1 < next_) {
        FileAhead& following = place_of(index + 1);
        if (following.asked_at < taken_ && !following.asked_again && !following.begin_anew) {
            ask_again(following, *fetcher_);
        }
    }
    wait_until_ready(file);
    fetch_ahead();
    answer(false);
    return handed_over(file);
}

void FilesAhead::wait_until_ready(FileAhead& file) {
    bool given_back = false;
    for (;;) {
        while (file.pending > 0 || file.stage != Stage::ready) {
            answer(true);
        }
        if (file.begin_anew || (file.asked_again && !still_stands(file))) {
            prepare_anew(file);
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
        close_sides(file, *fetcher_);
        file.short_of_descriptors = true;
    }
    most_ahead_ /= 2;
    for (FileAhead& file : places_) {
        while (file.index != current_ && file.in_flight > 0) {
            answer(true);
        }
    }
}

void FilesAhead::note_pause() {
    for (std::size_t index = current_ + 1; index < next_; ++index) {
        FileAhead& file = place_of(index);
        if (file.pending == 0) {
            prepare_anew(file);
        } else {
            file.begin_anew = true;
        }
    }
}

void FilesAhead::reached(off_t position) {
    if (position < reached_ + FETCH_PIECE) {
        return;
    }
    reached_ = position;
    fetch_ahead();
    answer(false);
}
