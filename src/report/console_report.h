// What a run shows on standard output: the number of files found, the
// progress line that overwrites itself, the coloured result lines with their
// bell and pause, the abort message and the summary, with names masked on a
// terminal; and the widths of the console's columns. The log is the log
// file's, and what is checked the comparison pass's.
#pragma once

#include <cstddef>
#include <string>

// Widths in characters of the name columns on the console.
struct ColumnWidths {
    std::size_t progress_name_width;
    std::size_t clear_width;
    std::size_t result_name_width;
};

// Columns of the terminal on standard output; 100 when standard output is no
// terminal or one narrower than 40 columns.
unsigned get_terminal_width();

// The console columns on a terminal `terminal_width` columns wide, which is
// at least 40.
ColumnWidths column_widths(unsigned terminal_width);

void announce_file_count(std::size_t count);

// Says on standard error when some of standard output could not be written
// (a full disk, an I/O error), since the report is then incomplete; true in
// that case, which must end the run with status 1.
bool report_unwritten_output();

// The report of the comparison pass on the console.
class ConsoleReport {
  public:
    explicit ConsoleReport(const ColumnWidths& widths);

    // `rel` as it is shown: with its control characters masked on a
    // terminal, so that a name found in the tree cannot steer it. Valid
    // until the next call.
    const std::string& shown_name(const std::string& rel);
    // The progress line of the file `number`, counted from 1.
    void show_progress(std::size_t number, const std::string& name);
    // Blanks the progress line, together with what is written next (the next
    // progress line or the summary): one write instead of two for every file
    // that is identical.
    void clear_progress();
    // The result line of a missing file, on a blue bar, with the bell.
    void show_missing(const std::string& name);
    // The result line of a differing file, on a red bar, with the bell.
    void show_differing(const std::string& name);
    // Waits a moment after a problem, so that the user notices it.
    void pause_after_problem();
    // The message that ends the run because `name` cannot be read.
    void show_read_failure(const std::string& name);
    // The numbers of differing and missing files, and the closing line.
    void show_summary(int differ_count, int missing_count);

  private:
    void show_problem(const std::string& name, const char* color, const char* text);

    ColumnWidths widths_;
    bool masks_names_;
    std::string clear_line_;
    std::string masked_;
    // What is yet to be written before the next text.
    std::string pending_;
};
