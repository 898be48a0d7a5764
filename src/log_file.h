// The log file, /tmp/trelvik-log.txt: opened safely and emptied, written a
// line at a time, written out after each problem so that an interrupted run
// leaves it complete so far, and closed; and the message when it could not
// be written completely. What its lines say is the comparison pass's.
#pragma once

#include <cstdio>
#include <string>

// Width of the name column in the log's lines.
constexpr std::size_t LOG_NAME_WIDTH = 80;

class LogFile {
  public:
    // Opens the log, emptied and readable by its owner only. A log that
    // cannot be used safely is not opened, and the run goes on without one:
    // what would be written to it is dropped.
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes `text` to the log. Once some of the log could not be written,
    // here or in flush (/tmp full, an I/O error), the log is closed, so that
    // it ends where it broke off rather than with a gap, and later writes are
    // dropped.
    void write(const std::string& text);
    // Hands what has been written so far to the system.
    void flush();
    // Closes the log, which completes it; later writes are dropped.
    void close();

    // Says on standard error when the log was opened but could not be
    // written completely, since it is then cut short; true in that case,
    // which must end the run with status 1. A log that was never opened is
    // no such case.
    bool report_unwritten() const;

  private:
    void close_incomplete();

    std::FILE* file_;
    bool incomplete_ = false;
};
