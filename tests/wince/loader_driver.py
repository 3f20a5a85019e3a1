"""What the Windows CE tests share: the "ok - " / "FAIL - " lines every driver prints, judged by their last line
"N checks, M failed"; and for the loader's drivers, running ce_loader under qemu-arm and reading its per-call lines."""
import os
import resource
import shutil
import signal
import subprocess
import sys

# The seed corpus's writer, for BMP files of every layout: bitmap(width, height, info_size, gap, trailing,
# unpadded_last, seed).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz"))
from make_seeds import bitmap  # noqa: E402,F401


class Checks:
    def __init__(self):
        self.count = 0
        self.failed = 0

    def check(self, ok, what, detail=""):
        self.count += 1
        self.failed += not ok
        print(("ok - " if ok else "FAIL - ") + what + ("" if ok or not detail else f" ({detail})"), flush=True)
        return ok

    def finish(self):
        print(f"{self.count} checks, {self.failed} failed")
        return 0 if self.count and not self.failed else 1


def fresh_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def file_size_limit(limit):
    """A preexec_fn for subprocess: the files the process writes grow to `limit` bytes and no further, a write past
    it failing with EFBIG (SIGXFSZ ignored) as a write to a full disk fails; None for no limit."""
    if limit is None:
        return None

    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


class Loader:
    """ce_loader on one CPU, with the module's DLL, run in a working directory."""

    def __init__(self, qemu, cpu, loader, dll, cwd):
        self.command = [qemu, "-cpu", cpu, loader, dll]
        self.cwd = cwd

    def run(self, *arguments):
        """Exit status, standard output, standard error."""
        done = subprocess.run(self.command + list(arguments), cwd=self.cwd, capture_output=True, timeout=600)
        return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")

    def blur(self, pairs, file_limit=None):
        """Mistvane on each (input, output) pair (None passes a null path), in one process, its files limited to
        `file_limit` bytes when given. Returns the exit status and, per call, its figures with what the call wrote
        to standard error: the loader's lines and the module's messages share one pipe, so each call's messages come
        just before its own line."""
        arguments = []
        for pair in pairs:
            arguments += [":null:" if path is None else path for path in pair]
        done = subprocess.run(self.command + ["blur"] + arguments, cwd=self.cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=600, preexec_fn=file_size_limit(file_limit))
        calls, pending = [], ""
        for line in done.stdout.decode("utf-8", "replace").splitlines(keepends=True):
            if line.startswith("status="):
                figures = dict(field.split("=", 1) for field in line.split())
                calls.append({**{key: int(value) for key, value in figures.items()}, "stderr": pending})
                pending = ""
            else:
                pending += line
        return done.returncode, calls, pending


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def linux_outputs(host, directory, inputs):
    """The Linux build's outputs for the inputs, blurred into `directory` under their own names."""
    os.makedirs(directory, exist_ok=True)
    done = subprocess.run([host, "--quiet", "-o", directory] + inputs, capture_output=True, timeout=600)
    return done.returncode == 0, done.stderr.decode("utf-8", "replace")
