"""More processes on the machine, as on a busy station: each updater looks over /proc for the
line's holders, so its cost follows their count. Used by the benchmarks beside this file."""
import contextlib
import subprocess


@contextlib.contextmanager
def extra_processes(count):
    """`count` more processes that only wait, ended when the block ends."""
    sleepers = []
    try:
        for _ in range(count):
            sleepers.append(subprocess.Popen(["sleep", "3600"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL))
        yield
    finally:
        for s in sleepers:
            s.kill()
        for s in sleepers:
            s.wait()
