// What the process sets up before it reads its command line: standard
// streams that it was started without, and its limit on open files, with
// the descriptors that the limit leaves free. The
// console's geometry is the console report's.
#pragma once

// Opens /dev/null on any of the standard streams that the program was started
// without, so that no file opened later takes the place of one: console text
// would otherwise end up in the log or in nowhere that can be seen. Without
// standard output the report is lost: std::cout is then set bad, so that
// the run ends as when standard output cannot be written.
void open_missing_standard_streams();

// Raises the limit on open files as far as allowed, since the walk holds one
// directory open for every level of the tree.
void raise_open_file_limit();

// Descriptors that the process may still open: the numbers below its limit
// on open files that no open file takes, as /proc lists them; 0 when that
// cannot be told.
unsigned long free_descriptors();
