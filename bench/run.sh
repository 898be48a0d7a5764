#!/bin/bash
# Times trelvik against its peers and against the cost of reading the data,
# on three pairs of identical trees, and prints a table per pair. See
# bench/README.md for what the figures mean.
#
# Environment (all optional):
#   TRELVIK           the binary to time (default: build-bench/trelvik, built
#                     in Release when missing)
#   TRELVIK_BASELINE  a second binary, timed beside the first (before/after)
#   TRELVIK_BENCH_DIR where the trees go (default: /var/tmp/trelvik-bench)
#   RUNS              timed runs per command (default: 5)
#   RCLONE_RUNS       timed runs of each rclone command (default: 3; rclone
#                     takes seconds on the small pair)
#   PAIRS             which pairs to time (default: "small large mixed")
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
base=${TRELVIK_BENCH_DIR:-/var/tmp/trelvik-bench}
runs=${RUNS:-5}
rclone_runs=${RCLONE_RUNS:-3}
pairs=${PAIRS:-small large mixed}
trelvik=${TRELVIK:-$repo/build-bench/trelvik}
baseline=${TRELVIK_BASELINE:-}

# The tools, from Debian.
export DEBIAN_FRONTEND=noninteractive
missing=()
for tool in hyperfine:hyperfine rclone:rclone python3:python3 /usr/bin/time:time cc:gcc \
    diff:diffutils xargs:findutils cmake:cmake ninja:ninja-build; do
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

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# Peak resident memory in KiB of one run of the shell command $1.
peak_memory() {
    /usr/bin/time -f %M -o "$results/memory" bash -c "$1" >/dev/null 2>&1 || true
    cat "$results/memory"
}

echo "trelvik: $trelvik${baseline:+, baseline: $baseline}"
echo "$runs runs per command ($rclone_runs of rclone) after a warm-up, on a warm page cache"
echo "peak memory of trelvik on an empty pair: $(peak_memory "$trelvik $base/empty/a $base/empty/b") KiB"

for pair in $pairs; do
    a=$base/$pair/a
    b=$base/$pair/b
    (cd "$a" && find . -type f -printf '%P\0') >"$base/$pair/list"
    read_limit="find $a $b -type f -print0 | xargs -0 cat >/dev/null"

    names=(trelvik)
    commands=("$trelvik $a $b")
    if [[ -n $baseline ]]; then
        names+=("trelvik baseline")
        commands+=("$baseline $a $b")
    fi
    names+=("diff -rq" "read limit (cat)" "bare loop (C)")
    commands+=("diff -rq $a $b" "$read_limit" "$base/syscall_floor $base/$pair/list $a $b")
    # rclone drops what it reads from the page cache, so it runs last, and
    # every run of it is preceded by reading both trees again.
    rclone_names=("rclone check" "rclone check --checkers 1")
    rclone_commands=("rclone check --one-way --download $a $b"
        "rclone check --one-way --download --checkers 1 $a $b")

    args=()
    for i in "${!names[@]}"; do
        args+=(-n "${names[$i]}" "${commands[$i]}")
    done
    echo
    echo "== $pair: timing ..."
    eval "$read_limit"
    hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$results/$pair-1.json" \
        "${args[@]}" >/dev/null 2>"$results/errors" || { cat "$results/errors"; exit 1; }
    args=()
    for i in "${!rclone_names[@]}"; do
        args+=(-n "${rclone_names[$i]}" "${rclone_commands[$i]}")
    done
    hyperfine --style basic --prepare "$read_limit" --runs "$rclone_runs" \
        --export-json "$results/$pair-2.json" "${args[@]}" >/dev/null 2>"$results/errors" ||
        { cat "$results/errors"; exit 1; }

    : >"$results/$pair-memory"
    for i in "${!names[@]}"; do
        printf '%s\t%s\n' "${names[$i]}" "$(peak_memory "${commands[$i]}")" >>"$results/$pair-memory"
    done
    for i in "${!rclone_names[@]}"; do
        eval "$read_limit"
        printf '%s\t%s\n' "${rclone_names[$i]}" "$(peak_memory "${rclone_commands[$i]}")" \
            >>"$results/$pair-memory"
    done
    eval "$read_limit"

    /usr/bin/python3 - "$pair" "$results" <<'EOF'
import json, sys
pair, results = sys.argv[1], sys.argv[2]
rows = []
for part in ("1", "2"):
    rows += json.load(open(f"{results}/{pair}-{part}.json"))["results"]
memory = dict(line.rstrip("\n").split("\t") for line in open(f"{results}/{pair}-memory"))
trelvik = next(r["median"] for r in rows if r["command"] == "trelvik")
print(f"{pair}: median, min and max of the timed runs in seconds; trelvik/row is")
print("the ratio of trelvik's median to the row's")
print(f"{'command':<28}{'median':>9}{'min':>9}{'max':>9}{'peak KiB':>10}{'trelvik/row':>13}")
for r in rows:
    name = r["command"]
    print(f"{name:<28}{r['median']:>9.3f}{r['min']:>9.3f}{r['max']:>9.3f}"
          f"{memory.get(name, '?'):>10}{trelvik / r['median']:>13.2f}")
EOF
done
