#!/usr/bin/env python3
"""A factory line on one PC: N paced updates at once, each station with its own emulator.

Every updater looks over /proc for its line's holders, and there every other station's updater
and emulator, so the cost of those looks grows with the square of the stations. Prints the
updaters' CPU time in all and the worst station's paced time against the wire time (10 bits a
byte at 115200 baud, the erase left out); all N updates must complete.

usage: bench/stations.py N [--build DIR] [--erase-ms MS]
"""
import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from update_timing import FROM_DEVICE, TO_DEVICE, one_update  # noqa: E402

BAUD = 115200


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("stations", type=int)
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--erase-ms", type=int, default=2000)
    args = parser.parse_args()
    updater = os.path.join(args.build, "tarvolo_updater")
    emulator = os.path.join(args.build, "tools", "loader_emulator", "tarvolo_loader_emulator")

    with ThreadPoolExecutor(max_workers=args.stations) as pool:
        runs = list(pool.map(lambda _: one_update(updater, emulator, args.erase_ms, BAUD), range(args.stations)))
    wire = (TO_DEVICE + FROM_DEVICE) * 10 / BAUD
    ratios = [(r["wall"] - args.erase_ms / 1000) / wire for r in runs]
    failed = sum(1 for r in runs if r["status"] != 0 or r["device"] != 0 or not r["identical"])
    print(f"stations {args.stations}: updaters' CPU in all {sum(r['cpu'] for r in runs):.2f} s, "
          f"worst ratio {max(ratios):.4f}, median ratio {sorted(ratios)[len(ratios) // 2]:.4f}")
    if failed:
        print(f"{failed} updates failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
