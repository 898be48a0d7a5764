// Standard output of a run: announcement, progress line, result lines,
// abort message and summary, and the console's column widths.
#include "report/console_report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <iostream>
#include <limits>
#include <thread>

#include "report/column_fit.h"

namespace {

constexpr char RED_BG[] = "\x1b[41m";
constexpr char BLUE_BG[] = "\x1b[44m";
constexpr char RESET[] = "\x1b[0m";
constexpr char BEEP[] = "\x07";

constexpr auto PAUSE_AFTER_PROBLEM = std::chrono::milliseconds(500);

constexpr unsigned FALLBACK_TERMINAL_WIDTH = 100;
constexpr unsigned MIN_TERMINAL_WIDTH = 40;
// Columns of the progress line taken by its text and number around the name.
constexpr unsigned PROGRESS_TEXT_WIDTH = 39;
constexpr unsigned MIN_PROGRESS_NAME_WIDTH = 10;
// Columns of a console result line that are not split between name and bar.
constexpr unsigned RESULT_LINE_MARGIN = 6;

void write_console(const std::string& text) {
    std::cout.write(text.data(), text.size());
}

}  // namespace

unsigned get_terminal_width() {
    struct winsize size;
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= MIN_TERMINAL_WIDTH) {
        return size.ws_col;
    }
    return FALLBACK_TERMINAL_WIDTH;
}

ColumnWidths column_widths(unsigned terminal_width) {
    ColumnWidths widths;
    widths.progress_name_width = terminal_width - PROGRESS_TEXT_WIDTH;
    if (widths.progress_name_width < MIN_PROGRESS_NAME_WIDTH) {
        widths.progress_name_width = MIN_PROGRESS_NAME_WIDTH;
    }
    widths.clear_width = widths.progress_name_width + PROGRESS_TEXT_WIDTH;
    widths.result_name_width = (terminal_width - RESULT_LINE_MARGIN) / 2;
    return widths;
}

void announce_file_count(std::size_t count) {
    std::string text = "\n";
    text += std::to_string(count);
    text += " Dateien im Verzeichnis gefunden.\nÜberprüfung läuft...\n";
    write_console(text);
}

bool report_unwritten_output() {
    if (std::cout.good()) {
        return false;
    }
    std::cerr << "trelvik Fehler - Die Ausgabe konnte nicht vollständig geschrieben werden.\n\n";
    return true;
}

ConsoleReport::ConsoleReport(const ColumnWidths& widths)
    : widths_(widths),
      masks_names_(::isatty(STDOUT_FILENO) == 1),
      clear_line_(widths.clear_width + 2, ' ') {
    clear_line_.front() = '\r';
    clear_line_.back() = '\r';
}

const std::string& ConsoleReport::shown_name(const std::string& rel) {
    return masks_names_ ? (masked_ = mask_control_characters(rel)) : rel;
}

void ConsoleReport::show_progress(std::size_t number, const std::string& name) {
    char digits[std::numeric_limits<std::size_t>::digits10 + 1];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    std::string line = std::move(pending_);
    pending_.clear();
    line += "\r Vergleiche Datei Nr ";
    line.append(digits, end);
    line += ": ";
    line += shorten_too_long_string(name, widths_.progress_name_width);
    write_console(line);
}

void ConsoleReport::clear_progress() {
    pending_ = clear_line_;
}

void ConsoleReport::show_missing(const std::string& name) {
    show_problem(name, BLUE_BG, " NICHT gefunden! ");
}

void ConsoleReport::show_differing(const std::string& name) {
    show_problem(name, RED_BG, " ACHTUNG!!! Die Datei ist NICHT identisch!!! ");
}

void ConsoleReport::show_problem(const std::string& name, const char* color, const char* text) {
    write_console(clear_line_ + fehlerausgabe(name, widths_.result_name_width) + " " + color +
                  text + RESET + BEEP + "\n");
}

void ConsoleReport::pause_after_problem() {
    std::this_thread::sleep_for(PAUSE_AFTER_PROBLEM);
}

void ConsoleReport::show_read_failure(const std::string& name) {
    write_console(clear_line_ +
                  "Programmabbruch durch FEHLER: Es ist ein Fehler beim Lesen der Datei " + name +
                  " aufgetreten!!!\n");
}

void ConsoleReport::show_summary(int differ_count, int missing_count) {
    std::string summary = std::move(pending_);
    pending_.clear();
    summary += "\n";
    if (differ_count != 0 || missing_count != 0) {
        summary += std::to_string(differ_count) + " Dateien sind unterschiedlich und " +
                   std::to_string(missing_count) + " Dateien fehlen.\n";
    } else {
        summary += "Alle Dateien sind identisch!!!\n";
    }
    write_console(summary);
    write_console("\n-------------------- Überprüfung beendet. --------------------\n\n");
}
