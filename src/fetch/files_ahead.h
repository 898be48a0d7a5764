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

#include "fetch/fetcher.h"
#include "fetch/file_preparation.h"
#include "fetch/file_to_compare.h"
#include "fetch/listings_ahead.h"
#include "walk/file_list.h"

class FilesAhead : public ComparisonProgress {
  public:
    // The files `files` (paths relative to both directories) below
    // `prefix_1` and `prefix_2` (each ending in "/", or the whole paths of
    // one file with a list of one empty path), made ready through `fetcher`
    // with at most `most_ahead` files prepared after the one being compared.
    FilesAhead(const FileList& files, std::string prefix_1, std::string prefix_2,
               std::unique_ptr<Fetcher> fetcher, std::size_t most_ahead);
    // Waits for what is in flight, and closes what the files hold.
    ~FilesAhead() override;
    FilesAhead(const FilesAhead&) = delete;
    FilesAhead& operator=(const FilesAhead&) = delete;

    // The file `index` of the list, the one after the file taken last, for
    // its comparison; what the file taken before holds is closed. Brings the
    // files after it into flight as far as the bounds allow, and waits until
    // this one is prepared and seen to still stand: its statuses are asked
    // again, ahead of its turn, where they were asked before the file before
    // it was taken, and it is prepared anew where they show it changed.
    // The descriptors and first bytes stay the files ahead's, valid until
    // the next call.
    FileToCompare take(std::size_t index);

    // The run has paused after a problem, long enough for a user to change
    // the trees: every file prepared ahead is prepared anew.
    void note_pause();

    // The comparison of the file taken last has reached `position`: its
    // bytes are fetched on ahead, and answers taken on.
    void reached(off_t position) override;

  private:
    FileAhead& place_of(std::size_t index) { return places_[index % places_.size()]; }
    void on_answer(const Request& request, int result);
    void prepare_anew(FileAhead& file);
    bool answer(bool wait_for_one);
    void bring_in(std::size_t index);
    void fill();
    void fetch(FileAhead& file, off_t to);
    void fetch_ahead();
    void wait_until_ready(FileAhead& file);
    void give_back_descriptors();

    const FileList& files_;
    std::string prefix_[2];
    FileSystemKind root_kind_[2];
    std::unique_ptr<Fetcher> fetcher_;
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
    // Whether the fetcher finds files ahead worth preparing now.
    bool fetching_ahead_ = true;
    // Bytes fetched of the files after the one being compared.
    off_t bytes_ahead_ = 0;
    // How far the comparison of the file taken last has come.
    off_t reached_ = 0;
    // The handler of the fetcher's answers.
    AnswerHandler handler_;
};
