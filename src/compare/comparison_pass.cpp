// The loop over the file list: each file's copy looked up, compared and
// counted, and its outcome handed to the console report and the log.
#include "compare/comparison_pass.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "compare/file_compare.h"
#include "fetch/copy_from_drive.h"
#include "fetch/fetch_bounds.h"
#include "fetch/files_ahead.h"
#include "report/column_fit.h"
#include "report/log_file.h"
#include "system/file_status.h"

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

// The files ahead of a pass over `files` below `directory_1` and
// `directory_2`, with the fetcher chosen for these trees.
FilesAhead files_ahead_of(const FileList& files, const std::string& directory_1,
                          const std::string& directory_2) {
    std::unique_ptr<Fetcher> fetcher = choose_fetcher(directory_1, directory_2);
    // Counted once the fetcher holds what it needs.
    const std::size_t most_ahead = files_ahead_allowed();
    return FilesAhead(files, path_prefix(directory_1), path_prefix(directory_2), std::move(fetcher),
                      most_ahead);
}

// The comparison pass under way: its files ahead, its report, its log and
// its two counters.
struct ComparisonPass {
    ComparisonPass(const FileList& files, const ColumnWidths& widths,
                   const std::string& directory_1, const std::string& directory_2)
        : ahead(files_ahead_of(files, directory_1, directory_2)), console(widths) {}

    FilesAhead ahead;
    LogFile log;
    ConsoleReport console;
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
    pass.ahead.note_pause();
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

// Checks the copy of the file `rel` against its source, as `file` finds
// them, and reports the outcome.
void check_file(ComparisonPass& pass, const FileToCompare& file, const std::string& rel,
                const std::string& name) {
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
    switch (files_equal(file, pass.ahead)) {
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

bool run_comparison_pass(const FileList& files, const std::string& directory_1,
                         const std::string& directory_2, const ColumnWidths& widths) {
    ComparisonPass pass(files, widths, directory_1, directory_2);
    std::string rel;
    for (std::size_t k = 0; k < files.size(); ++k) {
        rel.clear();
        files.append_path(k, rel);
        const std::string& name = pass.console.shown_name(rel);
        pass.console.show_progress(k + 1, name);
        check_file(pass, pass.ahead.take(k), rel, name);
    }
    pass.log.close();
    pass.console.show_summary(pass.differ_count, pass.missing_count);
    if (copy_drive_reported_write_errors()) {
        std::cerr << "trelvik Warnung - Der Datenträger der Kopie hat beim Schreiben ihrer noch "
                     "ausstehenden Daten Fehler gemeldet.\n\n";
    }
    return pass.log.report_unwritten();
}
