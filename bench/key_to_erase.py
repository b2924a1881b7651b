#!/usr/bin/env python3
"""Times the start key to the erase frame, on a quiet machine and with more processes on it.

Between the two the updater makes sure that no other program has opened the line while the start
prompt waited: what that costs is what the device waits, and what a program opening the line
meanwhile could slip through. The times come from strace (--seccomp-bpf: only the writes stop
the updater): the write of the start prompt, after which the key wait ends at once without a
terminal, to the write of the 7-byte erase frame. Each run is a complete update.

usage: bench/key_to_erase.py [--build DIR] [--runs N] [--extra N ...]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from busy_machine import extra_processes  # noqa: E402
from update_timing import IMAGE_SIZE, start_emulator  # noqa: E402

WRITE = re.compile(r"^\d+\s+(\d+\.\d+) write\((\d+), \"(.*)\", (\d+)\)")


def key_to_erase_ms(updater, emulator):
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "fw.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))
        device = start_emulator(emulator, work, 5, 200, 0, work)
        trace = os.path.join(work, "trace")
        run = subprocess.run(["strace", "-f", "--seccomp-bpf", "-ttt", "-e", "trace=write", "-s", "48", "-o", trace,
                              updater], input=f"5\n{image}\n".encode(), stdout=subprocess.DEVNULL,
                             env=dict(os.environ, TARVOLO_COM_DIR=work), start_new_session=True)
        device.wait(timeout=30)
        prompt = erase = None
        with open(trace) as f:
            for line in f:
                m = WRITE.match(line)
                if not m:
                    continue
                if prompt is None and m.group(2) == "1" and "Press any key to start" in m.group(3):
                    prompt = float(m.group(1))
                elif prompt is not None and m.group(4) == "7":
                    erase = float(m.group(1))
                    break
        if run.returncode != 0 or device.returncode != 0 or prompt is None or erase is None:
            raise SystemExit(f"the update failed (status {run.returncode}, device {device.returncode})")
        return 1000 * (erase - prompt)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--extra", type=int, nargs="+", default=[0, 5000, 10000])
    args = parser.parse_args()
    updater = os.path.join(args.build, "tarvolo_updater")
    emulator = os.path.join(args.build, "tools", "loader_emulator", "tarvolo_loader_emulator")
    print(f"{'more processes':>15}  key to erase frame, ms")
    for count in args.extra:
        with extra_processes(count):
            times = [key_to_erase_ms(updater, emulator) for _ in range(args.runs)]
        print(f"{count:>15}  " + "  ".join(f"{t:.2f}" for t in times), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
