// The log file, /tmp/trelvik-log.txt: opened safely and emptied, gathered in
// whole lines and written out in whole lines, at once after each problem, so
// that an interrupted run leaves it complete so far and never cut within a
// line; closed, and handed to the user who ran the program through sudo; and
// the message when it could not be written completely or not at all. What
// its lines say is the comparison pass's.
#pragma once

#include <optional>
#include <string>

#include "system/users.h"

// Width of the name column in the log's lines.
constexpr std::size_t LOG_NAME_WIDTH = 80;

class LogFile {
  public:
    // Opens the log, emptied and readable by its owner only. A log that
    // cannot be used safely (a link, another user's file) is not opened, nor
    // is one that cannot be created; the run goes on without one, what would
    // be written to it is dropped, and report_unwritten says why at the end.
    // Root, which may remove any file in /tmp, replaces another user's log
    // by one of its own.
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
    // Closes the log, which completes it; later lines are dropped. Just
    // before, a run of root through sudo hands the log to the user who
    // called sudo, so that their later runs can write it; not earlier, so
    // that no one else has a hand in it while it is written.
    void close();

    // Says on standard error when the log could not be written completely,
    // since it is then cut short, or not at all, since the file at its path
    // is then not this run's log; true in either case, which must end the run
    // with status 1. Warns, too, when it could not be handed to sudo's caller,
    // whose next run then finds root's log.
    bool report_unwritten() const;

  private:
    void close_incomplete();
    // Gives the log to heir_, where there is one and the run is root's.
    void hand_over();

    // Why the log could not be opened, as the message says it; empty when it
    // was opened. Set while fd_ is, so declared before it.
    std::string unopened_because_;
    int fd_;
    // Who gets the log once it is closed: sudo's caller.
    std::optional<User> heir_;
    bool kept_from_heir_ = false;
    // Whole lines not yet written out.
    std::string pending_;
    bool incomplete_ = false;
};
