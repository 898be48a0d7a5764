// The files of the list in flight ahead of the comparison: which are
// prepared when, within the bounds on files, bytes and descriptors; the bytes
// fetched after their first blocks, and those of the file being compared
// ahead of its comparison; the file handed to the comparison in list order,
// once what was prepared for it is seen to still stand; and the closing of
// what the files hold. How each request is made is the fetcher's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "fetch/depth.h"
#include "fetch/fetcher.h"
#include "fetch/file_preparation.h"
#include "fetch/file_to_compare.h"
#include "fetch/listings_ahead.h"
#include "fetch/plain_fetcher.h"
#include "fetch/turn_clock.h"
#include "walk/file_list.h"

class FilesAhead : public ComparisonProgress {
  public:
    // The files `files` (paths relative to both directories) below
    // `prefix_1` and `prefix_2` (each ending in "/", or the whole paths of
    // one file with a list of one empty path), with at most `most_ahead`
    // files prepared after the one being compared, as the depth finds worth
    // it: by the program's own system calls, or through `deep`, which keeps
    // many requests in flight.
    FilesAhead(const FileList& files, std::string prefix_1, std::string prefix_2,
               std::unique_ptr<Fetcher> deep, std::size_t most_ahead);
    // Closes what the files hold, and waits for nothing that is still in
    // flight: the memory it may write into is kept until the process exits.
    ~FilesAhead() override;
    FilesAhead(const FilesAhead&) = delete;
    FilesAhead& operator=(const FilesAhead&) = delete;

    // The file `index` of the list, the one after the file taken last, for
    // its comparison. The file taken before is decided: what it holds is
    // closed, and its requests still in flight are cancelled and never
    // waited for. Brings the files after it into flight as far as the bounds
    // allow, and waits until this one is prepared and seen to still stand at
    // its turn: its statuses must have been asked after the comparison of
    // the file before it, or, on a drive served from elsewhere, once that
    // comparison came within its last read-ahead turn with nothing left to
    // fetch, and after the last pause; they are asked again where they were
    // not (by the program's own system calls but on a served drive, where
    // they go ahead through the fetcher), and the file is prepared anew where
    // they show it changed. The descriptors and first bytes stay the files
    // ahead's, valid until the next call.
    FileToCompare take(std::size_t index);

    // The run has paused after a problem, long enough for a user to change
    // the trees: statuses asked before are checked again.
    void note_pause();

    // The comparison of the file taken last has reached `position`: its
    // bytes are fetched on ahead, and answers taken on.
    void reached(off_t position) override;

  private:
    FileAhead& place_of(std::size_t index) { return places_[index % places_.size()]; }
    void on_answer(const Request& request, int result);
    bool answer(bool wait_for_one);
    void bring_in(std::size_t index);
    void fill();
    void let_go(FileAhead& file);
    void prepare_anew(FileAhead& file);
    void check(FileAhead& file);
    void settle_if_fetched();
    void check_next_if_due();
    void fetch_ahead();
    void wait_until_ready(FileAhead& file);
    void give_back_descriptors();

    const FileList& files_;
    std::string prefix_[2];
    FileSystemKind root_kind_[2];
    // The ways of making requests: the program's own system calls, and the
    // fetcher that keeps many in flight; and how deep to go.
    PlainFetcher lean_{};
    std::unique_ptr<Fetcher> deep_;
    Depth depth_;
    std::vector<FileAhead> places_;
    // The first blocks of the files in flight, and where fetched pieces land.
    std::unique_ptr<char[]> buffers_;
    std::unique_ptr<char[]> scratch_;
    FileSystemsMet systems_{};
    // The copy's directories listed ahead, where it is served from elsewhere.
    std::unique_ptr<ListingsAhead> listings_;
    std::size_t most_ahead_;
    // Files taken so far; the one taken last, being compared; the next one
    // to bring into flight.
    std::size_t taken_ = 0;
    std::size_t current_ = 0;
    std::size_t next_ = 0;
    // How the files are prepared now, and how many ahead of the one being
    // compared.
    Depth::Way way_ = Depth::Way::at_turn;
    std::size_t ahead_now_ = 0;
    // Bytes fetched of the files after the one being compared.
    off_t bytes_ahead_ = 0;
    // How far the comparison of the file taken last has come.
    off_t reached_ = 0;
    // When the statuses of files were asked, and when what was asked became
    // stale; whether the file taken last has been handed over for its
    // comparison.
    TurnClock clock_;
    bool comparing_ = false;
    // The handler of the fetcher's answers.
    AnswerHandler handler_;
};
