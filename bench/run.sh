#!/bin/bash
# Times trelvik against its peers and against the cost of reading the data,
# on three pairs of identical trees, in one or more states of the page cache,
# and prints a table per pair and state. See bench/README.md for what the
# figures mean.
#
# Environment (all optional):
#   MODE              the states to time in, in this order (default: warm):
#                       warm    both trees in the page cache
#                       cold    caches dropped before every run (root only)
#                       fresh   the source in the page cache, the copy's
#                               pages dropped, as right after a copy
#                       memory  both trees on a tmpfs: the program's own cost
#   TRELVIK           the binary to time (default: build-bench/trelvik, built
#                     in Release when missing)
#   TRELVIK_BASELINE  a second binary, timed beside the first (before/after)
#   TRELVIK_BENCH_DIR where the trees go (default: /var/tmp/trelvik-bench)
#   RUNS              timed runs per command (default: 5 warm and memory,
#                     3 cold and fresh)
#   RCLONE_RUNS       timed runs of each rclone command (default: 3; rclone
#                     takes seconds on the small pair)
#   PAIRS             which pairs to time (default: "small large mixed")
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
trelvik=${TRELVIK:-$repo/build-bench/trelvik}
baseline=${TRELVIK_BASELINE:-}
look_ahead=${LOOK_AHEAD:--w 64 -m 32 -f 4}

TIMING_LOCK=/var/tmp/trelvik-timing.lock
DROP_CACHES=/proc/sys/vm/drop_caches
# Processes of the drive limit row in cold and fresh mode.
PARALLEL_READERS=32

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

# Times every command on the pair `$2` (both trees below `$3`) in the mode
# `$1`, and prints its table.
time_pair() {
    local mode=$1 pair=$2 trees=$3
    local a=$trees/$pair/a b=$trees/$pair/b list=$base/$pair/list
    (cd "$a" && find . -type f -printf '%P\0') >"$list"
    local read_limit="find $a $b -type f -print0 | xargs -0 cat >/dev/null"
    local drive_limit="find $a $b -type f -print0 | xargs -0 -P $PARALLEL_READERS -n 64 cat >/dev/null"

    local names=(trelvik) commands=("$trelvik $a $b")
    if [[ -n $baseline ]]; then
        names+=("trelvik baseline")
        commands+=("$baseline $a $b")
    fi
    names+=("diff -rq" "read limit (cat)")
    commands+=("diff -rq $a $b" "$read_limit")
    if [[ $mode == cold || $mode == fresh ]]; then
        names+=("drive limit ($PARALLEL_READERS cat)")
        commands+=("$drive_limit")
    fi
    names+=("bare loop (C)" "look-ahead loop (C)")
    commands+=("$base/syscall_floor $list $a $b" "$base/syscall_floor $look_ahead $list $a $b")
    local rclone_names=("rclone check" "rclone check --checkers 1")
    local rclone_commands=("rclone check --one-way --download $a $b"
        "rclone check --one-way --download --checkers 1 $a $b")

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
            prepare="sync; echo 3 >$DROP_CACHES"
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

    : >"$results/$pair-memory"
    for i in "${!names[@]}"; do
        printf '%s\t%s\n' "${names[$i]}" "$(peak_memory "$prepare" "${commands[$i]}" "$b")" \
            >>"$results/$pair-memory"
    done
    for i in "${!rclone_names[@]}"; do
        printf '%s\t%s\n' "${rclone_names[$i]}" \
            "$(peak_memory "$rclone_prepare" "${rclone_commands[$i]}" "$b")" \
            >>"$results/$pair-memory"
    done
    bash -c "$prepare"

    /usr/bin/python3 - "$mode" "$pair" "$results" <<'EOF'
import json, sys
mode, pair, results = sys.argv[1], sys.argv[2], sys.argv[3]
# The program's targets, as trelvik/row: (mode, pair, row) -> (bound, strict).
TARGETS = {
    ("cold", "small", "diff -rq"): (0.40, False),
    ("cold", "mixed", "diff -rq"): (0.45, False),
    ("cold", "large", "diff -rq"): (1.0, False),
    ("fresh", "small", "diff -rq"): (0.45, False),
    ("memory", "small", "diff -rq"): (0.95, False),
    ("memory", "large", "read limit (cat)"): (1.15, False),
    ("memory", "mixed", "diff -rq"): (0.9, False),
}
for faster_pair in ("small", "large", "mixed"):
    TARGETS[("cold", faster_pair, "rclone check")] = (1.0, True)
# Peak memory of trelvik in KiB: (pair) -> (bound, above the empty pair).
MEMORY_TARGETS = {"large": (2048, True), "small": (65536, False)}

rows = []
for part in ("1", "2"):
    rows += json.load(open(f"{results}/{pair}-{part}.json"))["results"]
memory = {}
for line in open(f"{results}/{pair}-memory"):
    name, peak, drive = line.rstrip("\n").split("\t")
    memory[name] = (peak, drive)
trelvik = next(r["median"] for r in rows if r["command"] == "trelvik")
print(f"{mode}, {pair}: median, min and max of the timed runs in seconds; trelvik/row")
print("is the ratio of trelvik's median to the row's; peak KiB and drive MiB (read")
print("from the copy's drive) come from one more run")
print(f"{'command':<28}{'median':>9}{'min':>9}{'max':>9}{'peak KiB':>10}{'drive MiB':>10}"
      f"{'trelvik/row':>13}  target")
for r in rows:
    name = r["command"]
    ratio = trelvik / r["median"]
    target = ""
    if (mode, pair, name) in TARGETS:
        bound, strict = TARGETS[(mode, pair, name)]
        met = ratio < bound if strict else ratio <= bound
        target = f"{'<' if strict else '<='} {bound:.2f}: {'met' if met else 'MISSED'}"
    peak, drive = memory.get(name, ("?", "?"))
    print(f"{name:<28}{r['median']:>9.3f}{r['min']:>9.3f}{r['max']:>9.3f}"
          f"{peak:>10}{drive:>10}{ratio:>13.2f}  {target}")
if pair in MEMORY_TARGETS:
    bound, above_empty = MEMORY_TARGETS[pair]
    peak = int(memory["trelvik"][0])
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

for mode in $modes; do
    case $mode in
        warm | cold | fresh | memory) ;;
        *) echo "MODE: unknown mode '$mode' (warm, cold, fresh or memory)" >&2; exit 2 ;;
    esac
done
if [[ " $modes " == *" cold "* && ! -w $DROP_CACHES ]]; then
    echo "cold mode drops the page cache through $DROP_CACHES, which is not writable" \
        "here (it takes root, and a /proc/sys that is not read-only): not timed." >&2
    exit 2
fi

# The tools, from Debian.
export DEBIAN_FRONTEND=noninteractive
missing=()
for tool in hyperfine:hyperfine rclone:rclone python3:python3 /usr/bin/time:time cc:gcc \
    diff:diffutils xargs:findutils cmake:cmake ninja:ninja-build vmtouch:vmtouch \
    unshare:util-linux flock:util-linux; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if ((${#missing[@]})); then
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -x $trelvik ]]; then
    cmake -S "$repo" -B "$repo/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$repo/build-bench" --target trelvik >/dev/null
fi

mkdir -p "$base"
/usr/bin/python3 "$here/make_trees.py" "$base" $pairs
cc -O2 -o "$base/syscall_floor" "$here/syscall_floor.c"

if [[ -z ${TRELVIK_TIMING_LOCKED:-} ]]; then
    exec 9>>"$TIMING_LOCK"
    if ! flock -n 9; then
        echo "waiting for $TIMING_LOCK, which another job holds ..." >&2
        flock 9
    fi
    export TRELVIK_TIMING_LOCKED=1
fi

for mode in $modes; do
    if [[ $mode == memory ]]; then
        mount_point=$(mktemp -d)
        TRELVIK_PRIVATE_TMPFS=$mount_point unshare -m --propagation private "$0"
        rmdir "$mount_point"
    else
        start=$SECONDS
        mode_heading "$mode" "$base"
        for pair in $pairs; do
            time_pair "$mode" "$pair" "$base"
        done
        echo "$mode mode took $((SECONDS - start)) s"
    fi
done
