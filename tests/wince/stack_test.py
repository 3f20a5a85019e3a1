#!/usr/bin/env python3
"""The module's stack in ce_loader is a device thread's: a 64 KiB reserve whose lowest 8 KiB (the kernel's minimum
reserve) raise a stack overflow, so 56 KiB are usable. Using all 56 KiB works and is seen by the loader's depth
figure; one word more is an overflow at exactly that word; the whole 64 KiB is stopped at the first KiB it touches in
the reserve.

usage: stack_test.py QEMU CPU LOADER
"""
import re
import subprocess
import sys

from loader_driver import Checks

STACK_OVERFLOW = 74  # ce_loader's exit status for it
qemu, cpu, loader = sys.argv[1:4]
checks = Checks()


def probe(bytes_used):
    done = subprocess.run([qemu, "-cpu", cpu, loader, "stack-probe", str(bytes_used)], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


# The depth is counted in whole pages from the top, and the probe touches exactly its figure.
for kib in (16, 56):
    status, out, err = probe(kib * 1024)
    checks.check(status == 0 and out == f"stack={kib * 1024}\n",
                 f"{kib} KiB of stack: the call returns, {kib} KiB deep", f"exit {status}, {out!r} {err!r}")

# Where the overflow was raised, in bytes below the stack's top.
for used, raised in ((56 * 1024 + 4, 56 * 1024 + 4), (64 * 1024, 57 * 1024)):
    status, out, err = probe(used)
    below = re.search(r"stack overflow: .* (\d+) bytes below the stack's top", err)
    checks.check(status == STACK_OVERFLOW and not out and below and int(below.group(1)) == raised,
                 f"{used} bytes of stack: a stack overflow {raised} bytes down, in the minimum reserve",
                 f"exit {status}, {out!r} {err!r}")
sys.exit(checks.finish())
