"""Print a short summary of a plot file: block count, time range and the range
of every other parameter.

Usage: python examples/summary.py FILE [FIELD_WIDTH]   (field width defaults to 12)
"""

import sys

import tolvik


def parameter_names(path):
    """The names from the header: the count line's last token, then one per line."""
    # Lines end at a line feed only, as tolvik reads them: a lone CR stays in its line.
    with open(path, encoding="utf-8", newline="\n") as f:
        count = int(f.readline().split()[-1])
        return [f.readline().strip() for _ in range(count)]


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    path = argv[1]
    width = int(argv[2]) if len(argv) == 3 else 12

    times, columns = tolvik.rust_read_tarvelo(path, width)
    names = parameter_names(path)
    print(f"{path}: {len(columns) + 1} parameters, {len(times)} blocks", end="")
    if not times:
        print()
        return 0
    # Values are single precision: six significant digits show them as written.
    print(f"; time {min(times):.6g} .. {max(times):.6g}")
    for name, values in zip(names[1:], columns):
        print(f"  {name:<16} {min(values):>12.6g} .. {max(values):.6g}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
