// The comparison pass: every listed file checked against its copy, in list
// order, with the two counters, the outcome of each file told to the console
// report and the log, and the summary. How bytes are compared, fetched ahead
// and read from the copy's drive is left to the rooms that do it.
#pragma once

#include <string>

#include "report/console_report.h"
#include "walk/file_list.h"

// Checks every listed file below `directory_2` against its source below
// `directory_1`, in list order, and writes the log and the summary, followed
// on standard error by a warning when the copy's drive has reported errors
// while the copy's pending data were written out. Ends the run when a file
// cannot be read. True when the log could not be written completely, which
// has then been said on standard error and must end the run with status 1.
bool run_comparison_pass(const FileList& files, const std::string& directory_1,
                         const std::string& directory_2, const ColumnWidths& widths);
