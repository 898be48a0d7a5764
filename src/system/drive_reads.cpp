// The count of the program's reads from drives.
#include "system/drive_reads.h"

#include <sys/resource.h>

long blocks_read_from_drives() {
    struct rusage usage;
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_inblock : 0;
}
