"""What the Windows CE tests share: the "ok - " / "FAIL - " lines every driver prints, judged by their last line
"N checks, M failed"; and for the loader's drivers, running ce_loader under qemu-arm and reading its per-call lines."""
import os
import resource
import shutil
import signal
import subprocess
import struct
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


IMAGE_BASE = 0x10000000  # where the module is linked (its ELF); RVAs are addresses less this


class Module:
    """The linked image's functions (RVA, bytes, name), the literal data inside them, and its call sites (bl, and
    the jump after mov lr, pc)."""

    def __init__(self, path):
        from elftools.elf.elffile import ELFFile
        with open(path, "rb") as file:
            elf = ELFFile(file)
            text = elf.get_section_by_name(".text")
            low, code = text["sh_addr"], text.data()
            functions, marks = {}, []
            for symbol in elf.get_section_by_name(".symtab").iter_symbols():
                value = symbol["st_value"]
                if not low <= value < low + len(code):
                    continue
                if symbol.name in ("$a", "$d"):
                    marks.append((value, symbol.name[1]))
                elif symbol["st_info"]["type"] == "STT_FUNC":
                    functions.setdefault(value, (symbol["st_size"], symbol.name))
        marks.sort()
        self.functions = [(start - IMAGE_BASE, size, name) for start, (size, name) in sorted(functions.items())]
        self.data = []
        for k, (address, kind) in enumerate(marks):
            if kind == "d":
                end = marks[k + 1][0] if k + 1 < len(marks) else low + len(code)
                self.data.append((address - IMAGE_BASE, end - address))
        data_words = {rva + 4 * k for rva, size in self.data for k in range(size // 4)}
        self.calls = set()
        for start, size, _ in self.functions:
            for rva in range(start, start + size, 4):
                word = struct.unpack_from("<I", code, rva + IMAGE_BASE - low)[0]
                previous = struct.unpack_from("<I", code, rva - 4 + IMAGE_BASE - low)[0] if rva > start else 0
                # bl, or the jump after mov lr, pc: a call through a pointer
                if rva not in data_words and (word & 0x0F000000 == 0x0B000000 or previous == 0xE1A0E00F):
                    self.calls.add(rva)
        self.code = code
        self.low = low

    def name_at(self, rva):
        for start, size, name in self.functions:
            if start <= rva < start + size:
                return name
        return None

    def word(self, rva):
        return struct.unpack_from("<I", self.code, rva + IMAGE_BASE - self.low)[0]

    def listing(self, path):
        lines = []
        for start, size, _ in self.functions:
            lines.append(f"F {start:x} {size:x}")
            lines += [f"D {rva:x} {length:x}" for rva, length in self.data if start <= rva < start + size]
        with open(path, "w") as file:
            file.write("\n".join(lines) + "\n")
        return path
