// The two messages that end the scan, each written where its failure is met:
// the root that cannot be walked at all, and the entry that cannot be opened
// or examined, or after which reading fails.
#pragma once

#include <string>
#include <system_error>

#include "walk/walk_state.h"

// Ends the scan because `root` cannot be walked at all.
[[noreturn]] void fail_to_open_root(const std::string& root, const std::error_code& error);

// Ends the scan because the entry visited last, at `walk.path`, cannot be
// opened or examined, or reading on after it fails. The walk's directories are
// closed first, so that the process has descriptors to spare at its exit even
// when a tree deeper than the open-file limit took them all. On a terminal the
// control characters of the path are masked, since a name found in the tree
// must not steer the terminal.
[[noreturn]] void fail_on_entry(const Walk& walk, const std::error_code& error);
