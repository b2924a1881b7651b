#!/usr/bin/env python3
"""Times complete updates of the loader emulator, unpaced and paced at 115200 baud.

Reports wall time, the updater's CPU time and peak resident memory, and for the paced run its
ratio to the wire time of the whole exchange (10 bits per byte).

usage: bench/update_timing.py [--build DIR] [--runs N] [--no-paced] [--erase-ms MS] [--wine-exe EXE]
                              [--extra-processes N]

With --extra-processes that many more processes wait beside the runs, as on a busy station: the
updater's looks over /proc for its line's holders cost in proportion to them.

With --wine-exe the updater is that tarvolo_updater.exe under wine, in the prefix "wineprefix"
beside it (tests/wine/prefix.sh start makes it); its CPU time and peak memory are those of the
wine process that runs the .exe, not of the wine server.
"""
import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from busy_machine import extra_processes  # noqa: E402

TO_DEVICE = 492614
FROM_DEVICE = 1952
IMAGE_SIZE = 491520


# Stations run side by side in threads (bench/stations.py): a process forked by one thread holds a
# copy of whatever file another has open until it runs its program, and an image open for writing
# then is one that another program is writing, which the updater rightly refuses. Images are
# written, and processes started, one at a time.
SPAWNING = threading.Lock()


def start_emulator(emulator, com_dir, port, erase_ms, baud, work):
    args = [emulator, "--com-dir", com_dir, "--port", str(port), "--image-out", os.path.join(work, "received.bin"),
            "--erase-ms", str(erase_ms)]
    if baud:
        args += ["--baud", str(baud)]
    with SPAWNING:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("ready "):
        raise SystemExit("emulator did not start: " + line + proc.stderr.read())
    return proc


def one_update(updater, emulator, erase_ms, baud, port=5, wine_exe=None):
    with tempfile.TemporaryDirectory() as work:
        com_dir = work
        command = [updater]
        env = dict(os.environ, TARVOLO_COM_DIR=work)
        if wine_exe:
            prefix = os.path.join(os.path.dirname(os.path.abspath(wine_exe)), "wineprefix")
            com_dir = os.path.join(prefix, "dosdevices")
            command = ["wine", wine_exe]
            env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        image = os.path.join(work, "fw.bin")
        with SPAWNING, open(image, "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))
        device = start_emulator(emulator, com_dir, port, erase_ms, baud, work)
        # GNU time measures the updater alone: a peak taken in this process would count the
        # Python interpreter the child was forked from.
        # Its CPU time comes from wait4, to the microsecond, where GNU time cuts it to 10 ms: a
        # run takes tens of milliseconds, and a sum over many stations would lose seconds.
        usage_file = os.path.join(work, "usage")
        with SPAWNING:
            start = time.monotonic()
            child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", usage_file] + command,
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env, start_new_session=True)
        child.stdin.write(f"{port}\n{image}\n".encode())
        child.stdin.close()
        _, wait_status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        child.returncode = os.waitstatus_to_exitcode(wait_status)
        with open(usage_file) as f:
            peak_kib = f.read().split()[-1]
        device.wait(timeout=30)
        with open(image, "rb") as a, open(os.path.join(work, "received.bin"), "rb") as b:
            identical = a.read() == b.read()
        return {
            "status": child.returncode,
            "device": device.returncode,
            "identical": identical,
            "wall": wall,
            "cpu": usage.ru_utime + usage.ru_stime,
            "rss_kib": int(peak_kib),
        }


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-paced", action="store_true")
    parser.add_argument("--erase-ms", type=int, default=2000)
    parser.add_argument("--wine-exe")
    parser.add_argument("--extra-processes", type=int, default=0)
    args = parser.parse_args()
    updater = os.path.join(args.build, "tarvolo_updater")
    emulator = os.path.join(args.build, "tools", "loader_emulator", "tarvolo_loader_emulator")

    rows = [("unpaced", 0)] + ([] if args.no_paced else [("paced 115200", 115200)])
    print(f"{'run':<14}{'wall s':>9}{'cpu s':>8}{'cpu %':>7}{'peak KiB':>10}{'per page ms':>13}{'wire ratio':>12}")
    failed = False
    busy = extra_processes(args.extra_processes) if args.extra_processes else contextlib.nullcontext()
    with busy:
        results = [(name, baud, one_update(updater, emulator, args.erase_ms, baud, wine_exe=args.wine_exe))
                   for name, baud in rows for _ in range(args.runs)]
    for name, baud, r in results:
        failed |= r["status"] != 0 or r["device"] != 0 or not r["identical"]
        transfer = r["wall"] - args.erase_ms / 1000
        ratio = ""
        if baud:
            wire = (TO_DEVICE + FROM_DEVICE) * 10 / baud
            ratio = f"{transfer / wire:.4f}"
        print(f"{name:<14}{r['wall']:>9.2f}{r['cpu']:>8.3f}{100 * r['cpu'] / r['wall']:>7.2f}{r['rss_kib']:>10}"
              f"{1000 * transfer / 120:>13.2f}{ratio:>12}", flush=True)
    if failed:
        print("an update failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
