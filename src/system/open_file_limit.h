// The process's limit on open files: raised as far as allowed, and the
// descriptors that it leaves free. How many of them each stage takes is
// left to the stages.
#pragma once

// Raises the limit on open files as far as allowed, since the walk holds one
// directory open for every level of the tree.
void raise_open_file_limit();

// Descriptors that the process may still open: the numbers below its limit
// on open files that no open file takes, as /proc lists them; 0 when that
// cannot be told.
unsigned long free_descriptors();
