// The loop over the file list: each file's copy looked up, compared and
// counted, and its outcome handed to the console report and the log.
#include "compare/comparison_pass.h"

#include <cstdlib>
#include <iostream>

#include "compare/verdicts_ahead.h"
#include "fetch/copy_from_drive.h"
#include "report/column_fit.h"
#include "report/log_file.h"

namespace {

// `directory` followed by the separator that joins it to a relative path.
std::string path_prefix(const std::string& directory) {
    return directory.ends_with('/') ? directory : directory + '/';
}

// The comparison pass under way: the verdicts on its files, its report, its
// log and its two counters.
struct ComparisonPass {
    ComparisonPass(const FileList& files, const ColumnWidths& widths,
                   const std::string& directory_1, const std::string& directory_2)
        : verdicts(files, path_prefix(directory_1), path_prefix(directory_2)),
          reader(files),
          console(widths) {}

    VerdictsAhead verdicts;
    FileList::Reader reader;
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
    pass.verdicts.note_pause();
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

// Reports the `verdict` on the file `rel`.
void report(ComparisonPass& pass, Verdict verdict, const std::string& rel,
            const std::string& name) {
    switch (verdict) {
        case Verdict::identical:
            pass.console.clear_progress();
            pass.log.write(fehlerausgabe(rel, LOG_NAME_WIDTH) + " - OK\n");
            return;
        case Verdict::different:
            ++pass.differ_count;
            pass.console.show_differing(name);
            log_problem(pass, rel, " - ACHTUNG!!! NICHT identisch!!!\n");
            return;
        case Verdict::missing:
            ++pass.missing_count;
            pass.console.show_missing(name);
            log_problem(pass, rel, " - NICHT gefunden!\n");
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
        pass.reader.append_path(k, rel);
        const std::string& name = pass.console.shown_name(rel);
        pass.console.show_progress(k + 1, name);
        report(pass, pass.verdicts.take(k), rel, name);
    }
    pass.log.close();
    pass.console.show_summary(pass.differ_count, pass.missing_count);
    if (copy_drive_reported_write_errors()) {
        std::cerr << "trelvik Warnung - Der Datenträger der Kopie hat beim Schreiben ihrer noch "
                     "ausstehenden Daten Fehler gemeldet.\n\n";
    }
    return pass.log.report_unwritten();
}
