// The blocks that the program has read from drives so far, as the kernel
// counts them: the sign that a drive, not memory, answers its questions.
// Reads of a file system served from elsewhere show in no such count.
#pragma once

// Blocks read from drives by the program's threads; 0 where that cannot be
// told.
long blocks_read_from_drives();
