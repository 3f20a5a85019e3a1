#!/usr/bin/env python3
"""The Windows CE module on real files through ce_loader, the file cases of the Wine tests (tests/windows): 999 for
every layout it reads, each output byte-equal to the Linux build's and the input unchanged; 1 for each file it does
not read, with the message once and no output; 2 and 4 for inputs and outputs that cannot be used; replacing an
output, and the input as the output. Every call must leave no heap block and no file open, and the working
directory must end up holding exactly the files made.

usage: files_test.py QEMU CPU LOADER DLL LINUX_HOST SEEDS SAMPLE WORKDIR
"""
import glob
import os
import sys

from loader_driver import Checks, Loader, bitmap, fresh_directory, linux_outputs, read, write

qemu, cpu, loader_path, dll, host, seeds, sample, work = sys.argv[1:9]
MESSAGE = "Not a valid BMP file\n"
checks = Checks()
fresh_directory(work)
loader = Loader(qemu, cpu, loader_path, dll, work)
kept = set()  # what the working directory should hold at the end


def path(name):
    return os.path.join(work, name)


def make(name, data):
    write(path(name), data)
    kept.add(name)
    return name


def clean(call):
    return call["blocks"] == 0 and call["files"] == 0


def figures(call):
    return f"status {call['status']}, blocks {call['blocks']}, files {call['files']}, stderr {call['stderr']!r}"


def run(pairs, group, file_limit=None):
    status, calls, rest = loader.blur(pairs, file_limit)
    checks.check(status == 0 and len(calls) == len(pairs) and not rest, f"{group}: the loader runs every call",
                 f"exit {status}, {len(calls)} of {len(pairs)} calls, then {rest!r}")
    missing = {"status": None, "error": None, "blocks": None, "files": None, "stderr": ""}
    return calls + [missing] * (len(pairs) - len(calls))


# 999: every layout the module reads. The outputs are compared with the Linux build's for the same inputs.
inputs = {}
for seed in sorted(glob.glob(os.path.join(seeds, "valid-*.bmp"))):
    inputs["in-seed-" + os.path.basename(seed)[6:]] = read(seed)
inputs["in-sample.bmp"] = read(sample)
layouts = {
    "padded-rows": dict(width=30, height=23, trailing=5),
    "top-down-v5-header": dict(width=13, height=-9, info_size=124, gap=12, unpadded_last=True),
    "tall-and-narrow-v4-header": dict(width=5, height=61, info_size=108),
    "wider-than-the-window": dict(width=71, height=26, trailing=3),
    "rows-across-bands": dict(width=601, height=83, gap=7, trailing=2),
    "last-row-unpadded": dict(width=22, height=30, unpadded_last=True),
}
for k, (name, shape) in enumerate(layouts.items()):
    inputs[f"in-{name}.bmp"] = bytes(bitmap(**shape, seed=k + 11))
inputs["in-\u56fe\u50cf \u00e9.bmp"] = bytes(bitmap(9, 7, seed=5))  # a name beyond ASCII
for name, data in inputs.items():
    make(name, data)
outputs = {name: "ce-" + name[3:] for name in inputs}
kept.update(outputs.values())
calls = run(list(outputs.items()), "999 cases")
made, errors = linux_outputs(host, path("linux"), [path(name) for name in inputs])
checks.check(made, "the Linux build's host program blurs every input", errors)
kept.add("linux")
for (name, output), call in zip(outputs.items(), calls):
    written = read(path(output)) if os.path.exists(path(output)) else None
    linux = path(os.path.join("linux", name))
    equal = written is not None and os.path.exists(linux) and written == read(linux)
    unchanged = read(path(name)) == inputs[name]
    checks.check(call["status"] == 999 and not call["stderr"] and clean(call) and equal and unchanged,
                 f"999 for {name}, silently: equal to the Linux build's output, the input unchanged, nothing left",
                 f"{figures(call)}, equal {equal}, unchanged {unchanged}")

# 1: not a BMP this module reads. The message exactly once per call, no output created, an existing one kept.
make("kept.bmp", b"\x09\x09\x09")
rejected = sorted(glob.glob(os.path.join(seeds, "bad-*.bmp")))
pairs = []
for seed in rejected:
    name = make("rejected-" + os.path.basename(seed)[4:], read(seed))
    pairs += [(name, "never-" + name), (name, "kept.bmp")]
calls = run(pairs, "status 1 cases")
for (name, output), call in zip(pairs, calls):
    checks.check(call["status"] == 1 and call["stderr"] == MESSAGE and clean(call),
                 f"1 for {name} into {output}, with the message once", figures(call))
checks.check(not glob.glob(path("never-*")), "no output is created for a file the module does not read")
checks.check(read(path("kept.bmp")) == b"\x09\x09\x09", "an existing output is left as it was")

# 2: the input cannot be used; 4: the output cannot be; an existing output replaced; the input as the output.
plain_bytes = bytes(bitmap(30, 23, trailing=5, seed=3))
plain = make("in.bmp", plain_bytes)
os.mkdir(path("a-directory"))
kept.add("a-directory")
make("read-only.bmp", b"\x05\x05\x05")
os.chmod(path("read-only.bmp"), 0o444)
make("out.bmp", b"\x07" * 100000)
make("same.bmp", read(path(plain)))
# Each failure leaves its cause in the thread's last error (the loader reports it after the call): what the
# platform's call said, or the module's own. None: the status alone is checked.
FILE_NOT_FOUND, PATH_NOT_FOUND, ACCESS_DENIED, INVALID_PARAMETER = 2, 3, 5, 87
cases = [
    ("missing.bmp", "out-missing.bmp", 2, FILE_NOT_FOUND, "a missing input"),
    (None, "out-null.bmp", 2, INVALID_PARAMETER, "a null input path"),
    ("", "out-empty.bmp", 2, PATH_NOT_FOUND, "an empty input path"),
    ("a-directory", "out-directory.bmp", 2, ACCESS_DENIED, "a directory as input"),
    (plain, "no-such-directory/out.bmp", 4, PATH_NOT_FOUND, "an output in a missing directory"),
    (plain, "no-such-directory\\out.bmp", 4, PATH_NOT_FOUND,
     "an output in a missing directory, the platform's separator"),
    (plain, "a-directory", 4, ACCESS_DENIED, "a directory as output"),
    (plain, None, 4, INVALID_PARAMETER, "a null output path"),
    (plain, "", 4, PATH_NOT_FOUND, "an empty output path"),
    (plain, "read-only.bmp", 4, ACCESS_DENIED, "a read-only output"),
    (plain, "out.bmp", 999, None, "an existing output replaced"),
    ("same.bmp", "same.bmp", 999, None, "the input as the output"),
]
calls = run([(source, target) for source, target, _, _, _ in cases], "status 2 and 4 cases")
for (source, target, expected, error, what), call in zip(cases, calls):
    checks.check(call["status"] == expected and (error is None or call["error"] == error) and not call["stderr"] and
                 clean(call), f"{expected} for {what}, silently" + ("" if error is None else f", last error {error}"),
                 f"{figures(call)}, last error {call['error']}")
made, errors = linux_outputs(host, path("linux"), [path(plain)])
reference = read(path("linux/in.bmp")) if made else None
checks.check(not glob.glob(path("out-*")) and not os.path.exists(path("no-such-directory")),
             "no output is created when the input or the output path fails")
checks.check(read(path(plain)) == plain_bytes, "the input is unchanged by the calls that failed or wrote elsewhere")
checks.check(read(path("read-only.bmp")) == b"\x05\x05\x05", "the read-only output keeps its content")
checks.check(os.listdir(path("a-directory")) == [], "nothing is left in a directory that was named as output")
checks.check(reference is not None and read(path("out.bmp")) == reference,
             "the replaced output equals the Linux build's output", errors)
checks.check(reference is not None and read(path("same.bmp")) == reference,
             "the input blurred onto itself equals the Linux build's output for the original")

# A disk that fills as the output is written (a file-size limit, which the platform's WriteFile reports as a full
# disk): the cause survives closing and removing the unfinished file; an existing output keeps its content.
make("full.bmp", b"\x08" * 10)
pairs = [(plain, "full.bmp"), (plain, "full-new.bmp")]
calls = run(pairs, "a full disk", file_limit=1024)
for (source, target), call in zip(pairs, calls):
    checks.check(call["status"] == 4 and call["error"] == 112 and clean(call),
                 f"4 for {target} on a full disk, last error ERROR_DISK_FULL (112)",
                 f"{figures(call)}, last error {call['error']}")
checks.check(read(path("full.bmp")) == b"\x08" * 10 and not os.path.exists(path("full-new.bmp")),
             "on a full disk the existing output is kept and no new one is made")

# Nothing left behind: no temporary file beside any output.
names = set(os.listdir(work))
checks.check(names == kept, "the working directory holds exactly the files made",
             f"extra {sorted(names - kept)}, missing {sorted(kept - names)}")
sys.exit(checks.finish())
