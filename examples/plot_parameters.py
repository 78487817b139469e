"""Draw chosen parameters of a plot file against time into an image.

Usage: python examples/plot_parameters.py FILE [-p INDEX ...] [-w WIDTH] [-o IMAGE]

Parameters are chosen by their index in the file (1 is the first after the
time; see the name lines of the header). Each gets its own panel, titled with
its name. Needs matplotlib: pip install "tolvik[examples]" or pip install matplotlib.
"""

import argparse
import sys

import tolvik


def parameter_names(path):
    """The names from the header: the count line's last token, then one per line."""
    # Lines end at a line feed only, as tolvik reads them: a lone CR stays in its line.
    with open(path, encoding="utf-8", newline="\n") as f:
        count = int(f.readline().split()[-1])
        return [f.readline().strip() for _ in range(count)]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Draw chosen parameters of a plot file against time."
    )
    parser.add_argument("file", help="the plot file")
    parser.add_argument(
        "-p",
        "--parameters",
        type=int,
        nargs="+",
        metavar="INDEX",
        help="indexes of the parameters to draw (default: the first three after the time)",
    )
    parser.add_argument(
        "-w",
        "--width",
        type=int,
        default=12,
        help="field width in bytes: 12 (six digits, the default) or 15 (nine digits)",
    )
    parser.add_argument(
        "-o", "--output", default="parameters.png", help="image to write (default: %(default)s)"
    )
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    try:
        import matplotlib

        matplotlib.use("Agg")  # draw into a file; no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        print("this example needs matplotlib: pip install matplotlib", file=sys.stderr)
        return 2

    times, columns = tolvik.rust_read_tarvelo(args.file, args.width)
    names = parameter_names(args.file)
    chosen = args.parameters or list(range(1, min(4, len(names))))
    bad = [p for p in chosen if not 1 <= p <= len(columns)]
    if bad:
        print(
            f"no such parameter: {', '.join(map(str, bad))} "
            f"(the file has 1 .. {len(columns)} besides the time)",
            file=sys.stderr,
        )
        return 2

    figure, axes = plt.subplots(
        len(chosen), 1, sharex=True, figsize=(7, 1.1 + 1.6 * len(chosen)), squeeze=False
    )
    for ax, p in zip(axes[:, 0], chosen):
        ax.plot(times, columns[p - 1], marker=".", markersize=3, linewidth=1.2)
        ax.set_title(f"{p}: {names[p]}", fontsize=10, loc="left")
        ax.grid(True, linewidth=0.4, alpha=0.6)
    axes[-1, 0].set_xlabel(names[0] if names else "time")
    figure.suptitle(f"{args.file}: {len(times)} blocks", fontsize=11)
    figure.tight_layout()
    figure.savefig(args.output, dpi=90)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
