// The list of files that the walk finds, in its order, kept small for trees
// of millions of files: each directory's name once, each file's name once and
// a few bytes beside it, with a file's path relative to the tree put together
// only when it is asked for. What is listed, and in which order, is the
// walk's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class FileList {
  public:
    // A directory of the list, by the number that add_directory gave it.
    using Directory = std::uint32_t;
    // The top of the tree, whose files' paths are their names alone.
    static constexpr Directory TOP = 0;

    FileList();

    // Adds the directory `name` (one or more components) below `parent`, and
    // returns its number. Its files' paths are those of `parent`'s files with
    // `name` and "/" put before the file's name. A list takes at most
    // 2^32 - 2 directories.
    Directory add_directory(Directory parent, std::string_view name);

    // Appends the file `name`, a name of at most NAME_MAX bytes, to the end of
    // the list, in the directory `directory`.
    void add_file(Directory directory, std::string_view name);

    // Appends the file at `path`, relative to the top (it may begin with ".."
    // and may stand in the list already), to the end of the list. Its
    // directory is stored once for any number of such files in a row.
    void add_path(std::string_view path);

    // The number of files listed.
    std::size_t size() const { return size_; }

    // Appends the path of the file `index` (less than size()), relative to
    // the top, with "/" as separator, to `path`. Takes a scan over fewer than
    // a few dozen names, from a mark or from a file asked for lately, so that
    // each of a few readers that go through the list in order finds its next
    // file at once. Not to be called by two threads at once.
    void append_path(std::size_t index, std::string& path) const;

    // The path of the file `index`, as append_path gives it.
    std::string path(std::size_t index) const;

  private:
    // Where a file's name stands among the names, and the directory it is in.
    struct Place {
        std::uint32_t chunk;
        std::uint32_t offset;
        Directory directory;
    };
    // A file asked for lately, and its place.
    struct Found {
        std::size_t index;
        Place place;
    };
    // The readers that go through the list at once, each in order: the
    // comparison, the files ahead, the listings ahead, and one to spare.
    static constexpr std::size_t READERS = 4;

    Place find(std::size_t index) const;
    std::string_view directory_name(Directory directory) const;
    const std::string& directory_path(Directory directory) const;
    char* room_for(std::size_t bytes);

    // The names of the files, each ended by a zero byte, in list order, and
    // before the first file of another directory than the one before it, the
    // number of that directory; in chunks of a fixed size, which the list
    // never moves once written.
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t used_;
    // Every so many files, the place of the first of them.
    std::vector<Place> marks_;
    // The last file that each reader asked for, as far as known, and the one
    // to be replaced next by a reader that has none near the file it asks
    // for.
    mutable std::array<Found, READERS> found_;
    mutable std::size_t replaced_next_ = 0;
    // The directory whose path was put together last, and its path with the
    // "/" that joins a file's name to it; a reader's next file is mostly in
    // the same directory.
    mutable Directory path_of_ = TOP;
    mutable std::string path_;
    // For each directory, the directory it is below and where its name ends
    // in `directory_names_`; its name begins where that of the one before it
    // ends.
    std::vector<Directory> parents_;
    std::vector<std::size_t> name_ends_;
    std::string directory_names_;
    // The directory of the file added last, and the one that add_path added
    // last (TOP while it has added none).
    Directory last_directory_ = TOP;
    Directory path_directory_ = TOP;
    std::size_t size_ = 0;
};
