#!/usr/bin/python3
"""Prints the tables of run.sh's disk mode from the files it leaves in a
results directory.

    disk_tables.py case RESULTS STEM   the table of one model and pair
    disk_tables.py summary RESULTS     every model and pair timed so far

A case's files: STEM.case, lines "key<TAB>value" (model: the copy's device,
pair, files and bytes in the source tree); STEM-runs, a line per run: row,
seconds, the statistics of the copy's device over the run and those of the
source's (diskmodel's lines of "key=value" fields), and the reads that the
copy's device had served before the run and the milliseconds they took (its
/sys/block/DEV/stat). Rows may have different numbers of runs (diff -rq and
rsync -rcn, which read one file after another, fewer); each row's figures
are the medians of its own runs.
"""
import glob
import statistics
import sys
import textwrap

from table_format import print_table, runs_note

MIB = 1024 * 1024
DIFF = "diff -rq"
RCLONE = "rclone check"
BASELINE = "trelvik baseline"
# The program's targets, as its median over diff -rq's: model -> the bound on
# every pair, and the pairs with a bound of their own.
TARGETS = {
    "hdd": (1.0, {"fewmixed": 0.9, "smallfiles": 0.7, "photos": 0.6}),
    "usb-stick": (0.8, {}),
    "ssd": (0.5, {}),
}
# What the hdd model describes of its seeks, beside what every model counts.
HDD_FIELDS = ("seeks", "near")
# Where the program takes a device that the kernel calls rotational for a
# rotating disk: its reads so far took at least this long on average, in
# milliseconds, or there were none.
SEEK_MILLISECONDS = 1


def fields(line):
    return dict(field.split("=", 1) for field in line.split())


def read_case(results, stem):
    case = dict(line.rstrip("\n").split("\t") for line in open(f"{results}/{stem}.case"))
    runs = {}
    for line in open(f"{results}/{stem}-runs"):
        name, seconds, copy, source, reads, read_ms = line.rstrip("\n").split("\t")
        runs.setdefault(name, []).append({
            "seconds": float(seconds), "copy": fields(copy), "source": fields(source),
            "reads": int(reads), "read_ms": int(read_ms)})
    return case, runs


def median_seconds(runs, name):
    return statistics.median(run["seconds"] for run in runs[name])


def median_field(row_runs, device, name):
    return statistics.median(float(run[device][name]) for run in row_runs)


def bound(model, pair):
    every, own = TARGETS[model]
    return own.get(pair, every)


def verdict(ratio, at_most):
    return f"{ratio:.2f} x diff -rq (at most {at_most:.2f}: {'met' if ratio <= at_most else 'MISSED'})"


def print_case(results, stem):
    case, runs = read_case(results, stem)
    model = case["model"]
    print(textwrap.fill(
        f"disk, copy on the {model} model, source on the ssd model, {case['pair']}: "
        f"{case['files']} files, {int(case['bytes']) / MIB:.1f} MiB in each tree; runs of each "
        f"row: {runs_note(runs)}. Seconds: median, min, max; x diff -rq: the row's median over "
        f"diff -rq's; from the copy's device, medians over the row's runs: the requests it "
        f"served, the mean number at the device while it was busy (mean_depth)"
        + (", the seeks and the requests served without one (near)" if model == "hdd" else "")
        + "; src requests: the requests the source's device served.", 100))
    diff = median_seconds(runs, DIFF) if DIFF in runs else None
    extra = HDD_FIELDS if model == "hdd" else ()
    rows = [["row", "median s", "min", "max", "x diff -rq", "requests", "mean_depth", *extra,
             "src requests"]]
    for name, row_runs in runs.items():
        seconds = [run["seconds"] for run in row_runs]
        rows.append([name, f"{statistics.median(seconds):.3f}", f"{min(seconds):.3f}",
                     f"{max(seconds):.3f}",
                     "-" if diff is None else f"{statistics.median(seconds) / diff:.2f}",
                     f"{median_field(row_runs, 'copy', 'requests'):.0f}",
                     f"{median_field(row_runs, 'copy', 'mean_depth'):.2f}",
                     *(f"{median_field(row_runs, 'copy', field):.0f}" for field in extra),
                     f"{median_field(row_runs, 'source', 'requests'):.0f}"])
    print_table(rows)

    every = [run for row_runs in runs.values() for run in row_runs]
    reads = statistics.median(run["reads"] for run in every)
    read_ms = statistics.median(run["read_ms"] for run in every)
    average = read_ms / reads if reads else 0.0
    print(textwrap.fill(
        f"the copy's device before each run (median over all runs): {reads:.0f} reads in "
        f"{read_ms:.0f} ms, {average:.2f} ms a read (a rotating disk to the program where the "
        f"kernel calls it rotational and this is at least {SEEK_MILLISECONDS} ms, or there "
        f"were none)", 100))
    if diff is not None and model in TARGETS:
        ratio = median_seconds(runs, "trelvik") / diff
        print(f"target of trelvik: {verdict(ratio, bound(model, case['pair']))}")


def print_summary(results):
    rows = [["model", "tree", "trelvik s", "baseline s", "diff -rq s", "rclone s",
             "trelvik/diff", "baseline/diff", "rclone/diff", "target"]]
    for path in sorted(glob.glob(f"{results}/disk-*.case")):
        case, runs = read_case(results, path[len(results) + 1:-len(".case")])
        trelvik = median_seconds(runs, "trelvik")
        diff = median_seconds(runs, DIFF)
        rclone = median_seconds(runs, RCLONE)
        baseline = median_seconds(runs, BASELINE) if BASELINE in runs else None
        at_most = bound(case["model"], case["pair"])
        rows.append([case["model"], case["pair"], f"{trelvik:.3f}",
                     "-" if baseline is None else f"{baseline:.3f}", f"{diff:.3f}",
                     f"{rclone:.3f}", f"{trelvik / diff:.2f}",
                     "-" if baseline is None else f"{baseline / diff:.2f}",
                     f"{rclone / diff:.2f}",
                     f"<= {at_most:.2f}: {'met' if trelvik / diff <= at_most else 'MISSED'}"])
    print("disk mode, every model and pair: medians in seconds, and their ratios to diff -rq's"
          " in the same run; target: trelvik/diff's bound")
    print_table(rows)


if __name__ == "__main__":
    if sys.argv[1] == "case":
        print_case(sys.argv[2], sys.argv[3])
    else:
        print_summary(sys.argv[2])
