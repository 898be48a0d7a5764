// Unit tests of the walk of the source tree that yields the list of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fault_fs_mount.h"
#include "loop_mount.h"
#include "run_program.h"
#include "walk/tree_scan.h"

namespace fs = std::filesystem;

namespace {

using Files = std::vector<std::string>;
using ::testing::Eq;
using ::testing::ExitedWithCode;

const Files EXCLUDED_NAMES = {"lost+found", "$RECYCLE.BIN", "System Volume Information", "Recovery",
                              "RECYCLER"};

// The walk follows the order of directory reading; where the order is not the
// point, the lists are compared sorted.
Files sorted(Files files) {
    std::sort(files.begin(), files.end());
    return files;
}

// The paths of the list that the walk of `root` yields, in its order.
Files scan(const std::string& root) {
    const FileList list = scan_directory(root);
    Files files;
    for (std::size_t k = 0; k < list.size(); ++k) {
        files.push_back(list.path(k));
    }
    return files;
}

Files scan_sorted(const fs::path& root) {
    return sorted(scan(root.string()));
}

// For a child process: scans `root` and writes the sorted list, one path a
// line, to standard error, then ends with status 0.
[[noreturn]] void print_scan_and_exit(const std::string& root) {
    std::string text;
    for (const std::string& file : sorted(scan(root))) {
        text += file + "\n";
    }
    std::cerr << text;
    std::exit(0);
}

// For a child process: changes into `directory` first.
[[noreturn]] void print_scan_from_and_exit(const fs::path& directory, const std::string& root) {
    if (::chdir(directory.c_str()) != 0) {
        std::_Exit(98);
    }
    print_scan_and_exit(root);
}

std::string root_failure(const std::string& root, const std::string& description) {
    return "FEHLER beim Durchsuchen des Verzeichnisses: '" + root + "' (" + description + ")\n\n";
}

// A change that a test makes to the tree while the scan is under way: when
// the scan has asked for the `nth` time to open the directory `watched` or to
// read its entries (`event` FAN_OPEN_PERM or FAN_ACCESS_PERM), `change` is
// made before the system does what was asked.
struct ChangeDuringScan {
    fs::path watched;
    std::uint64_t event;
    int nth;
    std::function<void()> change;
};

// For a child process: makes `change` during the scan of `root`, under a
// limit of `open_files_limit` on its open files unless that is 0, and writes
// the sorted list of the scan as print_scan_and_exit does.
[[noreturn]] void print_scan_changing_and_exit(const std::string& root,
                                               const ChangeDuringScan& change,
                                               rlim_t open_files_limit) {
    struct rlimit limit;
    if (open_files_limit != 0 && ::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = open_files_limit;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            std::_Exit(94);
        }
    }
    const int group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (group < 0 || ::fanotify_mark(group, FAN_MARK_ADD, change.event | FAN_ONDIR, AT_FDCWD,
                                     change.watched.c_str()) != 0) {
        std::_Exit(97);
    }
    std::thread([group, change] {
        fanotify_event_metadata asked;
        for (int count = 1; ::read(group, &asked, sizeof asked) == sizeof asked; ++count) {
            if (count == change.nth) {
                change.change();
            }
            const fanotify_response allow = {asked.fd, FAN_ALLOW};
            if (::write(group, &allow, sizeof allow) != sizeof allow) {
                std::_Exit(95);
            }
            ::close(asked.fd);
        }
        std::_Exit(96);
    }).detach();
    print_scan_and_exit(root);
}

std::string access_failure(const std::string& quoted_path,
                           const std::string& description = "Permission denied") {
    return "FEHLER: Zugriff verweigert bei " + quoted_path + " (" + description + ")\n\n";
}

TEST(ScanDirectory, EmptyDirectoryYieldsNoFiles) {
    TestDirectory dir;
    fs::create_directory(dir / "root");
    fs::create_directory(dir / "root/empty-sub");
    EXPECT_EQ(scan((dir / "root").string()), Files{});
}

TEST(ScanDirectory, ListsFilesOfNestedDirectoriesRelativeToTheRoot) {
    TestDirectory dir;
    const fs::path root = dir / "root";
    write_file(root / "top.txt", "1");
    write_file(root / "docs/a.txt", "2");
    write_file(root / "docs/b.txt", "3");
    write_file(root / "docs/alt/tief/c.txt", "4");
    write_file(root / "Größe €.txt", "5");
    const Files files = scan(root.string());
    EXPECT_EQ(sorted(files),
              (Files{"Größe €.txt", "docs/a.txt", "docs/alt/tief/c.txt", "docs/b.txt", "top.txt"}));

    // Depth first: the files below docs stand together in the list.
    const auto first = std::find_if(files.begin(), files.end(),
                                    [](const std::string& f) { return f.starts_with("docs/"); });
    const auto count = std::count_if(files.begin(), files.end(),
                                     [](const std::string& f) { return f.starts_with("docs/"); });
    ASSERT_LE(first + count, files.end());
    EXPECT_TRUE(std::all_of(first, first + count,
                            [](const std::string& f) { return f.starts_with("docs/"); }));
}

TEST(ScanDirectory, DoesNotEnterDirectoriesWithTheFiveSystemNamesButListsFilesSoNamed) {
    TestDirectory dir;
    const fs::path root = dir / "root";
    Files expected = {"keep.txt", "recovery/inside.txt", "recycler/inside.txt"};
    write_file(root / "keep.txt", "1");
    write_file(root / "recovery/inside.txt", "2");
    write_file(root / "recycler/inside.txt", "3");
    for (const std::string& name : EXCLUDED_NAMES) {
        write_file(root / name / "hidden.txt", "x");
        write_file(root / "deep/er" / name / "hidden.txt", "x");
        write_file(root / "files" / name, "a file, not a directory");
        expected.push_back("files/" + name);
    }
    EXPECT_EQ(scan_sorted(root), sorted(expected));
}

TEST(ScanDirectory, WalksARootThatIsItselfNamedRecovery) {
    TestDirectory dir;
    write_file(dir / "Recovery/file.txt", "1");
    write_file(dir / "Recovery/sub/file.txt", "2");
    EXPECT_EQ(scan_sorted(dir / "Recovery"), (Files{"file.txt", "sub/file.txt"}));
    fs::create_directory_symlink("Recovery", dir / "lost+found");
    EXPECT_EQ(scan_sorted(dir / "lost+found"), (Files{"file.txt", "sub/file.txt"}));
}

TEST(ScanDirectory, EverySpellingOfTheRootGivesTheSameRelativePaths) {
    TestDirectory dir;
    write_file(dir / "a/top.txt", "1");
    write_file(dir / "a/sub/file", "2");
    write_file(dir / "a/sub/deeper/x", "3");
    write_file(dir / "outside.txt", "4");
    fs::create_symlink("sub/file", dir / "a/alias");
    fs::create_symlink("../outside.txt", dir / "a/out");
    fs::create_directory_symlink("a", dir / "link-to-a");
    const std::string expected = "../outside.txt\nsub/deeper/x\nsub/file\nsub/file\ntop.txt\n";

    for (const std::string root : {"a", "a/", "./a", "a/.", "link-to-a", "link-to-a/"}) {
        EXPECT_EXIT(print_scan_from_and_exit(dir.path(), root), ExitedWithCode(0), Eq(expected))
            << root;
    }
    EXPECT_EXIT(print_scan_from_and_exit(dir / "a", "."), ExitedWithCode(0), Eq(expected));
    EXPECT_EXIT(print_scan_from_and_exit(dir / "a/sub", ".."), ExitedWithCode(0), Eq(expected));
    EXPECT_EXIT(print_scan_and_exit((dir / "a").string() + "/"), ExitedWithCode(0), Eq(expected));
}

TEST(ScanDirectory, LinkToADirectoryAddsNothingAndIsNotEntered) {
    TestDirectory dir;
    const fs::path root = dir / "root";
    write_file(root / "real/f.txt", "1");
    write_file(dir / "elsewhere/g.txt", "2");
    fs::create_directory_symlink("real", root / "link-in");
    fs::create_directory_symlink(dir / "elsewhere", root / "link-out");
    fs::create_directory_symlink("..", root / "real/up");
    EXPECT_EQ(scan_sorted(root), Files{"real/f.txt"});
}

TEST(ScanDirectory, LinkToAFileIsListedUnderItsTargetsPath) {
    TestDirectory dir;
    const fs::path root = dir / "root";
    write_file(root / "sub/f.txt", "1");
    write_file(dir / "outside/o.txt", "2");
    fs::create_symlink("sub/f.txt", root / "alias");
    fs::create_symlink("f.txt", root / "sub/alias-beside");
    fs::create_symlink("alias", root / "alias-of-alias");
    fs::create_symlink("../outside/o.txt", root / "out");
    fs::create_symlink(dir / "outside/o.txt", root / "sub/out-absolute");
    EXPECT_EQ(scan_sorted(root), (Files{"../outside/o.txt", "../outside/o.txt", "sub/f.txt",
                                        "sub/f.txt", "sub/f.txt", "sub/f.txt"}));
}

TEST(ScanDirectory, DanglingLinksLinkLoopsPipesAndSocketsAddNothing) {
    TestDirectory dir;
    const fs::path root = dir / "root";
    write_file(root / "plain.txt", "1");
    fs::create_symlink("nowhere", root / "dangling");
    fs::create_symlink("plain.txt/below", root / "below-a-file");
    fs::create_symlink("loop-b", root / "loop-a");
    fs::create_symlink("loop-a", root / "loop-b");
    fs::create_symlink("self", root / "self");
    ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0644), 0);
    fs::create_symlink("pipe", root / "link-to-pipe");
    make_socket(root / "socket");
    EXPECT_EQ(scan_sorted(root), Files{"plain.txt"});
}

TEST(ScanDirectory, FileSystemWithoutTypesInItsEntriesGivesTheSameList) {
    TestDirectory dir;
    const fs::path root = dir / "mnt";
    const LoopMountedExt4 drive(dir / "image", root, "-O ^filetype");
    if (!drive.unavailable().empty()) {
        GTEST_SKIP() << drive.unavailable();
    }
    write_file(root / "file", "1");
    fs::create_directory(root / "sub");
    fs::create_symlink("file", root / "link-to-file");
    fs::create_directory_symlink("sub", root / "link-to-sub");
    EXPECT_EXIT(print_scan_and_exit(root.string()), ExitedWithCode(0), Eq("file\nfile\n"));
}

TEST(ScanFailure, RootThatIsNoDirectoryEndsTheScanNamingItAsTyped) {
    TestDirectory dir;
    write_file(dir / "plain.txt", "1");
    const std::string file = (dir / "plain.txt").string();
    const std::string missing = (dir / "missing").string();
    EXPECT_EXIT(scan_directory(file), ExitedWithCode(1), Eq(root_failure(file, "Not a directory")));
    EXPECT_EXIT(scan_directory(missing), ExitedWithCode(1),
                Eq(root_failure(missing, "No such file or directory")));
    EXPECT_EXIT(scan_directory(missing + "/"), ExitedWithCode(1),
                Eq(root_failure(missing + "/", "No such file or directory")));
}

TEST(ScanFailure, UnreadableRootEndsTheScanForAnUnprivilegedUser) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "root/file.txt", "1");
    fs::permissions(dir / "root", fs::perms::none);
    const std::string root = (dir / "root").string();
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            scan_directory(root);
        },
        ExitedWithCode(1), Eq(root_failure(root, "Permission denied")));
}

TEST(ScanFailure, UnreadableSubdirectoryIsNamedInQuotes) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "root/file.txt", "1");
    write_file(dir / "root/sub/file.txt", "2");
    fs::permissions(dir / "root/sub", fs::perms::none);
    const std::string root = (dir / "root").string();
    for (const std::string& typed : {root, root + "/"}) {
        EXPECT_EXIT(
            {
                become_user(NOBODY);
                scan_directory(typed);
            },
            ExitedWithCode(1), Eq(access_failure("\"" + root + "/sub\"")))
            << typed;
    }
}

TEST(ScanFailure, FileInADirectoryThatMayBeListedButNotSearchedIsNamed) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "root/sub/file", "1");
    fs::permissions(dir / "root/sub", fs::perms(0444));
    const std::string root = (dir / "root").string();
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            scan_directory(root);
        },
        ExitedWithCode(1), Eq(access_failure("\"" + root + "/sub/file\"")));
}

TEST(ScanFailure, DirectoryMovedOrSwappedForALinkWhileWalkedEndsTheScanButOneRemovedDoesNot) {
    require_root("fanotify's permission events");
    // So many files that their entries take three reads.
    constexpr int BIG_DIRECTORY_FILES = 1500;
    // A limit on open files, and a chain of directories deeper than it, down
    // which the walk gives up the descriptors of the directories above.
    constexpr rlim_t FEW_OPEN_FILES = 20;
    constexpr int CHAIN_DEPTH = 30;
    const std::string absent = "No such file or directory";
    const char* const swapped = "swapped for a link";
    const char* const swapped_entered_by_path = "swapped for a link, entered by its path";
    const char* const swapped_behind_fuse = "swapped for a link, read ahead behind FUSE";
    for (const std::string what :
         {"moved once opened", "moved at a later read of its entries", "removed once opened",
          swapped, swapped_entered_by_path, swapped_behind_fuse}) {
        SCOPED_TRACE(what);
        if (what == swapped_behind_fuse && !fault_fs_unavailable().empty()) {
            continue;
        }
        TestDirectory dir;
        const fs::path root = dir / "root";
        const auto move_away = [&dir](const fs::path& directory) {
            return [&dir, directory] { fs::rename(directory, dir / "away"); };
        };
        ChangeDuringScan change;
        int status = 1;
        std::string message;
        fs::path scanned = root;
        std::optional<FaultFsMount> mount;
        rlim_t open_files_limit = 0;
        if (what == "moved once opened") {
            write_file(root / "moved/file", "1");
            change = {root / "moved", FAN_OPEN_PERM, 1, move_away(root / "moved")};
            message = access_failure("\"" + root.string() + "/moved/file\"", absent);
        } else if (what == "moved at a later read of its entries") {
            for (int i = 0; i < BIG_DIRECTORY_FILES; ++i) {
                write_file(root / "big" / std::to_string(i), "");
            }
            change = {root / "big", FAN_ACCESS_PERM, 2, move_away(root / "big")};
            // Its last entry is visited before its end is met.
            message = access_failure("\"" + root.string() + "/" + listing_order(root).back() + "\"",
                                     absent);
        } else if (what == "removed once opened") {
            write_file(root / "kept", "1");
            write_file(root / "gone/file", "2");
            // Removed by name: listing it would wait for the scan's own opening.
            change = {root / "gone", FAN_OPEN_PERM, 1, [&] {
                          fs::remove(root / "gone/file");
                          fs::remove(root / "gone");
                      }};
            status = 0;
            message = "kept\n";
        } else {
            // Once the first of two directories is opened, the second one is
            // swapped for a link to a directory outside the tree, which must
            // not be followed: neither where the walk opens the second by its
            // name in the root, nor by its path, as once a chain below the
            // first, deeper than the limit on open files, has had it give up
            // the root's descriptor. Behind FUSE the directories below the
            // root are read ahead by their paths as soon as the root's
            // entries are read: the swap falls in between, at the file
            // system's second read of the root.
            write_file(root / "a/file", "1");
            write_file(root / "b/file", "2");
            write_file(dir / "outside/file", "3");
            const fs::path first = root / listing_order(root)[0].substr(0, 1);
            const fs::path second = root / (first.filename() == "a" ? "b" : "a");
            const auto swap = [&dir, second] {
                fs::remove_all(second);
                fs::create_directory_symlink(dir / "outside", second);
            };
            change = {first, FAN_OPEN_PERM, 1, swap};
            if (what != swapped) {
                fs::path chain = first;
                for (int level = 0; level < CHAIN_DEPTH; ++level) {
                    chain /= "c";
                }
                write_file(chain / "file", "4");
                open_files_limit = FEW_OPEN_FILES;
            }
            if (what == swapped_behind_fuse) {
                scanned = dir / "mnt";
                mount.emplace(root, scanned);
                change = {root, FAN_ACCESS_PERM, 2, swap};
            }
            message = access_failure("\"" + (scanned / second.filename()).string() + "\"",
                                     "Not a directory");
        }
        EXPECT_EXIT(print_scan_changing_and_exit(scanned.string(), change, open_files_limit),
                    ExitedWithCode(status), Eq(message));
    }
}

TEST(ScanFailure, QuoteAndBackslashInTheNamedPathAreEscaped) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "root/a\"b\\c/file.txt", "1");
    fs::permissions(dir / "root/a\"b\\c", fs::perms::none);
    const std::string root = (dir / "root").string();
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            scan_directory(root);
        },
        ExitedWithCode(1), Eq(access_failure("\"" + root + "/a\\\"b\\\\c\"")));
}

TEST(ScanDirectory, UnreadableExcludedDirectoryCausesNoError) {
    require_root("the user nobody");
    TestDirectory dir;
    write_file(dir / "root/keep.txt", "1");
    write_file(dir / "root/lost+found/hidden.txt", "2");
    write_file(dir / "root/sub/Recovery/hidden.txt", "3");
    fs::permissions(dir / "root/lost+found", fs::perms::none);
    fs::permissions(dir / "root/sub/Recovery", fs::perms::none);
    const std::string root = (dir / "root").string();
    EXPECT_EXIT(
        {
            become_user(NOBODY);
            print_scan_and_exit(root);
        },
        ExitedWithCode(0), Eq("keep.txt\n"));
}

}  // namespace
