/* The least work that checking a copy file by file takes: for every file of a
 * list made beforehand, the size of both files, then both opened, read in
 * lockstep in 64 KiB blocks, compared, closed. No walk, no console, no log.
 *
 * Usage: syscall_floor [-w FILES] [-m MIB] [-f MIB] LIST DIR1 DIR2, where
 * LIST holds paths relative to both directories, each ended by a NUL byte
 * (find DIR1 -type f -printf '%P\0'). Exit status 1 on the first difference
 * or failure, 2 on wrong usage.
 *
 * With -w, the loop looks ahead, still on one thread: while it compares file
 * k, it has asked the kernel to read the files up to FILES ahead in the
 * background. For each of them it queries both sizes and, where they match,
 * opens both files, asks for their first bytes (posix_fadvise
 * POSIX_FADV_WILLNEED, at most -f MiB of each, default 4) and closes them
 * again. The window stops growing once the bytes asked for and not yet
 * compared reach -m MiB (default 32). While a file bigger than -f MiB is
 * compared, both files are asked for up to -f MiB ahead of the reading. */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { BLOCK = 65536 };

#define MIB ((off_t)1 << 20)
/* Defaults of -m and -f, in MiB. */
#define DEFAULT_WINDOW_MIB 32
#define DEFAULT_FILE_AHEAD_MIB 4
/* The piece asked for by one hint while a big file is compared. */
#define HINT_PIECE MIB

static char buffer_a[BLOCK], buffer_b[BLOCK];

/* The look-ahead's settings; files == 0 turns it off. */
static struct {
    long files;
    off_t window_bytes;
    off_t file_ahead;
} look_ahead = {.window_bytes = DEFAULT_WINDOW_MIB * MIB,
                .file_ahead = DEFAULT_FILE_AHEAD_MIB * MIB};

/* Asks for bytes [from, to) of `fd`, in pieces of HINT_PIECE. */
static void hint(int fd, off_t from, off_t to) {
    for (off_t piece = from; piece < to; piece += HINT_PIECE) {
        off_t length = to - piece < HINT_PIECE ? to - piece : HINT_PIECE;
        posix_fadvise(fd, piece, length, POSIX_FADV_WILLNEED);
    }
}

/* Asks for the first bytes of both files, when they are regular and of one
 * size; returns the bytes asked for, both files together. */
static off_t hint_pair(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0 || !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) ||
        sa.st_size != sb.st_size || sa.st_size == 0)
        return 0;
    off_t length = sa.st_size < look_ahead.file_ahead ? sa.st_size : look_ahead.file_ahead;
    const char* paths[2] = {a, b};
    for (int i = 0; i < 2; i++) {
        int fd = open(paths[i], O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        hint(fd, 0, length);
        close(fd);
    }
    return 2 * length;
}

/* Compares the files `a` and `b`; with the look-ahead on, both have been
 * asked for up to `hinted` bytes, and are asked for more as they are read. */
static int same_file(const char* a, const char* b, off_t hinted) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0 || sa.st_size != sb.st_size)
        return 0;
    int fa = open(a, O_RDONLY), fb = open(b, O_RDONLY);
    int same = fa >= 0 && fb >= 0;
    off_t position = 0;
    while (same) {
        if (look_ahead.files > 0 && hinted < sa.st_size &&
            hinted - position < look_ahead.file_ahead) {
            off_t to = hinted + HINT_PIECE < sa.st_size ? hinted + HINT_PIECE : sa.st_size;
            hint(fa, hinted, to);
            hint(fb, hinted, to);
            hinted = to;
        }
        ssize_t na = read(fa, buffer_a, BLOCK), nb = read(fb, buffer_b, BLOCK);
        if (na != nb || na < 0 || memcmp(buffer_a, buffer_b, (size_t)na) != 0)
            same = 0;
        if (na < BLOCK)
            break;
        position += na;
    }
    if (fa >= 0)
        close(fa);
    if (fb >= 0)
        close(fb);
    return same;
}

/* Reads the NUL-ended entries of `path` into a new array in `entries`;
 * returns their count, or -1 when the file cannot be read. */
static long read_list(const char* path, char*** entries) {
    FILE* list = fopen(path, "r");
    if (list == NULL)
        return -1;
    long count = 0, capacity = 0;
    char* rel = NULL;
    size_t length = 0;
    *entries = NULL;
    while (getdelim(&rel, &length, '\0', list) > 0) {
        if (count == capacity) {
            capacity = capacity ? 2 * capacity : 1024;
            *entries = realloc(*entries, (size_t)capacity * sizeof **entries);
            if (*entries == NULL)
                return -1;
        }
        (*entries)[count++] = rel;
        rel = NULL;
        length = 0;
    }
    free(rel);
    fclose(list);
    return count;
}

int main(int argc, char** argv) {
    int option;
    while ((option = getopt(argc, argv, "w:m:f:")) != -1) {
        switch (option) {
            case 'w':
                look_ahead.files = atol(optarg);
                break;
            case 'm':
                look_ahead.window_bytes = atol(optarg) * MIB;
                break;
            case 'f':
                look_ahead.file_ahead = atol(optarg) * MIB;
                break;
            default:
                return 2;
        }
    }
    if (argc - optind != 3 || look_ahead.files < 0 || look_ahead.file_ahead <= 0)
        return 2;
    const char* dir_a = argv[optind + 1];
    const char* dir_b = argv[optind + 2];
    char** entries;
    long count = read_list(argv[optind], &entries);
    if (count < 0)
        return 2;
    /* Bytes asked for per file, of the files from `k` up to `next`. */
    off_t* asked = calloc((size_t)count + 1, sizeof *asked);
    if (asked == NULL)
        return 2;
    off_t window = 0;
    long next = 0;
    char a[PATH_MAX], b[PATH_MAX];
    for (long k = 0; k < count; k++) {
        if (k < next) {
            window -= asked[k];
        } else {
            next = k + 1;
        }
        while (next < count && next - k <= look_ahead.files && window < look_ahead.window_bytes) {
            snprintf(a, sizeof a, "%s/%s", dir_a, entries[next]);
            snprintf(b, sizeof b, "%s/%s", dir_b, entries[next]);
            asked[next] = hint_pair(a, b);
            window += asked[next++];
        }
        snprintf(a, sizeof a, "%s/%s", dir_a, entries[k]);
        snprintf(b, sizeof b, "%s/%s", dir_b, entries[k]);
        if (!same_file(a, b, asked[k] / 2))
            return 1;
    }
    return 0;
}
