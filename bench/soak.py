#!/usr/bin/env python3
"""Consecutive complete updates against the loader emulator (unpaced).

Fails unless every update completes with status 0 and the device receives the image intact, and
unless the updater's peak memory stays flat from the first run to the last.

usage: bench/soak.py [--build DIR] [--runs N] [--erase-ms MS]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from update_timing import one_update  # noqa: E402

# Peak resident memory of runs varies with the kernel's accounting and which pages of the C
# library a run touches (seen: 268 KiB between two of 20 runs); a leak per update would add at
# least the image buffer (480 KiB) each time.
FLAT_KIB = 448


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--erase-ms", type=int, default=0)
    args = parser.parse_args()
    updater = os.path.join(args.build, "tarvolo_updater")
    emulator = os.path.join(args.build, "tools", "loader_emulator", "tarvolo_loader_emulator")

    peaks = []
    failures = 0
    for i in range(args.runs):
        r = one_update(updater, emulator, args.erase_ms, 0, port=1 + i % 255)
        peaks.append(r["rss_kib"])
        if r["status"] != 0 or r["device"] != 0 or not r["identical"]:
            failures += 1
            print(f"run {i + 1}: status {r['status']}, device {r['device']}, identical {r['identical']}", flush=True)
    spread = max(peaks) - min(peaks)
    print(f"{args.runs} updates, {failures} failed; peak memory {min(peaks)} to {max(peaks)} KiB "
          f"(first {peaks[0]}, last {peaks[-1]})")
    if spread > FLAT_KIB:
        print(f"peak memory not flat: spread {spread} KiB", file=sys.stderr)
        return 1
    print(f"{args.runs - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
