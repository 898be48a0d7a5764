// The loop over the file list: each file's copy looked up, compared and
// counted, and its outcome handed to the console report and the log.
#include "comparison_pass.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "column_fit.h"
#include "copy_from_drive.h"
#include "file_compare.h"
#include "file_status.h"
#include "log_file.h"
#include "look_ahead.h"
#include "reading_engine.h"

namespace {

// Where a file's copy stands in directory 2.
enum class Counterpart { present, missing, unknown };

// Where the copy stands by the `error` of the query of its status, links
// followed: unknown when its path cannot be looked up at all.
Counterpart counterpart(int error) {
    if (error == 0) {
        return Counterpart::present;
    }
    return means_absent(error) ? Counterpart::missing : Counterpart::unknown;
}

// `directory` followed by the separator that joins it to a relative path.
std::string path_prefix(const std::string& directory) {
    return directory.ends_with('/') ? directory : directory + '/';
}

// The comparison pass under way: its report, its log, its look-ahead and its
// two counters.
struct ComparisonPass {
    ComparisonPass(const std::vector<std::string>& files, const ColumnWidths& widths,
                   const std::string& directory_1, const std::string& directory_2)
        : ahead{path_prefix(directory_1), path_prefix(directory_2)},
          console(widths),
          engine(ReadingEngine::start(files, ahead.prefix_1, ahead.prefix_2,
                                      look_ahead_files_allowed())) {}

    // Files are fetched ahead by the reading engine, or by the look-ahead
    // where the engine cannot be set up.
    LookAhead ahead;
    LogFile log;
    ConsoleReport console;
    std::unique_ptr<ReadingEngine> engine;
    int differ_count = 0;
    int missing_count = 0;
};

// Tells of a differing or missing file in the log, which is written out at
// once so that a run that is interrupted leaves every problem shown so far in
// it, after the console has shown it; then pauses so that the user notices.
void log_problem(ComparisonPass& pass, const std::string& rel, const char* log_text) {
    pass.log.write(fehlerausgabe(rel, LOG_NAME_WIDTH) + log_text);
    pass.log.flush();
    pass.console.pause_after_problem();
}

// Ends the run because the file `rel`, or its copy, cannot be read.
[[noreturn]] void abort_on_read_failure(ComparisonPass& pass, const std::string& rel,
                                        const std::string& name) {
    pass.console.show_read_failure(name);
    pass.log.write("\nProgrammabbruch durch FEHLER: Es ist ein Fehler beim Lesen der Datei " + rel +
                   " aufgetreten!!!\n");
    pass.log.close();
    pass.log.report_unwritten();
    report_unwritten_output();
    std::exit(1);
}

// Checks the copy of the file `rel`, at `path_2`, against the source at
// `path_1`, and reports the outcome.
void check_file(ComparisonPass& pass, const FileToCompare& file, const std::string& rel,
                const std::string& name, const std::string& path_1, const std::string& path_2) {
    switch (counterpart(file.error_b)) {
        case Counterpart::missing:
            ++pass.missing_count;
            pass.console.show_missing(name);
            log_problem(pass, rel, " - NICHT gefunden!\n");
            return;
        case Counterpart::unknown:
            abort_on_read_failure(pass, rel, name);
        case Counterpart::present:
            break;
    }
    switch (files_equal(path_1, path_2, file)) {
        case FILES_IDENTICAL:
            pass.console.clear_progress();
            pass.log.write(fehlerausgabe(rel, LOG_NAME_WIDTH) + " - OK\n");
            return;
        case FILES_DIFFERENT:
            ++pass.differ_count;
            pass.console.show_differing(name);
            log_problem(pass, rel, " - ACHTUNG!!! NICHT identisch!!!\n");
            return;
        default:
            abort_on_read_failure(pass, rel, name);
    }
}

}  // namespace

bool run_comparison_pass(const std::vector<std::string>& files, const std::string& directory_1,
                         const std::string& directory_2, const ColumnWidths& widths) {
    ComparisonPass pass(files, widths, directory_1, directory_2);
    const std::string& prefix_1 = pass.ahead.prefix_1;
    const std::string& prefix_2 = pass.ahead.prefix_2;
    std::string path_1;
    std::string path_2;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const std::string& rel = files[k];
        const std::string& name = pass.console.shown_name(rel);
        path_1.assign(prefix_1).append(rel);
        path_2.assign(prefix_2).append(rel);
        pass.console.show_progress(k + 1, name);
        const FileToCompare file =
            pass.engine ? pass.engine->take(k) : take_file(pass.ahead, files, k, path_1, path_2);
        check_file(pass, file, rel, name, path_1, path_2);
    }
    pass.log.close();
    pass.console.show_summary(pass.differ_count, pass.missing_count);
    if (copy_drive_reported_write_errors()) {
        std::cerr << "trelvik Warnung - Der Datenträger der Kopie hat beim Schreiben ihrer noch "
                     "ausstehenden Daten Fehler gemeldet.\n\n";
    }
    return pass.log.report_unwritten();
}
