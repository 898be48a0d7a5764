// The log file, /tmp/trelvik-log.txt: opened safely and emptied, gathered in
// whole lines and written out in whole lines, at once after each problem, so
// that an interrupted run leaves it complete so far and never cut within a
// line; closed; and the message when it could not be written completely or
// not at all. What its lines say is the comparison pass's.
#pragma once

#include <string>

// Width of the name column in the log's lines.
constexpr std::size_t LOG_NAME_WIDTH = 80;

class LogFile {
  public:
    // Opens the log, emptied and readable by its owner only. A log that
    // cannot be used safely (a link, another user's file) is not opened, nor
    // is one that cannot be created; the run goes on without one, what would
    // be written to it is dropped, and report_unwritten says why at the end.
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Adds `lines`, one or more whole lines, to the log; they are written out
    // once enough have gathered. Once some of the log could not be written,
    // here or in flush (/tmp full, an I/O error), the log is cut back to its
    // last whole line and closed, so that it ends where it broke off rather
    // than within a line or with a gap, and later lines are dropped.
    void write(const std::string& lines);
    // Writes out the lines gathered so far.
    void flush();
    // Closes the log, which completes it; later lines are dropped.
    void close();

    // Says on standard error when the log could not be written completely,
    // since it is then cut short, or not at all, since the file at its path
    // is then not this run's log; true in either case, which must end the run
    // with status 1.
    bool report_unwritten() const;

  private:
    void close_incomplete();

    // Why the log could not be opened, as the message says it; nullptr when
    // it was opened. Set while fd_ is, so declared before it.
    const char* unopened_because_ = nullptr;
    int fd_;
    // Whole lines not yet written out.
    std::string pending_;
    bool incomplete_ = false;
};
