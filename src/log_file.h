// The log file, /tmp/trelvik-log.txt: opened safely and emptied, written a
// line at a time, written out after each problem so that an interrupted run
// leaves it complete so far, and closed. What its lines say is the
// comparison pass's.
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

    void write(const std::string& text);
    // Hands what has been written so far to the system.
    void flush();
    // Closes the log, which completes it; later writes are dropped.
    void close();

  private:
    std::FILE* file_;
};
