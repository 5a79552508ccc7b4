#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What an integrator would otherwise write in Python: the same five
readings into the same FIFO, standard library only. Kept for bench/footprint
to measure statpipe against; not installed.

Usage: peer.py [ named_pipe [ base_address ] ]
"""
import os, signal, stat, struct, sys, time

pipe = sys.argv[1] if len(sys.argv) > 1 else "/tmp/harddisk/quorvath/share/okrin_pipe"
base = int(sys.argv[2]) & 255 if len(sys.argv) > 2 else 0
chip = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/"
if not os.path.exists(pipe) or not stat.S_ISFIFO(os.lstat(pipe).st_mode):
    sys.exit("Unable to locate FIFO file at %s" % pipe)
signal.signal(signal.SIGPIPE, signal.SIG_IGN)
out = os.open(pipe, os.O_WRONLY)


def sample(channel):
    """The channel's value, or None to skip it."""
    try:
        if channel == 0:
            return min(int(os.getloadavg()[0] * 65536), 65535)
        if channel == 1:
            return int(open("/proc/loadavg").read().split()[3].split("/")[1])
        if channel == 2:
            info = dict(line.split()[:2] for line in open("/proc/meminfo"))
            total, free = int(info["MemTotal:"]), int(info["MemFree:"])
            return int((1 - free / total) * 65535)
        fields = open(chip + ("fan2" if channel == 3 else "temp2")).read().split()
        if channel == 3:
            return int(fields[1])
        return int(float(fields[2]) * 300 / 43 + 250 + 160)
    except (OSError, ValueError, IndexError):
        return None


channel = 0
while True:
    value = sample(channel)
    if value is not None:
        while True:
            try:
                os.write(out, struct.pack(">BH", (channel + base) & 255, value & 0xFFFF))
                break
            except BrokenPipeError:
                time.sleep(10)
                value = sample(channel) or 0
        time.sleep(2)
    channel = (channel + 1) % 5
