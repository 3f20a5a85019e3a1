#!/usr/bin/env python3
"""Runs a command that prints its own checks (ce_loader lifecycle or self-check) in a fresh working directory and
judges it as the Wine tests are judged: at least one check, every check line "ok", a last line "N checks, 0 failed"
that counts them, and exit status 0. The command must also leave the working directory empty.

usage: run_checks.py WORKDIR COMMAND...
"""
import os
import subprocess
import sys

from loader_driver import fresh_directory

work, command = sys.argv[1], sys.argv[2:]
fresh_directory(work)
done = subprocess.run(command, cwd=work, stdout=subprocess.PIPE, timeout=600)
lines = done.stdout.decode("utf-8", "replace").splitlines()
print("\n".join(lines))
passed = sum(line.startswith("ok - ") for line in lines)
failed = sum(line.startswith("FAIL - ") for line in lines)
last = lines[-1] if lines else ""
left = os.listdir(work)
if done.returncode or not passed or failed or last != f"{passed} checks, 0 failed" or left:
    print(f"judged FAILED: exit status {done.returncode}, {passed} ok, {failed} FAIL, last line {last!r}, "
          f"left in the working directory: {left}")
    sys.exit(1)
print(f"judged passed: {passed} checks")
