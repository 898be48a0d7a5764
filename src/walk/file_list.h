// The list of files that the walk finds, in its order, kept small for trees
// of millions of files: each directory's name once, each file's name once and
// a few bytes beside it, with a file's path relative to the tree put together
// only when it is asked for. What is listed, and in which order, is the
// walk's.
#pragma once

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

  private:
    // Where a file's name stands among the names, and the directory it is in.
    struct Place {
        std::uint32_t chunk;
        std::uint32_t offset;
        Directory directory;
    };

  public:
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

    // The path of the file `index` (less than size()), relative to the top,
    // with "/" as separator.
    std::string path(std::size_t index) const;

    // One who goes through the list in order, finding each file from the one
    // it found last: a thread that asks for paths has a reader of its own.
    class Reader {
      public:
        explicit Reader(const FileList& list) : list_(list) {}

        // Appends the path of the file `index` (less than size()), as path()
        // gives it, to `path`. Takes a scan over fewer than a few dozen
        // names, from the file found last where it is near, or from a mark.
        void append_path(std::size_t index, std::string& path);

      private:
        const FileList& list_;
        // The file found last (SIZE_MAX: none yet) and its place.
        std::size_t found_ = SIZE_MAX;
        Place place_{};
        // The directory whose path was put together last, and its path with
        // the "/" that joins a file's name to it; the next file is mostly in
        // the same directory.
        Directory path_of_ = TOP;
        std::string path_;
    };

  private:
    // The place of the file `index`, scanned for from the mark before it, or
    // from `near` (the place of the file `near_index`) where that lies between
    // the mark and it.
    Place find(std::size_t index, std::size_t near_index, const Place& near) const;
    std::string_view directory_name(Directory directory) const;
    // Puts the path of `directory`, with the "/" that joins a file's name to
    // it, into `path`.
    void directory_path(Directory directory, std::string& path) const;
    char* room_for(std::size_t bytes);

    // The names of the files, each ended by a zero byte, in list order, and
    // before the first file of another directory than the one before it, the
    // number of that directory; in chunks of a fixed size, which the list
    // never moves once written.
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t used_;
    // Every so many files, the place of the first of them.
    std::vector<Place> marks_;
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
