// The command line: its options, the version banner, the usage line, the
// option errors, and the test that both directories exist. Each of these
// ends the run on the spot where the command line says so; what a run does
// with the directories is left to the others.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Reads the options and returns the two directories, source first; the value
// of "-c" goes to `result_name_width`. Ends the run after the version banner
// (status 0) and on every error (status 1).
std::vector<std::string> read_command_line(int argc, char** argv, std::size_t& result_name_width);

// Ends the run unless something exists at `directory`, links followed.
void require_existing(const std::string& directory);
