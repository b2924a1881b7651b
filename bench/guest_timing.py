#!/usr/bin/env python3
"""Times one complete update paced at 115200 baud through a real kernel driver: the updater in a
QEMU guest on the FTDI adapter (ftdi_sio), the loader emulator on the host.

Runs the guest suite's bench case (DISABLED_Bench/GuestUpdate.Run/ftdi_paced_115200, which also
checks that the update is complete) and reads the emulator's timestamped transcript: the time from
the first frame to the last, less the erase, against the wire time of the whole exchange at 10 bits
per byte.

usage: bench/guest_timing.py [--build DIR]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from update_timing import FROM_DEVICE, TO_DEVICE

BAUD = 115200
STAMP = re.compile(r"^\+(\d+\.\d+) (host>|dev> |note ) (.*)$")


def transcript_times(path):
    """First and last frame time and the erase time, in seconds, from the emulator's transcript."""
    frames = []
    erase_began = erase_ended = None
    with open(path) as f:
        for line in f:
            found = STAMP.match(line)
            if not found:
                continue
            at, tag, what = float(found[1]), found[2], found[3]
            if tag == "note " and what.startswith("erasing for"):
                erase_began = at
            elif tag == "note " and what == "erase finished":
                erase_ended = at
            elif tag != "note ":
                frames.append(at)
    if not frames or erase_began is None or erase_ended is None:
        raise SystemExit(f"{path}: no complete exchange in the transcript")
    return frames[0], frames[-1], erase_ended - erase_began


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(root, "build", "ci"))
    args = parser.parse_args()
    tests = os.path.join(args.build, "tests", "guest", "tarvolo_guest_tests")

    with tempfile.TemporaryDirectory() as keep:
        run = subprocess.run([tests, "--gtest_also_run_disabled_tests", "--gtest_filter=DISABLED_Bench/*"],
                             env=dict(os.environ, TARVOLO_GUEST_KEEP_DIR=keep), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=400)
        if run.returncode != 0:
            print(run.stdout, file=sys.stderr)
            print("the paced update in the guest failed", file=sys.stderr)
            return 1
        print("".join(line + "\n" for line in run.stdout.splitlines() if line.startswith("[ guest")), end="")
        first, last, erase = transcript_times(os.path.join(keep, "transcript.txt"))

    wire = (TO_DEVICE + FROM_DEVICE) * 10 / BAUD
    transfer = last - first - erase
    print(f"{'run':<28}{'first-last s':>14}{'erase s':>9}{'wire s':>9}{'ratio':>9}")
    print(f"{'guest ftdi_sio, 115200':<28}{last - first:>14.2f}{erase:>9.2f}{wire:>9.2f}{transfer / wire:>9.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
