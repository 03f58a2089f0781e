"""Read 10 ms blocks for a while and report every gap: a loss is never
silent. With --slow the reader falls behind on purpose (the module floods).

    PYTHONPATH=python python3 python/examples/watch_loss.py [--seconds S] [--slow]
"""
import argparse
import time

import kr2270


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--slow", action="store_true", help="flood the reader to force gaps")
    args = parser.parse_args()
    with kr2270.Simulator(sequence=True, flood=args.slow) as sim:
        with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
            with dev.stream(rate=256000, channels=range(1, 9), di=True) as s:
                wanted = int(args.seconds * 256000)
                reported = 0
                while s.groups_read < wanted:
                    block = s.read(2560, timeout=2.0)
                    if args.slow:
                        time.sleep(0.05)         # an application busy elsewhere
                    for gap in block.gaps:
                        report(gap, s.layout.rate)
                    reported += len(block.gaps)
                s.stop()
                # Groups dropped after the last block read are a gap too.
                for gap in s.gaps[reported:]:
                    report(gap, s.layout.rate)
                print(f"read {s.groups_read} groups, lost {s.lost_groups}")


def report(gap, rate):
    print(f"gap at {gap.index / rate:.6f} s (index {gap.index}): {gap.missing} groups "
          f"missing ({gap.cause_text})")


if __name__ == "__main__":
    main()
