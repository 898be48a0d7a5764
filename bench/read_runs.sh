#!/bin/bash
# Shows in what runs the reads of a big pair reach its drive: both files of
# the pair lie on one ext4 file system on a loop device, read cold; the
# kernel's block layer reports every read it issues to the device (perf's
# tracepoint block:block_rq_issue), and a run is a stretch of reads each of
# which starts where the one before it ended, within one file. A disk that
# seeks pays for every run; a file read in lockstep with its copy on one disk
# gives a run per block, where each file read in long turns gives few. See
# bench/README.md.
#
# Environment (all optional):
#   TRELVIK           the binary (default: build-bench/trelvik, built when
#                     missing)
#   TRELVIK_BASELINE  a second binary, shown beside the first
#   RUNS_FILE_MIB     the size of each file of the pair in MiB (default: 256)
# Run as root (a loop device, a mount namespace of its own, perf).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
trelvik=${TRELVIK:-$repo/build-bench/trelvik}
baseline=${TRELVIK_BASELINE:-}
file_mib=${RUNS_FILE_MIB:-256}

if [[ -z ${TRELVIK_RUNS_NAMESPACE:-} ]]; then
    export DEBIAN_FRONTEND=noninteractive
    command -v perf >/dev/null || { apt-get update -qq; apt-get install -y -qq linux-perf >/dev/null; }
    if [[ ! -x $trelvik ]]; then
        cmake -S "$repo" -B "$repo/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$repo/build-bench" --target trelvik >/dev/null
    fi
    exec env TRELVIK_RUNS_NAMESPACE=1 unshare -m --propagation private "$0"
fi

work=$(mktemp -d /var/tmp/trelvik-runs-XXXXXX)
trap 'umount "$work/drive" 2>/dev/null || true; rm -rf "$work"' EXIT
truncate -s $((2 * file_mib + 64))M "$work/image"
mkfs.ext4 -q "$work/image"
mkdir "$work/drive"
mount -t tracefs none /sys/kernel/tracing 2>/dev/null || true
mount -o loop "$work/image" "$work/drive"
mkdir "$work/drive/a" "$work/drive/b"
head -c "${file_mib}M" /dev/urandom >"$work/drive/a/big"
cp "$work/drive/a/big" "$work/drive/b/big"
device=$(findmnt -n -o SOURCE "$work/drive")
number=$(stat -L -c '%Hr,%Lr' "$device")
# The sectors of each file on the device: its extents, as filefrag gives
# them in blocks of the file system.
block=$(stat -f -c '%S' "$work/drive")
for side in a b; do
    filefrag -e -b"$block" "$work/drive/$side/big" |
        awk -v side="$side" -v scale=$((block / 512)) '$1 ~ /^[0-9]+:$/ {
            gsub(/\.\./, " "); gsub(/:/, " "); print side, $4 * scale, ($5 + 1) * scale }'
done >"$work/extents"

rows=("trelvik:$trelvik a b")
[[ -n $baseline ]] && rows+=("trelvik baseline:$baseline a b")
rows+=("diff -rq:diff -rq a b" "cat a, then b:cat a/big b/big")
echo "A pair of two files of $file_mib MiB on ext4 on $device (read-ahead" \
    "$(cat /sys/block/"$(basename "$device")"/queue/read_ahead_kb) KiB), read cold." \
    "Per command: the reads the drive got, their MiB, the runs of them (each read" \
    "starting where the one before ended, in one file), MiB a run, and the switches" \
    "from one file to the other." | fmt -w 100
printf '%-18s %8s %8s %8s %10s %9s\n' command reads MiB runs "MiB a run" switches
for row in "${rows[@]}"; do
    name=${row%%:*}
    umount "$work/drive"
    mount -o loop "$work/image" "$work/drive"
    (cd "$work/drive" && perf record -q -e block:block_rq_issue -a -o "$work/perf.data" -- \
        ${row#*:} >/dev/null 2>&1) || true
    perf script -i "$work/perf.data" 2>/dev/null |
        sed -nE "s/.*block_rq_issue: $number R[A-Z]* [0-9]+ \(.*\) ([0-9]+) \+ ([0-9]+).*/\1 \2/p" \
            >"$work/reads"
    /usr/bin/python3 - "$name" "$work/extents" "$work/reads" <<'PY'
import sys
name, extents_file, reads_file = sys.argv[1:]
extents = [(side, int(start), int(end)) for side, start, end in
           (line.split() for line in open(extents_file))]
def side_of(sector):
    return next((side for side, start, end in extents if start <= sector < end), None)
reads = [(int(s), int(n)) for s, n in (line.split() for line in open(reads_file))]
reads = [(s, n, side_of(s)) for s, n in reads if n > 0 and side_of(s)]
runs = switches = sectors = 0
previous = None
for sector, count, side in reads:
    sectors += count
    if previous is None or sector != previous[0] or side != previous[1]:
        runs += 1
    if previous is not None and side != previous[1]:
        switches += 1
    previous = (sector + count, side)
mib = sectors * 512 / 2**20
print(f"{name:<18} {len(reads):>8} {mib:>8.0f} {runs:>8} {mib / max(runs, 1):>10.2f} {switches:>9}")
PY
done
