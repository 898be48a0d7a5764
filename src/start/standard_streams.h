// The standard streams that the process was started without, opened before
// anything else so that no file takes their place.
#pragma once

// Opens /dev/null on any of the standard streams that the program was started
// without, so that no file opened later takes the place of one: console text
// would otherwise end up in the log or in nowhere that can be seen. Without
// standard output the report is lost: std::cout is then set bad, so that
// the run ends as when standard output cannot be written.
void open_missing_standard_streams();
