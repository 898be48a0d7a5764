#!/bin/bash
# Times trelvik against its peers, against the cost of reading the data and
# against the yardsticks of a check that keeps many files in flight, on pairs
# of identical trees, in one or more states of the page cache or on
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
#                       slow    a slow drive serves the copy, then both
#                               trees: a FUSE mirror that answers every
#                               request after a delay, and sshfs through a
#                               relay that delays what it forwards
#                       footprint  peak memory and time on trees of
#                               millions of empty files on a tmpfs
#                       disk    the copy on a modelled hard disk, USB
#                               stick or SSD, the source on a modelled SSD
#                               (root only; ../shared/diskmodel)
#   TRELVIK           the binary to time (default: build-bench/trelvik, built
#                     in Release when missing)
#   TRELVIK_BASELINE  a second binary, timed beside the first (before/after)
#   TRELVIK_BENCH_DIR where the trees go (default: /var/tmp/trelvik-bench)
#   RUNS              timed runs per command (default: 5 warm and memory,
#                     3 cold, fresh and slow mode's FUSE mirror)
#   DROP_CACHES       1: slow mode drops all caches before every run (root;
#                     it empties the page cache of the whole machine); by
#                     default it does not. Cold mode always drops them.
#   RCLONE_RUNS       timed runs of each rclone command (default: 3; rclone
#                     takes seconds on the small pair)
#   PAIRS             which pairs to time (default: "small large mixed
#                     photos")
#   SLOW_PAIRS        which pairs to time in slow mode (default: "smallfiles
#                     fewmixed photos bigfiles")
#   SLOW_CASES        what the slow drive serves (default: "copy both")
#   SLOW_DELAY_US     the FUSE mirror's delays of every request in µs, each
#                     timed in turn (default: 1000; e.g. "1000 200"; empty:
#                     no FUSE mirror)
#   SLOW_BACKGROUND   the FUSE mirror's limits of background requests, each
#                     timed in turn: "default" (the kernel's, 12) or a number
#                     (default: "default 64")
#   SLOW_RELAY_US     the delays of the relay in front of sshfs's ssh server
#                     in µs, each timed in turn (default: "1000 5000"; empty:
#                     no sshfs)
#   SSHFS_RUNS        timed runs per command over sshfs (default: 1)
#   SLOW_SERIAL_RUNS  timed runs of diff -rq and rsync -rcn per case in slow
#                     mode, on either drive (default: 1; they read one file
#                     after another, tens of seconds behind a slow drive)
#   TRELVIK_FAULT_FS  slow mode's FUSE file system (default:
#                     build-bench/tests/trelvik_fault_fs, built when missing)
#   DISK_MODELS       disk mode's models of the copy's device, each timed in
#                     turn (default: "hdd usb-stick ssd")
#   DISK_PAIRS        which pairs to time in disk mode (default: "smallfiles
#                     fewmixed photos bigfiles")
#   DISK_RUNS         timed runs per row in disk mode (default: 3)
#   DISK_SERIAL_RUNS  timed runs of diff -rq and rsync -rcn in disk mode
#                     (default: 1; they read one file after another, minutes
#                     on the hard disk)
#   DISK_COPY_WITH    how disk mode makes the copy from the source's image:
#                     cp (default: cp -a, which writes each directory's files
#                     in the order of their inode numbers on the source) or
#                     tar (a tar pipe, in the order the source lists them)
#   FOOTPRINT_TREES   footprint mode's trees, SHAPE:FILES each, in this order
#                     (default: "photos:1000000 photos:2000000 flat:1000000
#                     long:1000000 photos:10000000"; shapes as in
#                     make_many_files.py)
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
pairs=${PAIRS:-small large mixed photos}
slow_pairs=${SLOW_PAIRS:-smallfiles fewmixed photos bigfiles}
slow_cases=${SLOW_CASES:-copy both}
slow_delays=${SLOW_DELAY_US-1000}
slow_backgrounds=${SLOW_BACKGROUND-default 64}
relay_delays=${SLOW_RELAY_US-1000 5000}
drop_caches=${DROP_CACHES:-0}
trelvik=${TRELVIK:-$repo/build-bench/trelvik}
baseline=${TRELVIK_BASELINE:-}
fault_fs=${TRELVIK_FAULT_FS:-$repo/build-bench/tests/trelvik_fault_fs}
serial_runs=${SLOW_SERIAL_RUNS:-1}
disk_models=${DISK_MODELS:-hdd usb-stick ssd}
disk_pairs=${DISK_PAIRS:-smallfiles fewmixed photos bigfiles}
disk_runs=${DISK_RUNS:-3}
disk_serial_runs=${DISK_SERIAL_RUNS:-1}
disk_copy_with=${DISK_COPY_WITH:-cp}
# The yardsticks that the project shares beside this repository.
yardsticks=$(dirname "$repo")/shared/yardsticks
# The models of storage devices that the project shares beside it.
diskmodel=$(dirname "$repo")/shared/diskmodel

TIMING_LOCK=/var/tmp/trelvik-timing.lock
DROP_CACHES_FILE=/proc/sys/vm/drop_caches
DROP_ALL_CACHES="sync; echo 3 >$DROP_CACHES_FILE"
# Processes of the drive limit row in cold, fresh and slow mode.
PARALLEL_READERS=32
RCLONE_CHECK="rclone check --one-way --download"
SFTP_SERVER=/usr/lib/openssh/sftp-server
# Targets of the program in slow mode, as its time over rclone check's.
MIRROR_BOUND=0.5
MIRROR_BIGFILES_BOUND=0.7
SSHFS_BOUND=0.6
# Footprint mode: trees of more files than this are given as both
# directories, which halves the memory the tmpfs needs; a tree is made only
# where the memory available leaves this much to the programs beside it.
FOOTPRINT_PAIR_MAX=2000000
FOOTPRINT_SPARE_KIB=$((2 * 1024 * 1024))
# What a file takes on a tmpfs until the first tree has shown it, in bytes.
TMPFS_FILE_BYTES_GUESS=1200
# Disk mode's two ext4 images, each as large as a small partition, and how
# much of it the pairs' trees may fill. Their identities and the seeds of
# their directories' hashes are fixed, so that every run of the mode lays
# out and lists the trees alike; they differ between the two, so that each
# lists a directory in an order of its own, as two file systems do.
DISK_IMAGE_BYTES=$((2 * 1024 * 1024 * 1024))
DISK_IMAGE_FILL_PERCENT=70
DISK_SOURCE_UUID=6f1c2a4e-3b7d-4e58-9a06-1d2c3b4a5e61
DISK_SOURCE_HASH_SEED=0b9e8d7c-6a5f-4e3d-8c2b-1a0f9e8d7c61
DISK_COPY_UUID=2d4c6b8a-1e3f-4a5b-8c7d-9e0f1a2b3c72
DISK_COPY_HASH_SEED=a7b6c5d4-e3f2-4a1b-9c8d-7e6f5a4b3c72

results=$(mktemp -d)
# Processes that slow mode starts, and ends on the way out.
drive_pid=""
ssh_server=""
relay=""
ssh_dir=""
# Disk mode's directory, on a tmpfs in its mount namespace.
disk_dir=""

# Ends the process `$1` that this script started, and reaps it.
stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# Ends what the script started and takes down what it mounted, on the way
# out.
clean_up() {
    local process
    for process in $drive_pid $relay $ssh_server; do
        stop "$process"
    done
    if [[ -n $disk_dir ]]; then
        take_down_disks
    fi
    rm -rf "$results" "$ssh_dir"
}
trap clean_up EXIT

# The line of /proc/diskstats for the device that holds `$1`, empty where
# there is none (a tmpfs).
device_line() {
    local number
    number=$(stat -c '%d' "$1")
    awk -v major=$((number >> 8)) -v minor=$((number & 255)) \
        '$1 == major && $2 == minor' /proc/diskstats
}

# One run of the shell command `$2` after the shell command `$1`, and what it
# cost, tab-separated: peak resident memory in KiB, user + system CPU seconds
# (both from GNU time, children included), MiB read from the device of `$3`,
# and the mean number of requests in flight at that device during the run
# (the change of its weighted milliseconds doing I/O, field 14 of
# /proc/diskstats, over the run's milliseconds); "-" for both where `$3` lies
# on no device (a tmpfs). Fails, saying so, where the command fails.
run_costs() {
    local before after took
    bash -c "$1" >/dev/null 2>&1
    before=$(device_line "$3" | awk '{print $6, $14}')
    # Microseconds since the epoch, whatever the locale's decimal point.
    local start=${EPOCHREALTIME/[^0-9]/}
    /usr/bin/time -f '%M %U %S' -o "$results/memory" bash -c "$2" >/dev/null 2>"$results/errors" ||
        { echo "failed: $2" >&2; cat "$results/errors" >&2; return 1; }
    took=$((${EPOCHREALTIME/[^0-9]/} - start))
    after=$(device_line "$3" | awk '{print $6, $14}')
    awk -v before="$before" -v after="$after" -v took="$took" '{
        split(before, b, " "); split(after, a, " ")
        drive = "-"; in_flight = "-"
        if (before != "") {
            drive = int((a[1] - b[1]) / 2048)
            in_flight = sprintf("%.2f", (a[2] - b[2]) / (took / 1000))
        }
        printf "%s\t%.2f\t%s\t%s\n", $1, $2 + $3, drive, in_flight
    }' "$results/memory"
}

# System calls per file of one run of the shell command `$2` after the shell
# command `$1`, under strace -f -c (every process of the command counted,
# the shell that starts it too), for a source tree of `$3` files. Slow, so
# never timed. Fails, saying so, where the command fails.
calls_per_file() {
    bash -c "$1" >/dev/null 2>&1
    strace -f -c -o "$results/strace" bash -c "$2" >/dev/null 2>"$results/errors" ||
        { echo "failed under strace: $2" >&2; cat "$results/errors" >&2; return 1; }
    awk -v files="$3" '$NF == "total" { printf "%.1f\n", $4 / (files ? files : 1) }' \
        "$results/strace"
}

# Sets the caller's arrays `names` and `commands` to the rows that every mode
# times on the trees `$1` and `$2`: the program and its baseline.
program_rows() {
    names=(trelvik)
    commands=("$trelvik $1 $2")
    if [[ -n $baseline ]]; then
        names+=("trelvik baseline")
        commands+=("$baseline $1 $2")
    fi
}

# Appends to the caller's arrays `names` and `commands` the yardsticks on the
# trees `$1` and `$2` (built from $yardsticks into $base): par_floor with each
# number of threads from `$4` on, every thread deciding whole files with its
# own system calls, then uring_proto with `$3` files in flight through
# io_uring from one thread.
yardstick_rows() {
    local a=$1 b=$2 in_flight=$3 threads
    shift 3
    for threads; do
        names+=("$threads threads, whole files")
        commands+=("$base/par_floor -t $threads $a $b")
    done
    names+=("$in_flight files in flight (io_uring)")
    commands+=("$base/uring_proto -n $in_flight $a $b")
}

# The shell command of the drive limit row: every file that the shell command
# `$1` names (NUL-separated) read once, by $PARALLEL_READERS cat processes at
# once, each given `$2` files at a time.
drive_limit_command() {
    echo "$1 | xargs -0 -P $PARALLEL_READERS -n $2 cat >/dev/null"
}

# Appends to $results/`$1`-columns the line of the row `$2`: the fields `$6`
# (as cut -f takes them) of what one more run of its shell command `$4` after
# the shell command `$3` cost, on the copy below `$5`, and its system calls
# per file under strace for a source tree of `$7` files.
measure_row() {
    local measured calls
    measured=$(run_costs "$3" "$4" "$5")
    calls=$(calls_per_file "$3" "$4" "$7")
    printf '%s\t%s\t%s\n' "$2" "$(cut -f "$6" <<<"$measured")" "$calls" >>"$results/$1-columns"
}

# Times every command on the pair `$2` (both trees below `$3`) in the mode
# `$1`, and prints its table.
time_pair() {
    local mode=$1 pair=$2 trees=$3
    local a=$trees/$pair/a b=$trees/$pair/b files
    files=$(find "$a" -type f -printf . | wc -c)
    local read_limit="find $a $b -type f -print0 | xargs -0 cat >/dev/null"

    local names commands
    program_rows "$a" "$b"
    names+=("diff -rq" "rsync -rcn" "read limit (cat)")
    commands+=("diff -rq $a $b" "rsync -rcn $a/ $b/" "$read_limit")
    if [[ $mode == cold || $mode == fresh ]]; then
        names+=("drive limit ($PARALLEL_READERS cat)")
        commands+=("$(drive_limit_command "find $a $b -type f -print0" 64)")
    fi
    yardstick_rows "$a" "$b" 32 2 32
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

    # The further columns: one more run of each row, and one under strace.
    # The requests in flight at the copy's drive mean something only where
    # the mode reads it from there.
    local fields=1-3 headings=$'peak KiB\tCPU s\tdrive MiB\tcalls/file'
    local note="peak KiB, CPU s (user + system) and drive MiB (read from the copy's drive)"
    if [[ $mode == cold || $mode == fresh ]]; then
        fields=1-4
        headings=$'peak KiB\tCPU s\tdrive MiB\tin flight\tcalls/file'
        note+=", and in flight (the mean number of requests in flight at the copy's drive)"
    fi
    note+=" come from one more run; calls/file is the system calls of a run under strace -f -c"
    note+=" over the $files files of the source tree"
    echo "== $mode, $pair: one more run of each row, and one under strace ..."
    echo "$headings" >"$results/$pair-columns"
    for i in "${!names[@]}"; do
        measure_row "$pair" "${names[$i]}" "$prepare" "${commands[$i]}" "$b" "$fields" "$files"
    done
    for i in "${!rclone_names[@]}"; do
        measure_row "$pair" "${rclone_names[$i]}" "$rclone_prepare" "${rclone_commands[$i]}" \
            "$b" "$fields" "$files"
    done
    bash -c "$prepare"

    print_table "$mode" "$pair" "$note"
    echo
}

# Prints the table of the rows timed in the mode `$1` on the pair `$2`, from
# the files $results/`$2`-*: the times of every row from hyperfine's exports
# (-1.json, -2.json), and further columns from -columns (a line of their
# headings, then a line "row<TAB>value..." per row). `$3` ends the sentence
# above the table, on those columns.
print_table() {
    /usr/bin/python3 - "$@" "$results" <<'EOF'
import glob, json, statistics, sys, textwrap
mode, table, note, results = sys.argv[1:]
# The program's targets, as trelvik/row: (mode, table, row) -> (bound, strict).
TARGETS = {
    ("cold", "small", "diff -rq"): (0.25, False),
    ("cold", "mixed", "diff -rq"): (0.35, False),
    ("cold", "large", "diff -rq"): (0.6, False),
    ("cold", "photos", "diff -rq"): (0.3, False),
    ("fresh", "small", "diff -rq"): (0.3, False),
    ("memory", "small", "diff -rq"): (0.9, False),
    ("memory", "large", "read limit (cat)"): (1.15, False),
    ("memory", "mixed", "diff -rq"): (0.9, False),
}
for faster_pair in ("small", "large", "mixed", "photos"):
    TARGETS[("cold", faster_pair, "rclone check")] = (1.0, True)
    TARGETS[("cold", faster_pair, "drive limit (32 cat)")] = (1.1, False)
# Peak memory of trelvik in KiB: (pair) -> (bound, above the empty pair).
MEMORY_TARGETS = {"large": (2048, True), "small": (65536, False)}

times = {}
for export in sorted(glob.glob(f"{results}/{table}-*.json")):
    for r in json.load(open(export))["results"]:
        times[r["command"]] = r["times"]
lines = open(f"{results}/{table}-columns").read().splitlines()
headings, *rows = [line.split("\t") for line in lines]
columns = {name: values for name, *values in rows}
widths = [max(10, len(heading) + 2) for heading in headings]
median = {name: statistics.median(runs) for name, runs in times.items()}
name_width = max(28, max(map(len, times)) + 2)

print(textwrap.fill(f"{mode}, {table}: median, min and max of the timed runs in seconds; "
                    f"trelvik/row is the ratio of trelvik's median to the row's; {note}", 80))
print(f"{'command':<{name_width}}{'median':>9}{'min':>9}{'max':>9}"
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
    print(f"{name:<{name_width}}{median[name]:>9.3f}{min(runs):>9.3f}{max(runs):>9.3f}"
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

# Drops all caches before a run of slow mode when DROP_CACHES=1.
drop_caches_when_asked() {
    if [[ $drop_caches == 1 ]]; then
        bash -c "$DROP_ALL_CACHES"
    fi
}

# A TCP port on 127.0.0.1 that is free at the moment.
free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Starts an ssh server on this machine for the network drive, with a host
# key, a client's key, a configuration and a log in a directory of its own,
# $ssh_dir; each of its sftp servers logs the requests it serves (opens,
# closes with the bytes read, status queries, ...) to $ssh_dir/sftp.log.
start_ssh_server() {
    ssh_dir=$(mktemp -d)
    ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/id"
    cp "$ssh_dir/id.pub" "$ssh_dir/authorized_keys"
    printf '#!/bin/sh\nexec %s -e -l VERBOSE 2>>%s\n' "$SFTP_SERVER" "$ssh_dir/sftp.log" \
        >"$ssh_dir/sftp-server"
    chmod +x "$ssh_dir/sftp-server"
    ssh_port=$(free_port)
    cat >"$ssh_dir/sshd_config" <<EOF
Port $ssh_port
ListenAddress 127.0.0.1
HostKey $ssh_dir/host_key
PidFile none
AuthorizedKeysFile $ssh_dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
MaxStartups 100
MaxSessions 100
LogLevel ERROR
Subsystem sftp $ssh_dir/sftp-server
EOF
    # Its directory for the separation of privileges.
    mkdir -p /run/sshd
    /usr/sbin/sshd -D -e -f "$ssh_dir/sshd_config" 2>"$ssh_dir/sshd.log" &
    ssh_server=$!
    until (exec 3<>"/dev/tcp/127.0.0.1/$ssh_port") 2>/dev/null; do
        kill -0 "$ssh_server" 2>/dev/null ||
            { echo "the ssh server did not start:" >&2; cat "$ssh_dir/sshd.log" >&2; exit 1; }
        sleep 0.05
    done
}

stop_ssh_server() {
    stop "$ssh_server"
    rm -rf "$ssh_dir"
    ssh_server=""
    ssh_dir=""
}

# Starts the relay to the ssh server that delays what the client sends by `$1`
# µs, and writes the known host of its port for the clients.
start_relay() {
    "$base/delay_relay" 0 "$ssh_port" "$1" >"$ssh_dir/relay-port" &
    relay=$!
    until [[ -s $ssh_dir/relay-port ]]; do
        kill -0 "$relay" 2>/dev/null || { echo "the relay did not start" >&2; exit 1; }
        sleep 0.01
    done
    relay_port=$(<"$ssh_dir/relay-port")
    echo "[127.0.0.1]:$relay_port $(cut -d' ' -f1,2 "$ssh_dir/host_key.pub")" \
        >"$ssh_dir/known_hosts"
}

# `$1` on the ssh server, as an sftp remote of rclone reaching it through the
# relay.
sftp_remote() {
    echo ":sftp,host=127.0.0.1,port=$relay_port,user=root,key_file=$ssh_dir/id,known_hosts_file=$ssh_dir/known_hosts:$1"
}

# Mounts the slow drive, $drive, afresh at $slow_mount, serving the directory
# `$1`: the FUSE mirror (with $drive_options), or sshfs through the relay.
mount_slow_drive() {
    if [[ $drive == mirror ]]; then
        "$fault_fs" "${drive_options[@]}" --stats="$results/stats" "$1" "$slow_mount" \
            2>"$results/drive-errors" &
    else
        : >"$ssh_dir/sftp.log"
        sshfs -f -F /dev/null -p "$relay_port" \
            -o "IdentityFile=$ssh_dir/id,UserKnownHostsFile=$ssh_dir/known_hosts,BatchMode=yes" \
            "root@127.0.0.1:$1" "$slow_mount" 2>"$results/drive-errors" &
    fi
    drive_pid=$!
    until mountpoint -q "$slow_mount"; do
        kill -0 "$drive_pid" 2>/dev/null ||
            { echo "$drive could not mount $1" >&2; cat "$results/drive-errors" >&2; exit 1; }
        sleep 0.01
    done
}

# What the sftp servers logged since the mount, once each has ended (10 s
# at most): the opens of files and of directories and the bytes read, a line
# "name value" each, as trelvik_fault_fs --stats writes them.
sftp_counts() {
    local tries
    for ((tries = 0; tries < 200; tries++)); do
        (($(grep -c '^session opened' "$ssh_dir/sftp.log") ==
            $(grep -c '^session closed' "$ssh_dir/sftp.log"))) && break
        sleep 0.05
    done
    awk '/^open "/ { opens++ } /^opendir "/ { directories++ }
        /^close "/ && match($0, / bytes read [0-9]+ /) { bytes += substr($0, RSTART + 12, RLENGTH - 13) }
        END { printf "opens %d\ndirectory_opens %d\nbytes_read %.0f\n", opens, directories, bytes }' \
        "$ssh_dir/sftp.log"
}

# Unmounts the slow drive and writes what it served to $results/stats.
unmount_slow_drive() {
    if [[ $drive == mirror ]]; then
        kill -TERM "$drive_pid"
    else
        umount "$slow_mount"
    fi
    wait "$drive_pid" ||
        { echo "$drive ended with an error:" >&2; cat "$results/drive-errors" >&2; exit 1; }
    drive_pid=""
    if [[ $drive == sshfs ]]; then
        sftp_counts >"$results/stats"
    fi
}

# Times one run of the shell command `$3`, the row `$2`, on the slow drive
# mounted afresh, serving the directory `$4`, caches dropped before when
# asked; appends a line "row<TAB>seconds<TAB>opens<TAB>directory opens<TAB>
# bytes read<TAB>peak in flight<TAB>mean in flight" to `$1` ("-" for what the
# drive does not count).
slow_run() {
    local runs=$1 name=$2 command=$3 source=$4
    drop_caches_when_asked
    mount_slow_drive "$source"
    # Microseconds since the epoch, whatever the locale's decimal point.
    local start=${EPOCHREALTIME/[^0-9]/} status=0
    bash -c "$command" >/dev/null 2>"$results/errors" || status=$?
    local took=$((${EPOCHREALTIME/[^0-9]/} - start))
    unmount_slow_drive
    if ((status != 0)); then
        echo "$name failed on the slow drive (exit status $status): $command" >&2
        cat "$results/errors" >&2
        exit 1
    fi
    printf '%s\t%d.%06d\t%s\n' "$name" $((took / 1000000)) $((took % 1000000)) \
        "$(awk 'function get(name) { return name in count ? count[name] : "-" }
            { count[$1] = $2 }
            END { OFS = "\t"; print get("opens"), get("directory_opens"), get("bytes_read"),
                get("peak_in_flight"), get("mean_in_flight") }' "$results/stats")" >>"$runs"
}

# Times the rows of slow mode on the pair `$1` while the slow drive serves the
# pair's copy (`$2` = copy) or both its trees (both), and prints their table:
# `$3` runs of each row, but $serial_runs of diff -rq and rsync -rcn, which
# read one file after another. The runs are interleaved (the first of every
# row, then the second, ...), so that changes in the load of the machine
# strike all rows alike.
time_slow_case() {
    local pair=$1 served=$2 runs=$3
    local a=$base/$pair/a b=$slow_mount/b
    local rclone_a=$a rclone_b=$b sides=1
    if [[ $served == both ]]; then
        a=$slow_mount/a
        rclone_a=$a
        sides=2
    fi
    if [[ $drive == sshfs ]]; then
        rclone_b=$(sftp_remote "$base/$pair/b")
        [[ $served == both ]] && rclone_a=$(sftp_remote "$base/$pair/a")
    fi
    local files bytes
    read -r files bytes < <(find "$base/$pair/a" -type f -printf '%s\n' |
        awk '{ bytes += $1 } END { print NR, bytes + 0 }')
    # The drive limit reads the files of both trees from a list made here, so
    # that it shows what reading gives, not what a walk of the slow drive
    # costs.
    local list=$results/$pair-$served-files
    (cd "$base/$pair/a" && find . -type f -printf '%P\0') >"$list.names"
    sed -z "s|^|$a/|" "$list.names" >"$list"
    sed -z "s|^|$b/|" "$list.names" >>"$list"
    local names commands
    program_rows "$a" "$b"
    names+=("diff -rq" "rsync -rcn" "rclone check" "drive limit ($PARALLEL_READERS cat)")
    commands+=("diff -rq $a $b" "rsync -rcn $a/ $b/" "$RCLONE_CHECK --checkers 8 $rclone_a $rclone_b"
        "$(drive_limit_command "cat $list" $(((files * 2 + PARALLEL_READERS - 1) / PARALLEL_READERS)))")
    yardstick_rows "$a" "$b" 32 32
    # The runs of each row, and the most of any row.
    local row_runs=() most=$runs i
    for i in "${!names[@]}"; do
        row_runs[i]=$runs
        if [[ ${names[$i]} == "diff -rq" || ${names[$i]} == "rsync -rcn" ]]; then
            row_runs[i]=$serial_runs
        fi
        if ((row_runs[i] > most)); then
            most=${row_runs[i]}
        fi
    done

    cases_timed=$((cases_timed + 1))
    local stem run
    stem=$(printf '%03d' "$cases_timed")-$pair-$served
    local bound=$SSHFS_BOUND
    if [[ $drive == mirror ]]; then
        bound=$MIRROR_BOUND
        [[ $pair == bigfiles ]] && bound=$MIRROR_BIGFILES_BOUND
    fi
    printf '%s\t%s\n' drive "$drive_title" label "$drive_label" pair "$pair" case "$served" \
        files $((files * sides)) bytes $((bytes * sides)) bound "$bound" \
        >"$results/$stem.case"
    echo "== slow, $pair, $served on it; $drive_title: timing ..."
    if [[ $drop_caches != 1 ]]; then
        # Both trees into the page cache, for every row alike.
        find "$base/$pair" -type f -print0 | xargs -0 cat >/dev/null
    fi
    for ((run = 1; run <= most; run++)); do
        for i in "${!names[@]}"; do
            ((run <= row_runs[i])) || continue
            slow_run "$results/$stem-runs" "${names[$i]}" "${commands[$i]}" "$base/$pair"
        done
    done
    /usr/bin/python3 "$here/slow_tables.py" case "$results" "$stem"
    echo
}

# Times every case of every pair of slow mode, `$1` runs of each row, on the
# slow drive as set.
time_slow_drive() {
    local runs=$1 pair served
    for pair in $slow_pairs; do
        for served in $slow_cases; do
            time_slow_case "$pair" "$served" "$runs"
        done
    done
}

# Mounts the image `$2` at `$3` through a device of diskmodel's model `$1`.
# The device runs in a session of its own, so that an interrupt of this
# script ends the command being timed but leaves the device to be taken
# down in order on the way out, and without the timing lock's descriptor.
mount_disk() {
    setsid -w "$diskmodel/mount.sh" "$1" "$2" "$3" >/dev/null 9>&- ||
        { echo "diskmodel could not mount $2 as $1 at $3" >&2; exit 1; }
}

# Takes down the device that mount_disk mounted at `$1`, where there is one:
# the file system, its loop device and diskmodel.
unmount_disk() {
    local state
    state=$(dirname "$1")/.$(basename "$1").diskmodel
    [[ -d $state ]] || return 0
    setsid -w "$diskmodel/umount.sh" "$1" >/dev/null ||
        { echo "diskmodel could not take down $1 (state in $state)" >&2; return 1; }
}

# Takes down whatever disk mode mounted or attached: the modelled devices and
# the images mounted directly to fill them (whose loop devices go with them).
take_down_disks() {
    local mount
    for mount in "$disk_dir/mnt/b" "$disk_dir/mnt/a"; do
        unmount_disk "$mount" || true
    done
    for mount in "$disk_dir/fill/b" "$disk_dir/fill/a"; do
        if mountpoint -q "$mount"; then
            umount "$mount" || echo "could not unmount $mount" >&2
        fi
    done
}

# Makes the empty ext4 image `$1` of DISK_IMAGE_BYTES, with the identity `$2`
# and the seed `$3` of its directories' hashes, its inode tables and journal
# written now rather than in the background after a mount.
make_disk_image() {
    truncate -s "$DISK_IMAGE_BYTES" "$1"
    mkfs.ext4 -q -U "$2" -E "lazy_itable_init=0,lazy_journal_init=0,hash_seed=$3" "$1"
}

# Makes disk mode's two images in $disk_dir/img through the fast path, each
# mounted directly on a loop device: source.img with the source tree of every
# pair of $disk_pairs, copied from $base, and copy.img with copies of those
# trees made from source.img as a user's copy of that source would be made:
# by cp -a, or with $disk_copy_with = tar by a tar pipe.
make_disk_images() {
    local images=$disk_dir/img fill=$disk_dir/fill pair
    make_disk_image "$images/source.img" "$DISK_SOURCE_UUID" "$DISK_SOURCE_HASH_SEED"
    make_disk_image "$images/copy.img" "$DISK_COPY_UUID" "$DISK_COPY_HASH_SEED"
    mount -o loop,noatime "$images/source.img" "$fill/a"
    for pair in $disk_pairs; do
        cp -a "$base/$pair/a" "$fill/a/$pair"
    done
    umount "$fill/a"
    mount -o loop,ro,noatime "$images/source.img" "$fill/a"
    mount -o loop,noatime "$images/copy.img" "$fill/b"
    for pair in $disk_pairs; do
        if [[ $disk_copy_with == tar ]]; then
            mkdir "$fill/b/$pair"
            tar -C "$fill/a/$pair" -cf - . | tar -C "$fill/b/$pair" -xpf -
        else
            cp -a "$fill/a/$pair" "$fill/b/$pair"
        fi
    done
    umount "$fill/b"
    umount "$fill/a"
}

# Times one run of the shell command `$4`, the row `$3`, with both images
# mounted afresh (the source through the ssd model, the copy through the
# model `$2`) and every cache dropped, and takes both down again; appends to
# `$1` a line "row<TAB>seconds<TAB>copy's statistics<TAB>source's
# statistics<TAB>reads<TAB>read ms": what each device served during the run
# as diskmodel's stats.sh gives it, and the reads that the copy's device had
# served before the run and the milliseconds they took, as its
# /sys/block/DEV/stat counts them.
disk_run() {
    local runs=$1 model=$2 name=$3 command=$4
    local a=$disk_dir/mnt/a b=$disk_dir/mnt/b device
    mount_disk ssd "$disk_dir/img/source.img" "$a"
    mount_disk "$model" "$disk_dir/img/copy.img" "$b"
    device=$(basename "$(<"$disk_dir/mnt/.b.diskmodel/loop")")
    bash -c "$DROP_ALL_CACHES"
    "$diskmodel/stats.sh" "$b" >/dev/null
    "$diskmodel/stats.sh" "$a" >/dev/null
    local before
    before=$(awk '{ print $1 "\t" $4 }' "/sys/block/$device/stat")
    # Microseconds since the epoch, whatever the locale's decimal point.
    local start=${EPOCHREALTIME/[^0-9]/} status=0
    bash -c "$command" >/dev/null 2>"$results/errors" || status=$?
    local took=$((${EPOCHREALTIME/[^0-9]/} - start))
    local copy_stats source_stats
    copy_stats=$("$diskmodel/stats.sh" "$b")
    source_stats=$("$diskmodel/stats.sh" "$a")
    unmount_disk "$b"
    unmount_disk "$a"
    if ((status != 0)); then
        echo "$name failed on the $model (exit status $status): $command" >&2
        cat "$results/errors" >&2
        exit 1
    fi
    printf '%s\t%d.%06d\t%s\t%s\t%s\n' "$name" $((took / 1000000)) $((took % 1000000)) \
        "$copy_stats" "$source_stats" "$before" >>"$runs"
}

# Times the rows of disk mode on the pair `$2`, its source on the ssd model
# and its copy on the model `$1`, and prints their table: $disk_runs runs of
# each row, but $disk_serial_runs of diff -rq and rsync -rcn, which read one
# file after another. The runs are interleaved (the first of every row, then
# the second, ...), so that changes in the load of the machine strike all
# rows alike.
time_disk_pair() {
    local model=$1 pair=$2
    local a=$disk_dir/mnt/a/$pair b=$disk_dir/mnt/b/$pair
    local files bytes
    read -r files bytes < <(find "$base/$pair/a" -type f -printf '%s\n' |
        awk '{ bytes += $1 } END { print NR, bytes + 0 }')
    local names commands
    program_rows "$a" "$b"
    names+=("diff -rq" "rsync -rcn" "rclone check" "one file at a time")
    commands+=("diff -rq $a $b" "rsync -rcn $a/ $b/" "$RCLONE_CHECK --checkers 8 $a $b"
        "$base/par_floor -t 1 $a $b")
    yardstick_rows "$a" "$b" 32 32
    local row_runs=() most=$disk_runs i run
    for i in "${!names[@]}"; do
        row_runs[i]=$disk_runs
        if [[ ${names[$i]} == "diff -rq" || ${names[$i]} == "rsync -rcn" ]]; then
            row_runs[i]=$disk_serial_runs
        fi
        if ((row_runs[i] > most)); then
            most=${row_runs[i]}
        fi
    done

    disk_cases=$((disk_cases + 1))
    local stem
    stem=disk-$(printf '%03d' "$disk_cases")-$model-$pair
    printf '%s\t%s\n' model "$model" pair "$pair" files "$files" bytes "$bytes" \
        >"$results/$stem.case"
    echo "== disk, $model, $pair: timing ..."
    for ((run = 1; run <= most; run++)); do
        echo "   round $run of $most ($(date +%T))"
        for i in "${!names[@]}"; do
            ((run <= row_runs[i])) || continue
            disk_run "$results/$stem-runs" "$model" "${names[$i]}" "${commands[$i]}"
        done
    done
    /usr/bin/python3 "$here/disk_tables.py" case "$results" "$stem"
    echo
}

# Prints the heading of the mode `$1` and trelvik's peak memory on the empty
# pair below `$2`.
mode_heading() {
    echo "=== $1: trelvik: $trelvik${baseline:+, baseline: $baseline}"
    run_costs "" "$trelvik $2/empty/a $2/empty/b" "$2/empty/b" >"$results/empty-memory"
    echo "peak memory of trelvik on an empty pair: $(cut -f1 "$results/empty-memory") KiB"
    echo "load average (other jobs share the cores): $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
}

# Runs the shell command `$1` under GNU time -v, holding the timing lock
# unless this script holds it already, and writes its report to `$2`.
timed_run() {
    local run=(/usr/bin/time -v -o "$2" bash -c "$1")
    if [[ -z ${TRELVIK_TIMING_LOCKED:-} ]]; then
        run=(flock "$TIMING_LOCK" "${run[@]}")
    fi
    "${run[@]}" >/dev/null 2>"$results/errors" ||
        { echo "failed: $1" >&2; cat "$results/errors" >&2; exit 1; }
}

# The memory that the system has available, in KiB.
available_kib() {
    awk '/^MemAvailable:/ { print $2 }' /proc/meminfo
}

# Times the rows of footprint mode on a tree of `$2` files of the shape `$1`,
# made on a tmpfs of its own at $TRELVIK_FOOTPRINT_TMPFS, with a copy made
# alike (or given as both directories when it holds more than
# FOOTPRINT_PAIR_MAX files); `RUNS` runs of each row (one for a tree given
# twice), interleaved. Each run's report of GNU time goes to
# $results/footprint-TREE-ROW-RUN.
time_footprint_tree() {
    local shape=$1 files=$2
    local tree=$shape-$files mount=$TRELVIK_FOOTPRINT_TMPFS trees=2 runs=${RUNS:-3}
    ((files > FOOTPRINT_PAIR_MAX)) && trees=1 runs=1
    local needed=$((files * trees * tmpfs_file_bytes / 1024 + FOOTPRINT_SPARE_KIB))
    if ((needed > $(available_kib))); then
        echo "== footprint, $tree: not made, it needs $needed KiB of memory and" \
            "$(available_kib) KiB are available"
        return
    fi
    local given=", and a copy made alike"
    ((trees == 1)) && given=", one tree given as both directories"
    echo "== footprint, $tree: making $files files$given ..."
    mount -t tmpfs -o size=90%,nr_inodes=0 trelvik-footprint "$mount"
    local before
    before=$(available_kib)
    /usr/bin/python3 "$here/make_many_files.py" "$mount/a" "$shape" "$files"
    local b=$mount/a
    if ((trees == 2)); then
        /usr/bin/python3 "$here/make_many_files.py" "$mount/b" "$shape" "$files"
        b=$mount/b
    fi
    tmpfs_file_bytes=$(((before - $(available_kib)) * 1024 / (files * trees)))
    local names commands run i
    program_rows "$mount/a" "$b"
    # diff finds a directory given twice identical at once, without a walk.
    if ((trees == 2)); then
        names+=("diff -rq")
        commands+=("diff -rq $mount/a $b")
    fi
    names+=("rsync -rcn")
    commands+=("rsync -rcn $mount/a/ $b/")
    printf '%s\n' "${names[@]}" >"$results/footprint-$tree.rows"
    echo "== footprint, $tree: timing, $runs run(s) of each row ..."
    for ((run = 1; run <= runs; run++)); do
        for i in "${!names[@]}"; do
            timed_run "${commands[$i]}" "$results/footprint-$tree-$i-$run"
        done
    done
    echo "$tree" >>"$results/footprint-trees"
    umount "$mount"
}

# Prints footprint mode's table from the reports in $results, with the
# program's targets.
print_footprint_table() {
    /usr/bin/python3 - "$results" <<'PYTHON'
import glob, re, statistics, sys
results = sys.argv[1]
# Peak memory of trelvik in KiB, at most, on the trees of the photos shape.
MEMORY_TARGETS = {1000000: 24000, 2000000: 44000, 10000000: 240000}
# The tree on which trelvik must not be slower than its baseline.
TIME_TARGET_TREE = "photos-1000000"

def report(path):
    text = open(path).read()
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)[1])
    clock = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", text)[1]
    seconds = 0.0
    for part in clock.split(":"):
        seconds = seconds * 60 + float(part)
    cpu = sum(float(re.search(rf"{kind} time \(seconds\): (\S+)", text)[1])
              for kind in ("User", "System"))
    return peak, seconds, cpu

empty = {}
for path in glob.glob(f"{results}/footprint-empty-*-1"):
    rows = open(f"{results}/footprint-empty.rows").read().splitlines()
    empty[rows[int(path.split("-")[-2])]] = report(path)[0]
print("footprint: peak resident memory of one run (GNU time -v) in KiB, and in bytes a file"
      " above the same row's on an empty pair; wall-clock seconds (median, min, max) and the"
      " median of user + system CPU seconds of the runs")
print(f"{'tree':<18}{'files':>10}  {'row':<18}{'peak KiB':>10}{'B/file':>8}"
      f"{'median s':>10}{'min s':>8}{'max s':>8}{'CPU s':>8}")
medians = {}
for tree in open(f"{results}/footprint-trees").read().split():
    if tree == "empty":
        continue
    files = int(tree.split("-")[1])
    for index, row in enumerate(open(f"{results}/footprint-{tree}.rows").read().splitlines()):
        runs = [report(path) for path in sorted(glob.glob(f"{results}/footprint-{tree}-{index}-*"))]
        peak = max(run[0] for run in runs)
        clock = [run[1] for run in runs]
        medians[(tree, row)] = statistics.median(clock)
        per_file = (peak - empty.get(row, 0)) * 1024 / files
        print(f"{tree:<18}{files:>10}  {row:<18}{peak:>10}{per_file:>8.1f}"
              f"{statistics.median(clock):>10.2f}{min(clock):>8.2f}{max(clock):>8.2f}"
              f"{statistics.median(run[2] for run in runs):>8.2f}")
        target = MEMORY_TARGETS.get(files)
        if row == "trelvik" and tree.startswith("photos-") and target:
            print(f"{'':<30}peak memory target: {peak} KiB <= {target} KiB: "
                  f"{'met' if peak <= target else 'MISSED'}")
after = medians.get((TIME_TARGET_TREE, "trelvik"))
before = medians.get((TIME_TARGET_TREE, "trelvik baseline"))
if after is not None and before is not None:
    print(f"time target on {TIME_TARGET_TREE}: trelvik {after:.2f} s <= baseline {before:.2f} s: "
          f"{'met' if after <= before else 'MISSED'}")
PYTHON
}

# Footprint mode, run by this script in a mount namespace of its own, where
# each tree is made on a tmpfs of its own and gone when it has been timed.
if [[ -n ${TRELVIK_FOOTPRINT_TMPFS:-} ]]; then
    echo "=== footprint (trees of empty files on a tmpfs): trelvik: $trelvik${baseline:+, baseline: $baseline}"
    echo "load average (other jobs share the cores): $(cut -d' ' -f1-3 /proc/loadavg)"
    tmpfs_file_bytes=$TMPFS_FILE_BYTES_GUESS
    : >"$results/footprint-trees"
    # The rows' memory without files, for the bytes a file.
    mkdir -p "$results/empty/a" "$results/empty/b"
    program_rows "$results/empty/a" "$results/empty/b"
    names+=("diff -rq" "rsync -rcn")
    commands+=("diff -rq $results/empty/a $results/empty/b" "rsync -rcn $results/empty/a/ $results/empty/b/")
    printf '%s\n' "${names[@]}" >"$results/footprint-empty.rows"
    for i in "${!names[@]}"; do
        timed_run "${commands[$i]}" "$results/footprint-empty-$i-1"
    done
    for tree in ${FOOTPRINT_TREES:-photos:1000000 photos:2000000 flat:1000000 long:1000000 photos:10000000}; do
        time_footprint_tree "${tree%%:*}" "${tree#*:}"
    done
    echo
    print_footprint_table
    echo "footprint mode took $SECONDS s"
    exit 0
fi

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
# slow drive is mounted afresh for every run.
if [[ -n ${TRELVIK_SLOW_MOUNT:-} ]]; then
    slow_mount=$TRELVIK_SLOW_MOUNT
    cases_timed=0
    mode_heading "slow (a FUSE mirror that answers every request after a delay; sshfs through \
a relay that delays what it forwards)" "$base"
    if [[ $drop_caches == 1 ]]; then
        echo "All caches are dropped before every run."
    else
        echo "Caches are not dropped (DROP_CACHES=1 drops them before every run); both" \
            "trees are read into the page cache before each case."
    fi
    fmt -w 100 <<EOF
The slow drive is mounted afresh for every run. diff -rq and rsync -rcn, which read one file after another, run $serial_runs time(s) per case (SLOW_SERIAL_RUNS), the other rows ${RUNS:-3} on the FUSE mirror and ${SSHFS_RUNS:-1} over sshfs. Per row: the median of its runs in seconds, and over rclone check's; then per run in the order timed: its seconds, the opens of files and of directories and the bytes read over the bytes on the slow drive, as the drive counted them; in flight: the most requests the drive had at once in any run, and the median of the runs' means over the time any was in flight.
EOF
    echo
    drive=mirror
    for delay in $slow_delays; do
        for background in $slow_backgrounds; do
            drive_options=("--delay-us=$delay")
            drive_title="FUSE mirror, every request answered after $delay µs, the kernel's \
limits (12 background requests, congested from 9)"
            drive_label="mirror $delay µs, kernel's limits"
            if [[ $background != default ]]; then
                drive_options+=("--max-background=$background")
                drive_title="FUSE mirror, every request answered after $delay µs, \
$background background requests"
                drive_label="mirror $delay µs, background $background"
            fi
            time_slow_drive "${RUNS:-3}"
        done
    done
    if [[ -n $relay_delays ]]; then
        drive=sshfs
        start_ssh_server
        for delay in $relay_delays; do
            start_relay "$delay"
            drive_title="sshfs through a relay that passes on each chunk to the server $delay µs \
after it came"
            drive_label="sshfs, relay $delay µs"
            time_slow_drive "${SSHFS_RUNS:-1}"
            stop "$relay"
            relay=""
        done
        stop_ssh_server
    fi
    /usr/bin/python3 "$here/slow_tables.py" summary "$results"
    echo "slow mode took $SECONDS s"
    exit 0
fi

# Disk mode, run by this script in a mount namespace of its own: the images
# lie on a tmpfs there, and every run mounts them afresh through the models.
if [[ -n ${TRELVIK_DISK_DIR:-} ]]; then
    disk_dir=$TRELVIK_DISK_DIR
    # An interrupt ends the script through its way out, which takes down
    # what it mounted and attached.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    disk_cases=0
    mode_heading "disk (the source on a modelled SSD, the copy on a modelled hard disk, USB \
stick or SSD)" "$base"
    needed=0
    for pair in $disk_pairs; do
        needed=$((needed + $(du -s -B1 "$base/$pair/a" | cut -f1)))
    done
    if ((needed * 100 > DISK_IMAGE_BYTES * DISK_IMAGE_FILL_PERCENT)); then
        echo "the source trees of $disk_pairs take $needed bytes, more than" \
            "$DISK_IMAGE_FILL_PERCENT % of an image of $DISK_IMAGE_BYTES bytes" >&2
        exit 2
    fi
    mount -t tmpfs -o size=$((2 * DISK_IMAGE_BYTES + 256 * 1024 * 1024)) trelvik-disk "$disk_dir"
    mkdir "$disk_dir/img" "$disk_dir/fill" "$disk_dir/fill/a" "$disk_dir/fill/b" \
        "$disk_dir/mnt" "$disk_dir/mnt/a" "$disk_dir/mnt/b"
    echo "== disk: making the images ($needed bytes of source trees) ..."
    images_start=$SECONDS
    make_disk_images
    copy_how="cp -a, which writes each directory's files in the order of their inode numbers there"
    [[ $disk_copy_with == tar ]] && copy_how="a tar pipe, in the order that image lists them"
    fmt -w 100 <<EOF
Two ext4 images of $((DISK_IMAGE_BYTES >> 20)) MiB on a tmpfs, made in $((SECONDS - images_start)) s: the source's with the source tree of each pair, the copy's with copies made from the source's image ($copy_how). Before every run both are mounted afresh, the source's through the ssd model, the copy's through the model under test, and all caches are dropped; after it both are taken down. diff -rq and rsync -rcn run $disk_serial_runs time(s) per model and pair (DISK_SERIAL_RUNS), the other rows $disk_runs (DISK_RUNS).
EOF
    echo
    for model in $disk_models; do
        for pair in $disk_pairs; do
            time_disk_pair "$model" "$pair"
        done
    done
    /usr/bin/python3 "$here/disk_tables.py" summary "$results"
    echo "disk mode took $SECONDS s"
    exit 0
fi

for mode in $modes; do
    case $mode in
        warm | cold | fresh | memory | slow | footprint | disk) ;;
        *) echo "MODE: unknown mode '$mode' (warm, cold, fresh, memory, slow, footprint or disk)" >&2
            exit 2 ;;
    esac
done
if [[ (" $modes " == *" cold "* || " $modes " == *" disk "* ||
    (" $modes " == *" slow "* && $drop_caches == 1)) && ! -w $DROP_CACHES_FILE ]]; then
    echo "cold and disk mode, and slow mode with DROP_CACHES=1, drop the page cache through" \
        "$DROP_CACHES_FILE, which is not writable here (it takes root, and a /proc/sys that" \
        "is not read-only): not timed." >&2
    exit 2
fi
for served in $slow_cases; do
    [[ $served == copy || $served == both ]] ||
        { echo "SLOW_CASES: unknown case '$served' (copy or both)" >&2; exit 2; }
done
for background in $slow_backgrounds; do
    [[ $background == default || $background =~ ^[1-9][0-9]*$ ]] ||
        { echo "SLOW_BACKGROUND: '$background' is neither 'default' nor a number" >&2; exit 2; }
done
for model in $disk_models; do
    [[ $model == hdd || $model == usb-stick || $model == ssd ]] ||
        { echo "DISK_MODELS: unknown model '$model' (hdd, usb-stick or ssd)" >&2; exit 2; }
done
[[ $disk_copy_with == cp || $disk_copy_with == tar ]] ||
    { echo "DISK_COPY_WITH: '$disk_copy_with' is neither cp nor tar" >&2; exit 2; }
for runs in "$disk_runs" "$disk_serial_runs"; do
    [[ $runs =~ ^[1-9][0-9]*$ ]] ||
        { echo "DISK_RUNS and DISK_SERIAL_RUNS: '$runs' is not a number of runs" >&2; exit 2; }
done
if [[ " $modes " == *" disk "* && ! -x $diskmodel/mount.sh ]]; then
    echo "disk mode needs diskmodel's scripts in $diskmodel" >&2
    exit 2
fi

# The tools, from Debian.
export DEBIAN_FRONTEND=noninteractive
missing=()
tools=(hyperfine:hyperfine rclone:rclone python3:python3 /usr/bin/time:time cc:gcc
    diff:diffutils xargs:findutils cmake:cmake ninja:ninja-build vmtouch:vmtouch
    unshare:util-linux flock:util-linux mountpoint:util-linux rsync:rsync strace:strace)
if [[ " $modes " == *" slow "* && -n $relay_delays ]]; then
    tools+=(sshfs:sshfs /usr/sbin/sshd:openssh-server "$SFTP_SERVER:openssh-sftp-server"
        ssh-keygen:openssh-client)
fi
if [[ " $modes " == *" disk "* ]]; then
    tools+=(mkfs.ext4:e2fsprogs losetup:mount setsid:util-linux pkg-config:pkg-config
        fusermount3:fuse3 tar:tar)
fi
for tool in "${tools[@]}"; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
# The io_uring yardstick is built against liburing, diskmodel against libfuse3.
[[ -e /usr/include/liburing.h ]] || missing+=(liburing-dev)
if [[ " $modes " == *" disk "* && ! -e /usr/include/fuse3/fuse.h ]]; then
    missing+=(libfuse3-dev)
fi
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
        [[ -n $slow_delays ]] && build_when_missing trelvik_fault_fs "$fault_fs"
        tree_pairs+=" $slow_pairs"
    elif [[ $mode == disk ]]; then
        tree_pairs+=" $disk_pairs"
    elif [[ $mode != footprint ]]; then
        tree_pairs+=" $pairs"
    fi
done

mkdir -p "$base"
if [[ -n ${tree_pairs// /} ]]; then
    /usr/bin/python3 "$here/make_trees.py" "$base" $tree_pairs
fi
[[ -r $yardsticks/par_floor.c && -r $yardsticks/uring_proto.c ]] ||
    { echo "the yardsticks par_floor.c and uring_proto.c are missing in $yardsticks" >&2; exit 2; }
cc -O2 -pthread -o "$base/par_floor" "$yardsticks/par_floor.c"
cc -O2 -o "$base/uring_proto" "$yardsticks/uring_proto.c" -luring
cc -O2 -pthread -o "$base/delay_relay" "$here/delay_relay.c"

# Takes the timing lock for the rest of the script, unless it holds it
# already. Footprint mode takes it only while it times a command, since
# making its trees takes minutes.
take_timing_lock() {
    if [[ -z ${TRELVIK_TIMING_LOCKED:-} ]]; then
        exec 9>>"$TIMING_LOCK"
        if ! flock -n 9; then
            echo "waiting for $TIMING_LOCK, which another job holds ..." >&2
            flock 9
        fi
        export TRELVIK_TIMING_LOCKED=1
    fi
}

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
    [[ $mode == footprint ]] || take_timing_lock
    if [[ $mode == footprint ]]; then
        in_own_mount_namespace TRELVIK_FOOTPRINT_TMPFS
    elif [[ $mode == memory ]]; then
        in_own_mount_namespace TRELVIK_PRIVATE_TMPFS
    elif [[ $mode == slow ]]; then
        in_own_mount_namespace TRELVIK_SLOW_MOUNT
    elif [[ $mode == disk ]]; then
        in_own_mount_namespace TRELVIK_DISK_DIR
    else
        start=$SECONDS
        mode_heading "$mode" "$base"
        for pair in $pairs; do
            time_pair "$mode" "$pair" "$base"
        done
        echo "$mode mode took $((SECONDS - start)) s"
    fi
done
