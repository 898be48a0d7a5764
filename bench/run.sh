#!/bin/bash
# Times trelvik against its peers and against the cost of reading the data,
# on pairs of identical trees, in one or more states of the page cache or on
# a slow drive, and prints a table per pair and state. See bench/README.md for
# what the figures mean.
#
# Environment (all optional):
#   MODE              the states to time in, in this order (default: warm):
#                       warm    both trees in the page cache
#                       cold    caches dropped before every run (root only)
#                       fresh   the source in the page cache, the copy's
#                               pages dropped, as right after a copy
#                       memory  both trees on a tmpfs: the program's own cost
#                       slow    a FUSE file system that answers every request
#                               after a delay serves the copy, then both
#                               trees; caches dropped before every run (root)
#   TRELVIK           the binary to time (default: build-bench/trelvik, built
#                     in Release when missing)
#   TRELVIK_BASELINE  a second binary, timed beside the first (before/after)
#   TRELVIK_BENCH_DIR where the trees go (default: /var/tmp/trelvik-bench)
#   RUNS              timed runs per command (default: 5 warm and memory,
#                     3 cold, fresh and slow)
#   RCLONE_RUNS       timed runs of each rclone command (default: 3; rclone
#                     takes seconds on the small pair)
#   PAIRS             which pairs to time (default: "small large mixed")
#   SLOW_PAIRS        which pairs to time in slow mode (default: "smallfiles
#                     fewmixed")
#   SLOW_DELAY_US     slow mode's delays of every request in µs, each timed
#                     in turn (default: 1000; e.g. "1000 200")
#   TRELVIK_FAULT_FS  slow mode's FUSE file system (default:
#                     build-bench/tests/trelvik_fault_fs, built when missing)
#   LOOK_AHEAD        the look-ahead loop's options (default: "-w 64 -m 32
#                     -f 4", see syscall_floor.c)
#
# All timing holds the lock TIMING_LOCK, which every job that times or drops
# the caches on this machine takes, so that they don't disturb each other.
# One who holds it already sets TRELVIK_TIMING_LOCKED=1.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
base=${TRELVIK_BENCH_DIR:-/var/tmp/trelvik-bench}
modes=${MODE:-warm}
rclone_runs=${RCLONE_RUNS:-3}
pairs=${PAIRS:-small large mixed}
slow_pairs=${SLOW_PAIRS:-smallfiles fewmixed}
slow_delays=${SLOW_DELAY_US:-1000}
trelvik=${TRELVIK:-$repo/build-bench/trelvik}
baseline=${TRELVIK_BASELINE:-}
fault_fs=${TRELVIK_FAULT_FS:-$repo/build-bench/tests/trelvik_fault_fs}
look_ahead=${LOOK_AHEAD:--w 64 -m 32 -f 4}

TIMING_LOCK=/var/tmp/trelvik-timing.lock
DROP_CACHES=/proc/sys/vm/drop_caches
DROP_ALL_CACHES="sync; echo 3 >$DROP_CACHES"
# Processes of the drive limit row in cold, fresh and slow mode.
PARALLEL_READERS=32
RCLONE_CHECK="rclone check --one-way --download"

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# The line of /proc/diskstats for the device that holds `$1`, empty where
# there is none (a tmpfs).
device_line() {
    local number
    number=$(stat -c '%d' "$1")
    awk -v major=$((number >> 8)) -v minor=$((number & 255)) \
        '$1 == major && $2 == minor' /proc/diskstats
}

# Peak resident memory in KiB, and MiB read from the device of `$3`, of one
# run of the shell command $2 after the shell command $1.
peak_memory() {
    local before after
    bash -c "$1" >/dev/null 2>&1
    before=$(device_line "$3" | awk '{print $6}')
    /usr/bin/time -f %M -o "$results/memory" bash -c "$2" >/dev/null 2>&1 || true
    after=$(device_line "$3" | awk '{print $6}')
    if [[ -n $before ]]; then
        printf '%s\t%s\n' "$(cat "$results/memory")" $(((after - before) / 2048))
    else
        printf '%s\t-\n' "$(cat "$results/memory")"
    fi
}

# Sets the caller's arrays `names` and `commands` to the rows that every mode
# times on the trees `$1` and `$2`: the program, its baseline and diff -rq.
program_rows() {
    names=(trelvik)
    commands=("$trelvik $1 $2")
    if [[ -n $baseline ]]; then
        names+=("trelvik baseline")
        commands+=("$baseline $1 $2")
    fi
    names+=("diff -rq")
    commands+=("diff -rq $1 $2")
}

# The shell command of the drive limit row on the trees `$1` and `$2`: every
# file read once, by $PARALLEL_READERS cat processes at once.
drive_limit_command() {
    echo "find $1 $2 -type f -print0 | xargs -0 -P $PARALLEL_READERS -n 64 cat >/dev/null"
}

# Times every command on the pair `$2` (both trees below `$3`) in the mode
# `$1`, and prints its table.
time_pair() {
    local mode=$1 pair=$2 trees=$3
    local a=$trees/$pair/a b=$trees/$pair/b list=$base/$pair/list
    (cd "$a" && find . -type f -printf '%P\0') >"$list"
    local read_limit="find $a $b -type f -print0 | xargs -0 cat >/dev/null"

    local names commands
    program_rows "$a" "$b"
    names+=("read limit (cat)")
    commands+=("$read_limit")
    if [[ $mode == cold || $mode == fresh ]]; then
        names+=("drive limit ($PARALLEL_READERS cat)")
        commands+=("$(drive_limit_command "$a" "$b")")
    fi
    names+=("bare loop (C)" "look-ahead loop (C)")
    commands+=("$base/syscall_floor $list $a $b" "$base/syscall_floor $look_ahead $list $a $b")
    local rclone_names=("rclone check" "rclone check --checkers 1")
    local rclone_commands=("$RCLONE_CHECK --checkers 8 $a $b" "$RCLONE_CHECK --checkers 1 $a $b")

    # What puts the trees into the mode's state before a run, and before a
    # run of rclone, which drops what it reads from the page cache.
    local prepare rclone_prepare warmup=0 runs=${RUNS:-3}
    case $mode in
        warm | memory)
            prepare=$read_limit
            rclone_prepare=$read_limit
            warmup=1
            runs=${RUNS:-5}
            ;;
        cold)
            prepare=$DROP_ALL_CACHES
            rclone_prepare=$prepare
            ;;
        fresh)
            prepare="find $a -type f -print0 | xargs -0 cat >/dev/null; vmtouch -q -m 1024G -e $b"
            rclone_prepare=$prepare
            ;;
    esac

    local args=() i
    for i in "${!names[@]}"; do
        args+=(-n "${names[$i]}" "${commands[$i]}")
    done
    echo "== $mode, $pair: timing ..."
    bash -c "$prepare"
    local first_prepare=()
    [[ $mode == cold || $mode == fresh ]] && first_prepare=(--prepare "$prepare")
    hyperfine --style basic --warmup "$warmup" --runs "$runs" "${first_prepare[@]}" \
        --export-json "$results/$pair-1.json" "${args[@]}" >/dev/null 2>"$results/errors" ||
        { cat "$results/errors"; exit 1; }
    args=()
    for i in "${!rclone_names[@]}"; do
        args+=(-n "${rclone_names[$i]}" "${rclone_commands[$i]}")
    done
    hyperfine --style basic --prepare "$rclone_prepare" --runs "$rclone_runs" \
        --export-json "$results/$pair-2.json" "${args[@]}" >/dev/null 2>"$results/errors" ||
        { cat "$results/errors"; exit 1; }

    {
        printf 'peak KiB\tdrive MiB\n'
        for i in "${!names[@]}"; do
            printf '%s\t%s\n' "${names[$i]}" "$(peak_memory "$prepare" "${commands[$i]}" "$b")"
        done
        for i in "${!rclone_names[@]}"; do
            printf '%s\t%s\n' "${rclone_names[$i]}" \
                "$(peak_memory "$rclone_prepare" "${rclone_commands[$i]}" "$b")"
        done
    } >"$results/$pair-columns"
    bash -c "$prepare"

    print_table "$mode" "$pair" "$pair" \
        "peak KiB and drive MiB (read from the copy's drive) come from one more run"
    echo
}

# Prints the table of the rows timed in the mode `$1` on `$2` (a pair, or a
# pair and what the slow drive serves of it), from the files $results/`$3`-*:
# the times of every row from hyperfine's exports (-1.json, -2.json) or from
# -runs (a line "row<TAB>seconds..." per run), and further columns from
# -columns (a line of their headings, then a line "row<TAB>value..." per
# row). `$4` ends the sentence above the table, on those columns.
print_table() {
    /usr/bin/python3 - "$@" "$results" <<'EOF'
import glob, json, os, statistics, sys, textwrap
mode, table, stem, note, results = sys.argv[1:]
# The program's targets, as trelvik/row: (mode, table, row) -> (bound, strict).
TARGETS = {
    ("cold", "small", "diff -rq"): (0.40, False),
    ("cold", "mixed", "diff -rq"): (0.45, False),
    ("cold", "large", "diff -rq"): (1.0, False),
    ("fresh", "small", "diff -rq"): (0.45, False),
    ("memory", "small", "diff -rq"): (0.95, False),
    ("memory", "large", "read limit (cat)"): (1.15, False),
    ("memory", "mixed", "diff -rq"): (0.9, False),
    ("slow", "smallfiles, copy on it", "rclone check"): (0.5, False),
    ("slow", "smallfiles, copy on it", "drive limit (32 cat)"): (1.0, False),
    ("slow", "smallfiles, both on it", "rclone check"): (0.8, False),
    ("slow", "fewmixed, copy on it", "rclone check"): (0.6, False),
    ("slow", "fewmixed, both on it", "rclone check"): (0.8, False),
}
for faster_pair in ("small", "large", "mixed"):
    TARGETS[("cold", faster_pair, "rclone check")] = (1.0, True)
# Peak memory of trelvik in KiB: (pair) -> (bound, above the empty pair).
MEMORY_TARGETS = {"large": (2048, True), "small": (65536, False)}

times = {}
for export in sorted(glob.glob(f"{results}/{stem}-*.json")):
    for r in json.load(open(export))["results"]:
        times[r["command"]] = r["times"]
if os.path.exists(f"{results}/{stem}-runs"):
    for line in open(f"{results}/{stem}-runs"):
        name, seconds = line.split("\t")[:2]
        times.setdefault(name, []).append(float(seconds))
lines = open(f"{results}/{stem}-columns").read().splitlines()
headings, *rows = [line.split("\t") for line in lines]
columns = {name: values for name, *values in rows}
widths = [max(10, len(heading) + 2) for heading in headings]
median = {name: statistics.median(runs) for name, runs in times.items()}

print(textwrap.fill(f"{mode}, {table}: median, min and max of the timed runs in seconds; "
                    f"trelvik/row is the ratio of trelvik's median to the row's; {note}", 80))
print(f"{'command':<28}{'median':>9}{'min':>9}{'max':>9}"
      + "".join(f"{heading:>{width}}" for heading, width in zip(headings, widths))
      + f"{'trelvik/row':>13}  target")
for name, runs in times.items():
    ratio = median["trelvik"] / median[name]
    target = ""
    if (mode, table, name) in TARGETS:
        bound, strict = TARGETS[(mode, table, name)]
        met = ratio < bound if strict else ratio <= bound
        target = f"{'<' if strict else '<='} {bound:.2f}: {'met' if met else 'MISSED'}"
    values = columns.get(name, ["?"] * len(headings))
    print(f"{name:<28}{median[name]:>9.3f}{min(runs):>9.3f}{max(runs):>9.3f}"
          + "".join(f"{value:>{width}}" for value, width in zip(values, widths))
          + f"{ratio:>13.2f}  {target}")
if table in MEMORY_TARGETS:
    bound, above_empty = MEMORY_TARGETS[table]
    peak = int(columns["trelvik"][0])
    if above_empty:
        empty = int(open(f"{results}/empty-memory").read().split("\t")[0])
        met = peak <= empty + bound
        print(f"peak memory target: trelvik {peak} KiB <= empty pair {empty} + {bound} KiB: "
              f"{'met' if met else 'MISSED'}")
    else:
        met = peak < bound
        print(f"peak memory target: trelvik {peak} KiB < {bound} KiB: "
              f"{'met' if met else 'MISSED'}")
EOF
}

# Times one run of the shell command `$3`, the row `$2`, after dropping all
# caches, on the file system mounted afresh at $slow_mount, serving `$4` with
# a delay of `$5` µs on every request; appends a line "row<TAB>seconds<TAB>the
# most requests the file system had in flight" to `$1`.
slow_run() {
    local runs=$1 name=$2 command=$3 source=$4 delay=$5
    bash -c "$DROP_ALL_CACHES"
    "$fault_fs" --delay-us="$delay" --stats="$results/in-flight" "$source" "$slow_mount" &
    local fs=$!
    until mountpoint -q "$slow_mount"; do
        kill -0 "$fs" 2>/dev/null || { echo "$fault_fs could not mount $source" >&2; exit 1; }
        sleep 0.01
    done
    # Microseconds since the epoch, whatever the locale's decimal point.
    local start=${EPOCHREALTIME/[^0-9]/} status=0
    bash -c "$command" >/dev/null 2>"$results/errors" || status=$?
    local took=$((${EPOCHREALTIME/[^0-9]/} - start))
    kill -TERM "$fs"
    wait "$fs" || { echo "$fault_fs ended with an error" >&2; exit 1; }
    if ((status != 0)); then
        echo "$name failed on the slow drive (exit status $status): $command" >&2
        cat "$results/errors" >&2
        exit 1
    fi
    printf '%s\t%d.%06d\t%s\n' "$name" $((took / 1000000)) $((took % 1000000)) \
        "$(cat "$results/in-flight")" >>"$runs"
}

# Times the rows of slow mode on the pair `$1` while the file system serves,
# with a delay of `$2` µs on every request, the pair's copy (`$3` = copy) or
# both its trees (both), and prints their table. The runs are interleaved
# (the first of every row, then the second, ...), so that changes in the
# load of the machine strike all rows alike.
time_slow_case() {
    local pair=$1 delay=$2 served=$3
    local a=$base/$pair/a b=$slow_mount/b
    if [[ $served == both ]]; then
        a=$slow_mount/a
    fi
    local names commands
    program_rows "$a" "$b"
    names+=("rclone check" "drive limit ($PARALLEL_READERS cat)")
    commands+=("$RCLONE_CHECK --checkers 8 $a $b" "$(drive_limit_command "$a" "$b")")

    local stem=$pair-$served-$delay run i
    echo "== slow, $pair, $served on it, $delay µs: timing ..."
    for ((run = 1; run <= ${RUNS:-3}; run++)); do
        for i in "${!names[@]}"; do
            slow_run "$results/$stem-runs" "${names[$i]}" "${commands[$i]}" "$base/$pair" "$delay"
        done
    done
    # The most requests in flight in any run of each row, in the rows' order.
    awk -F'\t' 'BEGIN { print "peak in flight" }
        !($1 in peak) { order[rows++] = $1; peak[$1] = $3 }
        $3 + 0 > peak[$1] + 0 { peak[$1] = $3 }
        END { for (i = 0; i < rows; i++) print order[i] "\t" peak[order[i]] }' \
        "$results/$stem-runs" >"$results/$stem-columns"
    print_table slow "$pair, $served on it" "$stem" "the file system answered every request \
after $delay µs; peak in flight is the most requests it had in flight at once in any run"
    echo
}

# Prints the heading of the mode `$1` and trelvik's peak memory on the empty
# pair below `$2`.
mode_heading() {
    echo "=== $1: trelvik: $trelvik${baseline:+, baseline: $baseline}"
    peak_memory "" "$trelvik $2/empty/a $2/empty/b" "$2/empty/b" >"$results/empty-memory"
    echo "peak memory of trelvik on an empty pair: $(cut -f1 "$results/empty-memory") KiB"
    echo "load average (other jobs share the cores): $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
}

# Memory mode, run by this script in a mount namespace of its own: copies
# each pair to a tmpfs there in turn and times it.
if [[ -n ${TRELVIK_PRIVATE_TMPFS:-} ]]; then
    mount -t tmpfs -o size=90% trelvik-bench "$TRELVIK_PRIVATE_TMPFS"
    mkdir -p "$TRELVIK_PRIVATE_TMPFS/empty/a" "$TRELVIK_PRIVATE_TMPFS/empty/b"
    mode_heading "memory (both trees on a tmpfs, each pair copied there first)" \
        "$TRELVIK_PRIVATE_TMPFS"
    for pair in $pairs; do
        cp -a "$base/$pair" "$TRELVIK_PRIVATE_TMPFS/$pair"
        time_pair memory "$pair" "$TRELVIK_PRIVATE_TMPFS"
        rm -rf "${TRELVIK_PRIVATE_TMPFS:?}/$pair"
    done
    echo "memory mode took $SECONDS s"
    exit 0
fi

# Slow mode, run by this script in a mount namespace of its own, where the
# file system is mounted afresh for every run.
if [[ -n ${TRELVIK_SLOW_MOUNT:-} ]]; then
    slow_mount=$TRELVIK_SLOW_MOUNT
    mode_heading "slow (a FUSE file system that answers every request after a delay)" "$base"
    for delay in $slow_delays; do
        for pair in $slow_pairs; do
            time_slow_case "$pair" "$delay" copy
            time_slow_case "$pair" "$delay" both
        done
    done
    echo "slow mode took $SECONDS s"
    exit 0
fi

for mode in $modes; do
    case $mode in
        warm | cold | fresh | memory | slow) ;;
        *) echo "MODE: unknown mode '$mode' (warm, cold, fresh, memory or slow)" >&2; exit 2 ;;
    esac
done
if [[ " $modes " =~ " "(cold|slow)" " && ! -w $DROP_CACHES ]]; then
    echo "cold and slow mode drop the page cache through $DROP_CACHES, which is not" \
        "writable here (it takes root, and a /proc/sys that is not read-only): not timed." >&2
    exit 2
fi

# The tools, from Debian.
export DEBIAN_FRONTEND=noninteractive
missing=()
for tool in hyperfine:hyperfine rclone:rclone python3:python3 /usr/bin/time:time cc:gcc \
    diff:diffutils xargs:findutils cmake:cmake ninja:ninja-build vmtouch:vmtouch \
    unshare:util-linux flock:util-linux mountpoint:util-linux; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if ((${#missing[@]})); then
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Builds the target `$1` in Release in build-bench when `$2` is missing.
build_when_missing() {
    if [[ ! -x $2 ]]; then
        cmake -S "$repo" -B "$repo/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$repo/build-bench" --target "$1" >/dev/null
    fi
}
build_when_missing trelvik "$trelvik"
tree_pairs=""
for mode in $modes; do
    if [[ $mode == slow ]]; then
        # Built with the tests, when libfuse3-dev and libgtest-dev are installed.
        build_when_missing trelvik_fault_fs "$fault_fs"
        tree_pairs+=" $slow_pairs"
    else
        tree_pairs+=" $pairs"
    fi
done

mkdir -p "$base"
/usr/bin/python3 "$here/make_trees.py" "$base" $tree_pairs
cc -O2 -o "$base/syscall_floor" "$here/syscall_floor.c"

if [[ -z ${TRELVIK_TIMING_LOCKED:-} ]]; then
    exec 9>>"$TIMING_LOCK"
    if ! flock -n 9; then
        echo "waiting for $TIMING_LOCK, which another job holds ..." >&2
        flock 9
    fi
    export TRELVIK_TIMING_LOCKED=1
fi

# Runs this script again in a mount namespace of its own, with the variable
# `$1` naming an empty directory to mount on there.
in_own_mount_namespace() {
    local mount_point status=0
    mount_point=$(mktemp -d)
    env "$1=$mount_point" unshare -m --propagation private "$0" || status=$?
    rmdir "$mount_point"
    return "$status"
}

for mode in $modes; do
    if [[ $mode == memory ]]; then
        in_own_mount_namespace TRELVIK_PRIVATE_TMPFS
    elif [[ $mode == slow ]]; then
        in_own_mount_namespace TRELVIK_SLOW_MOUNT
    else
        start=$SECONDS
        mode_heading "$mode" "$base"
        for pair in $pairs; do
            time_pair "$mode" "$pair" "$base"
        done
        echo "$mode mode took $((SECONDS - start)) s"
    fi
done
