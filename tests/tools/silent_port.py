"""A serial reader that never answers, for time-out tests: opens a
pseudo-terminal, prints the SERIAL:// path of its other end and counts the
SLIP frames a host writes there. After each write it rewrites the file named
by its argument with the number of frames received so far. Runs until
killed."""

import os
import sys

master, slave = os.openpty()  # the slave stays open: the line never hangs up
print("SERIAL://PORT=%s,FORMAT=SLIP" % os.ttyname(slave), flush=True)
count_file = sys.argv[1]
ends = 0
while True:
    try:
        data = os.read(master, 4096)
    except OSError:
        break
    ends += data.count(b"\xc0")  # a frame starts and ends with C0
    with open(count_file + ".tmp", "w") as f:
        f.write("%d\n" % (ends // 2))
    os.replace(count_file + ".tmp", count_file)
