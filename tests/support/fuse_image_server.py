#!/usr/bin/python3
"""A FUSE file system of one file, fw.bin, for the end-to-end tests.

    fuse_image_server.py MOUNTPOINT FIRST [THEN]

fw.bin holds FIRST's bytes. With THEN, every read after the first is answered from THEN instead,
while the file's size and times stay as they were: a server whose file changed without a word to
its clients, as a network share's may. The kernel then keeps the pages it read first, and only a
reader that drops them sees the change. Attributes are never cached, so that every look at the file
that is allowed to ask the server does: a stopped server then holds it.
"""
import errno
import stat
import sys
import time

import fusepy


class OneFile(fusepy.Operations):
    def __init__(self, first, then):
        self.first = first
        self.then = then
        self.reads = 0
        self.made = time.time()

    def getattr(self, path, fh=None):
        common = dict(st_uid=0, st_gid=0, st_atime=self.made, st_mtime=self.made, st_ctime=self.made)
        if path == "/":
            return dict(common, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        if path == "/fw.bin":
            return dict(common, st_mode=stat.S_IFREG | 0o644, st_nlink=1, st_size=len(self.first))
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "fw.bin"]

    def open(self, path, flags):
        return 0

    def read(self, path, size, offset, fh):
        data = self.first if self.reads == 0 or self.then is None else self.then
        self.reads += 1
        return data[offset : offset + size]


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: fuse_image_server.py MOUNTPOINT FIRST [THEN]")
    with open(sys.argv[2], "rb") as f:
        first = f.read()
    then = None
    if len(sys.argv) == 4:
        with open(sys.argv[3], "rb") as f:
            then = f.read()
    fusepy.FUSE(OneFile(first, then), sys.argv[1], foreground=True, nothreads=True, attr_timeout=0,
                entry_timeout=0, allow_other=True)


if __name__ == "__main__":
    main()
