"""python3 -m kr2270 export REC (--hdf5 OUT.h5 | --csv OUT.csv [--codes] | --npy DIR)
   python3 -m kr2270 plot REC -o OUT.png [--channels 1 2] [--from S] [--seconds S]
   python3 -m kr2270 info REC"""
import argparse
import sys

from . import Error, Recording, version
from .export import to_csv, to_hdf5, to_npy
from .plotting import plot


def _export(args):
    if not (args.hdf5 or args.csv or args.npy):
        raise SystemExit("export: give at least one of --hdf5, --csv, --npy")
    with Recording(args.recording) as rec:
        if args.hdf5:
            to_hdf5(rec, args.hdf5)
            print(args.hdf5)
        if args.csv:
            to_csv(rec, args.csv, codes=args.codes)
            print(args.csv)
        if args.npy:
            for path in to_npy(rec, args.npy):
                print(path)


def _plot(args):
    with Recording(args.recording) as rec:
        plot(rec, args.output, channels=args.channels, start=args.start, seconds=args.seconds)
    print(args.output)


def _info(args):
    with Recording(args.recording) as rec:
        print(rec)
        print(f"{rec.seconds:g} s; files: {', '.join(rec.files)}")
        line = rec.timeline
        print(f"timeline: {line.source_text}; start {line.start_text or 'unknown'}; "
              f"indices {line.first_index} to {max(line.next_index, 1) - 1}; "
              f"{line.gaps} gaps ({line.missing_groups} groups missing)")
        for gap in rec.gaps:
            print(f"  gap {gap.number} before group {gap.position}: {gap.missing} groups "
                  f"missing from index {gap.index} ({gap.cause_text})")
        for key, value in rec.settings().items():
            print(f"  {key}: {value}")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m kr2270",
                                     description=f"kr2270 recordings (library {version()})")
    sub = parser.add_subparsers(dest="command", required=True)
    export = sub.add_parser("export", help="write a recording as HDF5, CSV or NPY")
    export.add_argument("recording", help="first file of the recording (..._1.dat)")
    export.add_argument("--hdf5", metavar="OUT.h5")
    export.add_argument("--csv", metavar="OUT.csv")
    export.add_argument("--codes", action="store_true",
                        help="add each analog channel's code to the CSV")
    export.add_argument("--npy", metavar="DIR", help="one .npy per channel kind in DIR")
    export.set_defaults(run=_export)
    draw = sub.add_parser("plot", help="write a PNG of a recording")
    draw.add_argument("recording")
    draw.add_argument("-o", "--output", required=True, metavar="OUT.png")
    draw.add_argument("--channels", type=int, nargs="+", metavar="CH")
    draw.add_argument("--from", dest="start", type=float, metavar="S", help="start, seconds")
    draw.add_argument("--seconds", type=float, metavar="S", help="length, seconds")
    draw.set_defaults(run=_plot)
    info = sub.add_parser("info", help="print a recording's settings")
    info.add_argument("recording")
    info.set_defaults(run=_info)
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except (Error, ValueError, OSError) as e:
        print(f"kr2270: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
