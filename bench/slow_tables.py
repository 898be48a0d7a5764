#!/usr/bin/python3
"""Prints the tables of run.sh's slow mode from the files it leaves in a
results directory.

    slow_tables.py case RESULTS STEM   the table of one case
    slow_tables.py summary RESULTS     the ratios of every case timed so far

A case's files: STEM.case, lines "key<TAB>value" (drive, label: the drive in
short, pair, case, files and bytes on the slow drive, bound: the program's
target as a ratio to rclone check); STEM-runs, a line per run: row, seconds, opens, directory opens, bytes
read (as the drive counted them) and the peak and mean requests in flight ("-"
where the drive does not count them). Rows may have different numbers of runs
(diff -rq and rsync -rcn, which read one file after another, fewer); each
row's figure is the median of its own runs.
"""
import glob
import statistics
import sys
import textwrap

from table_format import print_table, runs_note

MIB = 1024 * 1024
RCLONE = "rclone check"
FLOOR = "drive limit"
# The serial peers, whose ratios to trelvik the summary shows too.
PEERS = ("diff -rq", "rsync -rcn")
# At most this many times the tree's bytes may the program read.
BYTES_BOUND = 1.02


def read_case(results, stem):
    case = dict(line.rstrip("\n").split("\t") for line in open(f"{results}/{stem}.case"))
    runs = {}
    for line in open(f"{results}/{stem}-runs"):
        name, seconds, opens, dir_opens, bytes_read, peak, mean = line.rstrip("\n").split("\t")
        runs.setdefault(name, []).append({
            "seconds": float(seconds), "opens": opens, "dir_opens": dir_opens,
            "bytes": bytes_read, "peak": peak, "mean": mean})
    return case, runs


def median_seconds(runs, name):
    return statistics.median(run["seconds"] for run in runs[name])


def floor_row(runs):
    return next((name for name in runs if name.startswith(FLOOR)), None)


def read_ratio(run, case):
    return "-" if run["bytes"] == "-" else f"{int(run['bytes']) / int(case['bytes']):.2f}"


def print_case(results, stem):
    case, runs = read_case(results, stem)
    print(textwrap.fill(f"slow, {case['pair']}, {case['case']} on it; {case['drive']}; "
                        f"{case['files']} files, {int(case['bytes']) / MIB:.1f} MiB on it; "
                        f"runs of each row: {runs_note(runs)}", 100))
    rclone = median_seconds(runs, RCLONE)
    rows = [["row", "median s", "x rclone", "seconds", "opens", "dir opens", "read/bytes",
             "in flight"]]
    for name, row_runs in runs.items():
        peaks = [run["peak"] for run in row_runs if run["peak"] != "-"]
        in_flight = (f"{max(map(int, peaks))}, "
                     f"{statistics.median(float(run['mean']) for run in row_runs):.1f}"
                     if peaks else "-")
        rows.append([name, f"{median_seconds(runs, name):.3f}",
                     f"{median_seconds(runs, name) / rclone:.2f}",
                     " ".join(f"{run['seconds']:.3f}" for run in row_runs),
                     " ".join(run["opens"] for run in row_runs),
                     " ".join(run["dir_opens"] for run in row_runs),
                     " ".join(read_ratio(run, case) for run in row_runs), in_flight])
    print_table(rows)

    ratio = median_seconds(runs, "trelvik") / rclone
    bound = float(case["bound"])
    verdicts = [f"{ratio:.2f} x rclone check (at most {bound:.2f}: "
                f"{'met' if ratio <= bound else 'MISSED'})"]
    opens = [int(run["opens"]) for run in runs["trelvik"] if run["opens"] != "-"]
    if opens:
        verdicts.append(f"at most {max(opens)} opens for {case['files']} files "
                        f"(one each: {'met' if max(opens) <= int(case['files']) else 'MISSED'})")
    read = [int(run["bytes"]) / int(case["bytes"]) for run in runs["trelvik"]
            if run["bytes"] != "-"]
    if read:
        verdicts.append(f"at most {max(read):.3f} x the bytes read (at most {BYTES_BOUND}: "
                        f"{'met' if max(read) <= BYTES_BOUND else 'MISSED'})")
    print("targets of trelvik: " + "; ".join(verdicts))


def print_summary(results):
    rows = [["drive", "tree", "on it", "trelvik s", "baseline s", "rclone s",
             "trelvik/rclone", "baseline/rclone", "trelvik/32 cat"]
            + [f"trelvik/{peer}" for peer in PEERS]]
    for path in sorted(glob.glob(f"{results}/*.case")):
        case, runs = read_case(results, path[len(results) + 1:-len(".case")])
        rclone = median_seconds(runs, RCLONE)
        trelvik = median_seconds(runs, "trelvik")
        baseline = (median_seconds(runs, "trelvik baseline")
                    if "trelvik baseline" in runs else None)
        floor = floor_row(runs)
        rows.append([case["label"], case["pair"], case["case"], f"{trelvik:.3f}",
                     "-" if baseline is None else f"{baseline:.3f}", f"{rclone:.3f}",
                     f"{trelvik / rclone:.2f}",
                     "-" if baseline is None else f"{baseline / rclone:.2f}",
                     "-" if floor is None else f"{trelvik / median_seconds(runs, floor):.2f}"]
                    + ["-" if peer not in runs else f"{trelvik / median_seconds(runs, peer):.2f}"
                       for peer in PEERS])
    print("slow mode, all cases: medians in seconds, and their ratios in the same run")
    print_table(rows)


if __name__ == "__main__":
    if sys.argv[1] == "case":
        print_case(sys.argv[2], sys.argv[3])
    else:
        print_summary(sys.argv[2])
