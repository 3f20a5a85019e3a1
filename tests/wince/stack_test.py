#!/usr/bin/env python3
"""The module's stack in ce_loader is a device thread's: 64 KiB with an unmapped page below. Using 56 KiB of it
works and is seen by the loader's depth figure; using 68 KiB faults, as it would on the device.

usage: stack_test.py QEMU CPU LOADER
"""
import signal
import subprocess
import sys

from loader_driver import Checks

qemu, cpu, loader = sys.argv[1:4]
checks = Checks()


def probe(bytes_used):
    done = subprocess.run([qemu, "-cpu", cpu, loader, "stack-probe", str(bytes_used)], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode()


# The depth is counted in whole pages, and the probe's own frame may reach into one more.
for kib in (16, 56):
    status, out = probe(kib * 1024)
    depth = int(out[6:]) if status == 0 and out.startswith("stack=") else None
    checks.check(depth is not None and kib * 1024 <= depth <= kib * 1024 + 4096,
                 f"{kib} KiB of stack: the call returns, {kib} KiB deep", f"exit {status}, {out!r}")
status, out = probe(68 * 1024)
checks.check(status in (-signal.SIGSEGV, 128 + signal.SIGSEGV) and not out, "68 KiB of stack: a fault on the guard page",
             f"exit {status}, {out!r}")
sys.exit(checks.finish())
