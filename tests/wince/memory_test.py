#!/usr/bin/env python3
"""The module's heap through ce_loader, whose COREDLL stand-in measures it per call: a 640 x 480 image takes at most
128 KiB at its peak, doubling the height leaves the peak as it is (the blur holds rows, never the image), and
doubling the width raises it. The outputs must still equal the Linux build's.

usage: memory_test.py QEMU CPU LOADER DLL LINUX_HOST WORKDIR
"""
import os
import sys

from loader_driver import Checks, Loader, bitmap, fresh_directory, linux_outputs, read, write

qemu, cpu, loader_path, dll, host, work = sys.argv[1:7]
LIMIT = 128 * 1024
checks = Checks()
fresh_directory(work)
sizes = [(640, 480), (640, 960), (1280, 480)]
names = []
for width, height in sizes:
    name = f"in-{width}x{height}.bmp"
    write(os.path.join(work, name), bitmap(width, height, seed=width + height))
    names.append(name)
status, calls, rest = Loader(qemu, cpu, loader_path, dll, work).blur([(name, "ce-" + name) for name in names])
if not checks.check(status == 0 and len(calls) == len(sizes) and all(call["status"] == 999 for call in calls),
                    "999 for each size", f"exit {status}, calls {calls}, then {rest!r}"):
    sys.exit(checks.finish())
peak = {size: call["peak"] for size, call in zip(sizes, calls)}
checks.check(peak[(640, 480)] <= LIMIT, f"640 x 480: a peak of {peak[(640, 480)]} bytes, at most {LIMIT}")
checks.check(peak[(640, 960)] == peak[(640, 480)], "twice the height: the same peak",
             f"{peak[(640, 960)]} against {peak[(640, 480)]}")
checks.check(peak[(1280, 480)] > peak[(640, 480)], "twice the width: a larger peak",
             f"{peak[(1280, 480)]} against {peak[(640, 480)]}")
checks.check(all(call["blocks"] == 0 and call["files"] == 0 for call in calls), "every call releases what it took",
             str(calls))
made, errors = linux_outputs(host, os.path.join(work, "linux"), [os.path.join(work, name) for name in names])
same = [made and read(os.path.join(work, "ce-" + name)) == read(os.path.join(work, "linux", name)) for name in names]
checks.check(all(same), "each output equals the Linux build's", f"{same} {errors}")
sys.exit(checks.finish())
