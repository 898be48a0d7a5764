"""What the benchmark's table scripts share: how a case's runs are counted
and how a table is laid out."""


def runs_note(runs):
    """How many runs each row had: "3", or "3; diff -rq, rsync -rcn: 1"."""
    by_count = {}
    for name, row_runs in runs.items():
        by_count.setdefault(len(row_runs), []).append(name)
    common = len(runs["trelvik"])
    return "; ".join([str(common)] + [f"{', '.join(names)}: {count}"
                                      for count, names in by_count.items() if count != common])


def print_table(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width)
                                             for cell, width in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip())
