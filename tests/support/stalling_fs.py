#!/usr/bin/python3
# stalling_fs.py SOURCE MOUNTPOINT RULES: a read-only FUSE view of SOURCE whose
# reads of chosen files block or fail. RULES is re-read on every operation; each
# line is "stall PATTERN" or "fail PATTERN" (fnmatch over the path inside the
# mount, "/" included). A stalled read or listing waits until no rule matches,
# for a minute at most, so a failing test cannot leave a process hung on it.
# Unmounts itself when its standard input ends, so a crashed test leaves no mount.
import errno, fnmatch, os, subprocess, sys, threading, time
from fusepy import FUSE, FuseOSError, Operations

source, mountpoint, rules = sys.argv[1:4]

def rule(path):
    lines = open(rules).read().split("\n") if os.path.exists(rules) else []
    return next((k for k, _, p in (l.partition(" ") for l in lines) if fnmatch.fnmatchcase(path, p)), None)

def gate(path):
    end = time.monotonic() + 60
    while rule(path) == "stall" and time.monotonic() < end:
        time.sleep(0.05)
    if rule(path) == "fail": raise FuseOSError(errno.EIO)

class Stalling(Operations):
    def getattr(self, path, fh=None):
        st = os.lstat(source + path)
        return {k: getattr(st, k) for k in ("st_mode", "st_size", "st_nlink", "st_mtime", "st_atime", "st_ctime")}
    def readdir(self, path, fh):
        gate(path)
        return [".", ".."] + os.listdir(source + path)
    def read(self, path, size, offset, fh):
        gate(path)
        with open(source + path, "rb") as f:
            return os.pread(f.fileno(), size, offset)

threading.Thread(target=lambda: (sys.stdin.read(), subprocess.run(["fusermount3", "-u", "-z", mountpoint])),
                 daemon=True).start()
FUSE(Stalling(), mountpoint, foreground=True, ro=True, direct_io=True)
