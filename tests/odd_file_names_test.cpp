// End-to-end tests of file names with control characters, invalid UTF-8,
// leading dashes, quotes and backslashes: every column keeps its width, the
// log and redirected output keep the names' bytes, and a terminal is shown
// "?" for every control character.
#include <gtest/gtest.h>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// A terminal as wide as the width assumed when output is redirected, so that
// the columns are the same either way.
constexpr unsigned short TERMINAL_COLUMNS = 100;

// A name and its length in characters, as it is and as a terminal is shown
// it.
struct Name {
    std::string bytes;
    std::size_t characters;
    std::size_t shown_characters = characters;
};

// Names that are checked and found identical: they show only in the progress
// line and the log.
const Name IDENTICAL_NAMES[] = {
    {"carriage\rreturn", 15},          {"-leading-dash", 13},
    {"quote\"single'back\\slash", 23}, {"invalid\xff\xfe-utf8-\xe9", 16},
    {"tab\tdel\x7f-bell\x07", 14},     {"Größe ä\xe2\x80\x94ß", 9},
};
// A name that differs, and one that is missing: they also show in the
// result column on the console.
const Name DIFFERING_NAME = {"new\nline", 8};
// The missing one also holds the byte 0x9B on its own, which some terminals
// take for the start of a control sequence, and the override U+202E, which
// would show "txt.exe" as "exe.txt". The lone byte counts as no character.
const Name MISSING_NAME = {
    "escape\x1b[2J\x1b[31mred\xc3\xa4\x9b"
    "J\xe2\x80\xaetxt.exe",
    28, 29};
// A directory name holding a line break, with an identical file in it.
const Name NESTED_NAME = {"sub\ndir/inner", 13};

std::string column(const std::string& shown, std::size_t characters, std::size_t width) {
    return std::string(width - characters, ' ') + shown;
}

// `name` as a terminal is shown it: every control character a "?". Of those
// above 0x7F the names hold only the lone byte 0x9B and U+202E.
std::string masked(const std::string& name) {
    const std::string right_to_left_override = "\xe2\x80\xae";
    std::string shown;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool override =
            name.compare(i, right_to_left_override.size(), right_to_left_override) == 0;
        shown += byte < 0x20 || byte == 0x7F || byte == 0x9B || override ? '?' : name[i];
        i += override ? right_to_left_override.size() - 1 : 0;
    }
    return shown;
}

// Directory 1 and 2 with a file of every name above.
void make_trees(const TestDirectory& dir) {
    for (const Name& name : IDENTICAL_NAMES) {
        write_file(dir / "one" / name.bytes, "same");
        write_file(dir / "two" / name.bytes, "same");
    }
    write_file(dir / "one" / NESTED_NAME.bytes, "same");
    write_file(dir / "two" / NESTED_NAME.bytes, "same");
    write_file(dir / "one" / DIFFERING_NAME.bytes, "original");
    write_file(dir / "two" / DIFFERING_NAME.bytes, "changed!");
    write_file(dir / "one" / MISSING_NAME.bytes, "data");
}

const Name& name_of(const std::string& rel) {
    for (const Name& name : IDENTICAL_NAMES) {
        if (name.bytes == rel) {
            return name;
        }
    }
    for (const Name* name : {&DIFFERING_NAME, &MISSING_NAME, &NESTED_NAME}) {
        if (name->bytes == rel) {
            return *name;
        }
    }
    throw std::logic_error("unknown name");
}

// The console output and the log of a run over the trees of make_trees, with
// the names on the console as a terminal is shown them when `on_terminal`.
std::pair<std::string, std::string> expected_run(const TestDirectory& dir, bool on_terminal) {
    std::string out = announcement(std::size(IDENTICAL_NAMES) + 3);
    std::string log;
    std::size_t number = 0;
    for (const std::string& rel : listing_order(dir / "one")) {
        const Name& name = name_of(rel);
        const std::string shown = on_terminal ? masked(rel) : rel;
        out += progress_line(++number, shown) + cleared_line(CLEAR_WIDTH);
        const std::string log_column = column(rel, name.characters, LOG_NAME_WIDTH);
        const std::string console_column =
            column(shown, on_terminal ? name.shown_characters : name.characters, RESULT_NAME_WIDTH);
        if (rel == DIFFERING_NAME.bytes) {
            out += differing_line(console_column);
            log += log_column + " - ACHTUNG!!! NICHT identisch!!!\n";
        } else if (rel == MISSING_NAME.bytes) {
            out += missing_line(console_column);
            log += log_column + " - NICHT gefunden!\n";
        } else {
            log += log_column + " - OK\n";
        }
    }
    return {out + closing_lines(1, 1), log};
}

TEST(OddNames, KeepTheirBytesAndColumnWidthsInRedirectedOutputAndLog) {
    for (const Output output : {Output::pipe, Output::file}) {
        SCOPED_TRACE(output == Output::pipe ? "pipe" : "file");
        TestDirectory dir;
        make_trees(dir);

        RunOptions options;
        options.output = output;
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        const auto [out, log] = expected_run(dir, false);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.log, log);
        EXPECT_EQ(run.status, 0);
    }
}

TEST(OddNames, ShowControlCharactersAsQuestionMarksOnTerminalButNotInLog) {
    TestDirectory dir;
    make_trees(dir);

    RunOptions options;
    options.output = Output::terminal;
    options.columns = TERMINAL_COLUMNS;
    const RunResult run =
        run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

    const auto [out, log] = expected_run(dir, true);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.log, log);
    EXPECT_EQ(run.status, 0);
}

TEST(OddNames, InReadFailureMessageAreMaskedOnTerminalOnly) {
    // The C1 control U+009B, which some terminals take for the start of a
    // control sequence, is masked too.
    const std::string rel =
        "bad\x1b]0;title\x07\r\n\xc2\x9b"
        "2Jname";
    const std::string masked_rel = "bad?]0;title????2Jname";
    for (const Output output : {Output::pipe, Output::terminal}) {
        SCOPED_TRACE(output == Output::pipe ? "pipe" : "terminal");
        TestDirectory dir;
        write_file(dir / "one" / rel, "data");
        fs::create_directories(dir / "two" / rel);

        RunOptions options;
        options.output = output;
        options.columns = TERMINAL_COLUMNS;
        const RunResult run =
            run_trelvik(dir, {(dir / "one").string(), (dir / "two").string()}, options);

        const std::string shown = output == Output::terminal ? masked_rel : rel;
        std::string log = "\n";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, announcement(1) + progress_line(1, shown) + cleared_line(CLEAR_WIDTH) +
                               read_failure_message(shown));
        EXPECT_EQ(run.log, log += read_failure_message(rel));
        EXPECT_EQ(run.status, 1);
    }
}

}  // namespace
