#!/usr/bin/python3
"""Creates the benchmark's pairs of trees below a base directory.

Each pair is a directory holding `a` (the source) and `b` (an exact copy made
with cp -a). The contents come from a seeded generator, so every run on every
machine makes the same trees. A pair that is complete (its `done` marker
matches the current layout) is left alone, so running this again costs
nothing.
"""
import os
import random
import shutil
import subprocess
import sys
import time

KIB = 1024
MIB = 1024 * KIB

# Bump when the layout of a pair changes, so that old trees are made anew.
LAYOUT_VERSION = "1"

# A pair without its marker that changed this recently is taken to be made by
# another process at this moment: it is waited for, not made anew.
IN_PROGRESS_SECONDS = 120
WAIT_SECONDS = 10

# Words for file names: plain ASCII, German with umlauts (two bytes per
# character in UTF-8) and a few long ones that the console has to shorten.
WORDS = [
    "bericht", "rechnung", "foto", "notizen", "backup", "daten",
    "Überweisung", "Straße", "Größenübersicht", "Bücherliste", "Äpfel_und_Öl",
    "sehr_langer_dateiname_einer_jahresabrechnung_mit_allen_belegen_und_anlagen",
    "Protokoll_der_Mitgliederversammlung_über_die_Änderungen_der_Gebührenordnung",
]
EXTENSIONS = [".txt", ".pdf", ".jpg", ".dat", ".odt"]


def write_random_file(rng, path, size):
    with open(path, "wb") as out:
        remaining = size
        while remaining > 0:
            chunk = min(remaining, 4 * MIB)
            out.write(rng.randbytes(chunk))
            remaining -= chunk


def file_name(rng, index):
    return f"{index:06d}_{rng.choice(WORDS)}{rng.choice(EXTENSIONS)}"


def write_files(rng, directories, count, random_size):
    """`count` files of sizes drawn by `random_size`, the directories taken in
    turn and made where they are missing."""
    for index in range(count):
        size = random_size(rng)
        directory = directories[index % len(directories)]
        os.makedirs(directory, exist_ok=True)
        write_random_file(rng, f"{directory}/{file_name(rng, index)}", size)


def size_up_to(limit):
    """Sizes of 0 to `limit` bytes, leaning towards the small end, as on real
    disks."""
    return lambda rng: int((limit + 1) * rng.random() ** 2)


small_size = size_up_to(16 * KIB)


def mixed_size(rng):
    """16 KiB to 4 MiB, spread evenly over the logarithm of the size and then
    pulled towards the small end (280 KiB on average)."""
    return int(16 * KIB * 256 ** (rng.random() ** 3))


def small_tree(rng, root):
    """About 50,000 files of 0-16 KiB in 468 directories, 1-5 levels deep;
    the files sit in the 448 directories that are 3-5 levels deep."""
    directories = []
    for a in range(4):
        for b in range(4):
            for c in range(4):
                level3 = f"{root}/ordner_{a}/teil_{b}/gruppe_{c}"
                directories.append(level3)
                for d in range(2):
                    level4 = f"{level3}/Jahr_20{d + 10}"
                    directories.append(level4)
                    for e in range(2):
                        directories.append(f"{level4}/Monat_{e + 1:02d}")
    write_files(rng, directories, 50000, small_size)


def large_tree(rng, root):
    """Two files of 256 MiB each."""
    os.makedirs(f"{root}/images", exist_ok=True)
    for index in range(2):
        write_random_file(rng, f"{root}/images/disk_{index}.img", 256 * MIB)


def mixed_tree(rng, root):
    """1,000 files of 16 KiB to 4 MiB in 20 directories (about 280 MiB in
    all)."""
    write_files(rng, [f"{root}/sammlung_{index:02d}" for index in range(20)], 1000, mixed_size)


def smallfiles_tree(rng, root):
    """2,000 files of 0-16 KiB in 8 directories, 2 levels deep, for a slow
    drive that answers each request after a delay."""
    directories = [f"{root}/ordner_{a}/teil_{b}" for a in range(2) for b in range(4)]
    write_files(rng, directories, 2000, small_size)


def fewmixed_tree(rng, root):
    """200 files of 16 KiB to 4 MiB in 4 directories (about 60 MiB), for a
    slow drive."""
    write_files(rng, [f"{root}/sammlung_{index:02d}" for index in range(4)], 200, mixed_size)


def photos_tree(rng, root):
    """About 3,000 files of 0-64 KiB in 1,230 directories, as a photo library
    sorted by day: 4 years of 12 months, each with 24 or 25 days' folders
    (1,178 in all), each day holding 2 or 3 files; for a slow drive, whose
    walk pays a few round trips per directory."""
    days = []
    for year in range(2019, 2023):
        for month in range(1, 13):
            count = 25 if len(days) < 26 * 25 else 24
            for day in sorted(rng.sample(range(1, 29), count)):
                days.append(f"{root}/{year}/{month:02d}/{year}-{month:02d}-{day:02d}")
    write_files(rng, days, 3000, size_up_to(64 * KIB))


def bigfiles_tree(rng, root):
    """Four files of 128 MiB (videos, disk images), for a slow drive."""
    os.makedirs(f"{root}/videos", exist_ok=True)
    for index in range(4):
        write_random_file(rng, f"{root}/videos/film_{index}.mkv", 128 * MIB)


PAIRS = {
    "small": small_tree,
    "large": large_tree,
    "mixed": mixed_tree,
    "smallfiles": smallfiles_tree,
    "fewmixed": fewmixed_tree,
    "photos": photos_tree,
    "bigfiles": bigfiles_tree,
}


def is_complete(marker):
    return os.path.exists(marker) and open(marker).read() == LAYOUT_VERSION


def seconds_since_last_change(pair):
    newest = os.stat(pair).st_mtime
    for directory, _, files in os.walk(pair):
        for name in [directory] + [f"{directory}/{f}" for f in files]:
            try:
                newest = max(newest, os.stat(name).st_mtime)
            except FileNotFoundError:
                pass
    return time.time() - newest


def make_pair(base, name):
    pair = f"{base}/{name}"
    marker = f"{pair}/done"
    while (os.path.exists(pair) and not is_complete(marker)
           and seconds_since_last_change(pair) < IN_PROGRESS_SECONDS):
        print(f"waiting for the pair {name}, which another process is making ...",
              file=sys.stderr, flush=True)
        time.sleep(WAIT_SECONDS)
    if is_complete(marker):
        return
    if os.path.exists(pair):
        shutil.rmtree(pair)
    os.makedirs(pair)
    print(f"making the pair {name} in {pair} ...", file=sys.stderr, flush=True)
    PAIRS[name](random.Random(f"trelvik-bench-{name}"), f"{pair}/a")
    subprocess.run(["cp", "-a", f"{pair}/a", f"{pair}/b"], check=True)
    with open(marker, "w") as out:
        out.write(LAYOUT_VERSION)


def main():
    base = sys.argv[1]
    names = sys.argv[2:] or list(PAIRS)
    for name in names:
        make_pair(base, name)
    os.makedirs(f"{base}/empty/a", exist_ok=True)
    os.makedirs(f"{base}/empty/b", exist_ok=True)


if __name__ == "__main__":
    main()
