// Reading the command line and testing the two directories; the run ends
// here on the version banner and on every option or directory error.
#include "start/command_line.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <system_error>

#include "report/console_report.h"
#include "system/file_status.h"

namespace {

constexpr char VERSION[] = "trelvik 3.0, written by Halvorsk\n";
constexpr char USAGE[] = "Usage: trelvik [-v] [-c 5-300] dir1 dir2\n\n";

constexpr int MIN_RESULT_NAME_WIDTH = 5;
constexpr int MAX_RESULT_NAME_WIDTH = 300;

// Ends the run over a command-line option that cannot be used.
[[noreturn]] void fail_on_option(const std::string& message) {
    std::cerr << "trelvik ERROR: " + message + "\n\n";
    std::exit(1);
}

// The value of "-c": a whole decimal number in 32 bits, with no sign but an
// optional minus, between MIN_RESULT_NAME_WIDTH and MAX_RESULT_NAME_WIDTH.
std::size_t result_name_width_option(const std::string& value) {
    int width = 0;
    const char* const end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, width);
    if (error != std::errc() || stop != end) {
        fail_on_option("-c benötigt eine gültige Zahl (5-300)");
    }
    if (width < MIN_RESULT_NAME_WIDTH || width > MAX_RESULT_NAME_WIDTH) {
        fail_on_option("Wertebereich für -c ist 5-300");
    }
    return static_cast<std::size_t>(width);
}

}  // namespace

std::vector<std::string> read_command_line(int argc, char** argv, std::size_t& result_name_width) {
    std::vector<std::string> directories;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-v" || argument == "--version") {
            std::cout << std::string(VERSION) + "\n";
            std::exit(report_unwritten_output() ? 1 : 0);
        } else if (argument == "-c") {
            if (i + 1 == argc) {
                fail_on_option("-c benötigt eine Zahl (5-300)");
            }
            result_name_width = result_name_width_option(argv[++i]);
        } else if (argument.starts_with('-')) {
            fail_on_option("Unbekannte Option " + argument);
        } else {
            directories.push_back(argument);
        }
    }
    if (directories.size() != 2) {
        std::cerr << USAGE;
        std::exit(1);
    }
    return directories;
}

void require_existing(const std::string& directory) {
    struct stat status;
    if (::stat(directory.c_str(), &status) == 0) {
        return;
    }
    const int error = errno;
    if (means_absent(error)) {
        std::cerr << "trelvik Fehler - Verzeichnis " + directory + " nicht gefunden.\n\n";
    } else {
        std::cerr << "trelvik Fehler - Verzeichnis " + directory + " nicht zugänglich (" +
                         std::generic_category().message(error) + ").\n\n";
    }
    std::exit(1);
}
