// Unit tests of the list of files: every path comes back as it was listed, in
// the order listed, however the list stores it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "walk/file_list.h"

namespace {

using Paths = std::vector<std::string>;

// A link's target is listed by its whole path; a file found by the walk by
// its name, in its directory.
constexpr char LINK = '@';

// The list of `paths` as the walk makes it: a path that begins with LINK
// (which is not part of it) as a link's target, every other one by its name
// in its directory, each directory added once, at its first file.
FileList list_of(const Paths& paths) {
    FileList list;
    std::map<std::string, FileList::Directory, std::less<>> numbers = {{"", FileList::TOP}};
    auto number_of = [&](auto& self, const std::string& directory) -> FileList::Directory {
        if (const auto known = numbers.find(directory); known != numbers.end()) {
            return known->second;
        }
        const std::size_t slash = directory.rfind('/');
        const std::string above = slash == std::string::npos ? "" : directory.substr(0, slash);
        return numbers[directory] = list.add_directory(
                   self(self, above), directory.substr(above.size() + !above.empty()));
    };
    for (const std::string& path : paths) {
        if (path.starts_with(LINK)) {
            list.add_path(path.substr(1));
            continue;
        }
        const std::size_t slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash);
        list.add_file(number_of(number_of, directory),
                      path.substr(directory.size() + !directory.empty()));
    }
    return list;
}

// Paths of `count` files whose names run through every length a name may
// have, a few of them to a directory and the directories nested: so many
// bytes of names that they fill several chunks of the list.
Paths names_over_several_chunks(std::size_t count) {
    Paths paths;
    std::string directory;
    for (std::size_t k = 0; k < count; ++k) {
        if (k % 7 == 0) {
            directory = k % 21 == 0 ? "" : directory + "d" + std::to_string(k) + "/";
        }
        paths.push_back(directory + std::string(1 + k % 255, static_cast<char>('a' + k % 26)));
    }
    return paths;
}

const std::string LONG_NAME(255, 'n');
const std::string DEEP_DIRECTORY = [] {
    std::string path;
    for (int level = 0; level < 25; ++level) {
        path += std::string(200, 'x') + "/";
    }
    return path;
}();

// How far a second reader goes ahead of the first.
constexpr std::size_t READER_AHEAD = 40;

struct Case {
    const char* what;
    Paths listed;
};

const Case CASES[] = {
    {"an empty list", {}},
    {"files at the top", {"b.txt", "a.txt", ".versteckt"}},
    {"files of a directory before and after its subdirectory's",
     {"top.txt", "docs/a.txt", "docs/alt/tief/c.txt", "docs/b.txt", "z.txt", "docs/alt/d.txt"}},
    {"names with any bytes but / and the zero byte",
     {"Größe €.txt", "a b\tc", "steuer\x01zeichen", "\xff\xfe", "ordner \xc3/\x80 datei"}},
    {"links' targets out of the tree, repeated and mixed with found files",
     {"@../draußen/f", "@../draußen/f", "a/b", "@a/b", "@../../x/y/z", "@top", "a/c",
      "@../draußen/g"}},
    {"long names and paths longer than PATH_MAX",
     {LONG_NAME, DEEP_DIRECTORY + LONG_NAME, "@../" + DEEP_DIRECTORY + "ziel",
      DEEP_DIRECTORY + "f"}},
    {"the one empty path of a comparison of two files", {""}},
};

TEST(FileList, GivesBackEveryPathAsListedInTheOrderListed) {
    std::vector<Case> cases(std::begin(CASES), std::end(CASES));
    cases.push_back({"names that fill several chunks", names_over_several_chunks(30000)});
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const FileList list = list_of(row.listed);
        Paths expected;
        for (const std::string& path : row.listed) {
            expected.push_back(path.starts_with(LINK) ? path.substr(1) : path);
        }
        ASSERT_EQ(list.size(), expected.size());
        // Each asked for alone, from the end backwards.
        for (std::size_t k = list.size(); k-- > 0;) {
            EXPECT_EQ(list.path(k), expected[k]) << k;
        }
        // Going forward, as the comparison does, with a reader ahead of it,
        // as the workers are; appended to what the string holds.
        FileList::Reader reader(list);
        FileList::Reader ahead(list);
        for (std::size_t k = 0; k < list.size(); ++k) {
            std::string appended = "vorn:";
            reader.append_path(k, appended);
            EXPECT_EQ(appended, "vorn:" + expected[k]) << k;
            if (k + READER_AHEAD < list.size()) {
                std::string path;
                ahead.append_path(k + READER_AHEAD, path);
                EXPECT_EQ(path, expected[k + READER_AHEAD]) << k;
            }
        }
    }
}

}  // namespace
