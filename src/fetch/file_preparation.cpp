// The steps of a file's preparation, each made when the one before it is
// answered, and the checks of what they found.
#include "fetch/file_preparation.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>

#include "fetch/copy_from_drive.h"
#include "fetch/fetch_bounds.h"
#include "system/file_status.h"

namespace {

bool is_regular(const struct statx& status) {
    return S_ISREG(status.stx_mode);
}

// True when both sides are regular files of the same size.
bool same_size_files(const FileAhead& file) {
    const PreparedSide& source = file.side[SOURCE];
    const PreparedSide& copy = file.side[COPY];
    return source.error == 0 && copy.error == 0 && is_regular(source.status) &&
           is_regular(copy.status) && source.status.stx_size == copy.status.stx_size;
}

// Makes `request` of `file`'s preparation through `way`, the file's own
// unless given.
void make(FileAhead& file, const Request& request, Fetcher& way) {
    ++file.pending;
    way.make(request);
}

void make(FileAhead& file, const Request& request) {
    make(file, request, *file.way);
}

// Opens `side` of `file`, waiting where it `waits`.
void open_side(FileAhead& file, int side, bool waits) {
    Request open = request_for(file, Step::open, side);
    open.path = file.side[side].path.c_str();
    open.blocking = waits;
    file.side[side].waited = waits;
    make(file, open);
}

// A request of `step` on the open descriptor of `side`.
void make_on_descriptor(FileAhead& file, Step step, int side) {
    Request request = request_for(file, step, side);
    request.fd = file.side[side].fd;
    if (step == Step::status_of_open) {
        request.status = &file.side[side].opened;
    } else if (step == Step::read_first) {
        // A whole block, whatever size was seen: a file that has grown since
        // shows more bytes than its size, and is then different.
        request.buffer = file.side[side].buffer;
        request.count = COMPARE_BLOCK_SIZE;
    }
    make(file, request);
}

// The status of `side`'s path into `into`, asked through `way`.
void ask_status(FileAhead& file, int side, struct statx* into, Fetcher& way) {
    Request status = request_for(file, Step::status, side);
    status.path = file.side[side].path.c_str();
    status.status = into;
    make(file, status, way);
}

// The step after the status of what `side` opened: the copy is written out and
// its pages dropped, then the first block of each side read; on a file system
// that holds its files in memory there is nothing to write out or fetch.
void after_open(FileAhead& file, int side, FileSystemsMet& systems) {
    PreparedSide& prepared = file.side[side];
    FileSystems& met = side == COPY ? systems.copy : systems.source;
    const dev_t device = makedev(prepared.opened.stx_dev_major, prepared.opened.stx_dev_minor);
    if (met.kind(device, prepared.path) == FileSystemKind::memory) {
        return;
    }
    make_on_descriptor(file, side == COPY ? Step::write_out : Step::read_first, side);
}

// Takes `side` on by the answer to the request of `step`.
void step_on(FileAhead& file, int side, const Request& request, int result,
             FileSystemsMet& systems) {
    PreparedSide& prepared = file.side[side];
    switch (request.step) {
        case Step::status:
            if (request.status == &prepared.status) {
                prepared.error = result < 0 ? -result : 0;
            } else if (request.status == &prepared.again) {
                prepared.again_error = result < 0 ? -result : 0;
            } else if (result == 0 && is_regular(prepared.opened)) {
                // A lease held the non-blocking open; a regular file stands
                // there, so the open may wait for its holder.
                open_side(file, side, true);
            } else {
                prepared.usable = false;
            }
            return;
        case Step::open:
            if (result >= 0) {
                prepared.fd = result;
                make_on_descriptor(file, Step::status_of_open, side);
            } else if (result == -EAGAIN && !prepared.waited) {
                ask_status(file, side, &prepared.opened, *file.way);
            } else {
                file.short_of_descriptors |= result == -EMFILE || result == -ENFILE;
                prepared.usable = false;
            }
            return;
        case Step::status_of_open:
            if (result == 0 && is_regular(prepared.opened)) {
                after_open(file, side, systems);
            } else {
                prepared.usable = false;
            }
            return;
        case Step::write_out:
            note_write_out(result);
            make_on_descriptor(file, Step::drop, side);
            return;
        case Step::drop:
            make_on_descriptor(file, Step::read_first, side);
            return;
        case Step::read_first:
            prepared.first = result;
            return;
        case Step::fetch:
        case Step::close:
            return;
    }
}

// Takes `file` to its next stage once all requests of its stage are answered.
void end_stage(FileAhead& file) {
    if (file.stage == Stage::status && same_size_files(file)) {
        file.stage = Stage::open;
        for (const int side : {SOURCE, COPY}) {
            open_side(file, side, false);
        }
        return;
    }
    if (!file.side[SOURCE].usable || !file.side[COPY].usable) {
        close_sides(file);
    }
    file.stage = Stage::ready;
}

}  // namespace

Request request_for(FileAhead& file, Step step, int side) {
    ++file.in_flight;
    Request request{step};
    request.file = file.place;
    request.generation = file.generation;
    request.side = static_cast<std::uint8_t>(side);
    request.served = file.side[side].served;
    return request;
}

void begin_preparation(FileAhead& file, Fetcher& way, std::uint64_t now) {
    file.way = &way;
    file.stage = Stage::status;
    file.asked_at = now;
    file.asked_again = false;
    file.short_of_descriptors = false;
    file.given_back = false;
    file.fetched = COMPARE_BLOCK_SIZE;
    for (const int side : {SOURCE, COPY}) {
        PreparedSide& prepared = file.side[side];
        prepared.fd = -1;
        prepared.usable = true;
        prepared.waited = false;
        prepared.first = -EAGAIN;
        ask_status(file, side, &prepared.status, *file.way);
    }
}

void prepare_on(FileAhead& file, const Request& request, int result, FileSystemsMet& systems) {
    --file.in_flight;
    if (request.step == Step::fetch || request.step == Step::close) {
        return;
    }
    --file.pending;
    if (request.step == Step::status && request.status == &file.side[request.side].status &&
        result == 0) {
        PreparedSide& prepared = file.side[request.side];
        FileSystems& met = request.side == COPY ? systems.copy : systems.source;
        prepared.served =
            met.kind(makedev(prepared.status.stx_dev_major, prepared.status.stx_dev_minor),
                     prepared.path) == FileSystemKind::served;
    }
    step_on(file, request.side, request, result, systems);
    if (file.pending == 0 && (file.stage == Stage::status || file.stage == Stage::open)) {
        end_stage(file);
    }
}

void ask_again(FileAhead& file, Fetcher& way, std::uint64_t now) {
    file.asked_at = now;
    file.asked_again = true;
    for (const int side : {SOURCE, COPY}) {
        ask_status(file, side, &file.side[side].again, way);
    }
}

bool still_stands(const FileAhead& file) {
    // Against the status asked before the open, not that of the descriptor:
    // a file system that numbers its files by path (sshfs) answers the status
    // of an open file with that of whatever its path names now, so a file
    // replaced between the open and that status would seem unchanged.
    for (const PreparedSide& side : file.side) {
        if (side.again_error != side.error) {
            return false;
        }
        if (side.error == 0 && !same_unchanged_file(side.status, side.again)) {
            return false;
        }
    }
    return true;
}

off_t size_of(const FileAhead& file) {
    return static_cast<off_t>(file.side[SOURCE].status.stx_size);
}

bool ready_and_open(const FileAhead& file) {
    return file.stage == Stage::ready && file.pending == 0 && file.side[SOURCE].fd >= 0 &&
           file.side[COPY].fd >= 0;
}

void fetch_bytes(FileAhead& file, char* scratch, off_t to) {
    const off_t end = std::min(size_of(file), to);
    for (const int side : {SOURCE, COPY}) {
        for (off_t offset = file.fetched; offset < end; offset += FETCH_PIECE) {
            Request piece = request_for(file, Step::fetch, side);
            piece.fd = file.side[side].fd;
            piece.buffer = scratch;
            piece.count = static_cast<std::uint32_t>(std::min(FETCH_PIECE, end - offset));
            piece.offset = offset;
            file.way->make(piece);
        }
    }
    file.fetched = std::max(file.fetched, end);
}

void close_sides(FileAhead& file) {
    for (const int side : {SOURCE, COPY}) {
        if (file.side[side].fd >= 0) {
            Request close = request_for(file, Step::close, side);
            close.fd = file.side[side].fd;
            file.way->make(close);
            file.side[side].fd = -1;
        }
    }
}

FileToCompare handed_over(const FileAhead& file) {
    const PreparedSide& source = file.side[SOURCE];
    const PreparedSide& copy = file.side[COPY];
    FileToCompare handed;
    handed.error_a = file.asked_again ? source.again_error : source.error;
    handed.status_a = status_from_statx(file.asked_again ? source.again : source.status);
    handed.error_b = file.asked_again ? copy.again_error : copy.error;
    handed.status_b = status_from_statx(file.asked_again ? copy.again : copy.status);
    handed.pair.fd_a = source.fd;
    handed.pair.fd_b = copy.fd;
    if (source.first >= 0) {
        handed.pair.first_a = {source.buffer, static_cast<std::size_t>(source.first)};
    }
    if (copy.first >= 0) {
        handed.pair.first_b = {copy.buffer, static_cast<std::size_t>(copy.first)};
    }
    return handed;
}
