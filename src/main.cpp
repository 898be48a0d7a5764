// trelvik: checks a copy of a directory tree against its source, file by file
// and byte by byte, and reports every file that differs or is missing. A run,
// in the order of its steps.

#include <iostream>
#include <string>
#include <vector>

#include "compare/comparison_pass.h"
#include "fetch/copy_from_drive.h"
#include "report/console_report.h"
#include "start/command_line.h"
#include "start/standard_streams.h"
#include "system/open_file_limit.h"
#include "walk/tree_scan.h"

int main(int argc, char** argv) {
    open_missing_standard_streams();
    std::cout << std::unitbuf;
    raise_open_file_limit();
    ColumnWidths widths = column_widths(get_terminal_width());

    const std::vector<std::string> directories =
        read_command_line(argc, argv, widths.result_name_width);
    require_existing(directories[0]);
    require_existing(directories[1]);

    const FileList files = scan_directory(directories[0]);
    announce_file_count(files.size());

    write_out_file_system(directories[1]);
    const bool log_unwritten = run_comparison_pass(files, directories[0], directories[1], widths);
    const bool output_unwritten = report_unwritten_output();
    return log_unwritten || output_unwritten ? 1 : 0;
}
