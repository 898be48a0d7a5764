#!/usr/bin/python3
"""Creates a tree of many empty files for the benchmark's files mode.

    make_many_files.py ROOT SHAPE COUNT

SHAPE is one of
  photos  COUNT files, 1,000 per directory, named like
          Fotos/0042/Urlaub_0042/IMG_0042123.JPG
  flat    COUNT files in one directory, Fotos/IMG_0042123.JPG
  long    as photos, with directory names long enough that every path is
          200 bytes

Each file is made by one mknod, with no content, so that making millions of
them takes seconds per million on a tmpfs.
"""
import os
import stat
import sys

FILES_PER_DIRECTORY = 1000
LONG_PATH_BYTES = 200
FILE_MODE = 0o644 | stat.S_IFREG


def photo_directories(count, long_names):
    """The directories of the photos and long shapes, with the first number
    of the files in each."""
    for first in range(0, count, FILES_PER_DIRECTORY):
        number = first // FILES_PER_DIRECTORY
        directory = f"Fotos/{number:04d}/Urlaub_{number:04d}"
        if long_names:
            # The rest of the 200 bytes, after "/" and the file's name.
            rest = LONG_PATH_BYTES - len(directory) - len("/IMG_0000000.JPG") - 1
            directory += "_" + "x" * rest
        yield directory, first


def make(root, shape, count):
    if shape == "flat":
        layout = [("Fotos", 0)]
        per_directory = count
    else:
        layout = photo_directories(count, shape == "long")
        per_directory = FILES_PER_DIRECTORY
    for directory, first in layout:
        path = os.path.join(root, directory)
        os.makedirs(path, exist_ok=True)
        for index in range(first, min(count, first + per_directory)):
            os.mknod(f"{path}/IMG_{index:07d}.JPG", FILE_MODE)


def main():
    if len(sys.argv) != 4 or sys.argv[2] not in ("photos", "flat", "long"):
        sys.exit(__doc__)
    make(sys.argv[1], sys.argv[2], int(sys.argv[3]))


if __name__ == "__main__":
    main()
