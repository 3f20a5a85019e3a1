#!/usr/bin/env python3
"""The module's frames unwound as the Windows CE kernel unwinds them (ce_loader's unwind commands), on one CPU:

  - faults at several depths of a Mistvane call, each caught, walked up to the loader's own call and resumed there
    with the loader's sp and r4 to r11: path pointers into an unmapped page; imports the module calls while it
    sets up, blurs and writes, made to fault in a stand-in that holds no frame of its own; and the module's own
    code writing to an allocation handed back in an unmapped page;
  - every instruction of the module stepped through the entry point's notifications and calls on many kinds of
    file: at each one that can raise or that calls, every frame up to the loader's must come back with the sp,
    r4 to r11 and return address its function was entered with;
  - copies of the DLL with one table entry removed and with one prolog scheduled after a body instruction, which
    both must be caught.
Prints one line per check.

usage: unwind_test.py QEMU CPU LOADER DLL ELF SEEDS SAMPLE WORKDIR
"""
import os
import shutil
import struct
import subprocess
import sys

import pefile

from loader_driver import IMAGE_BASE, Checks, Module, file_size_limit, fresh_directory

qemu, cpu, loader, dll, elf_path, seeds, sample, work = sys.argv[1:9]
checks = Checks()
check = checks.check
fresh_directory(work)
ACCESS_VIOLATION = -1073741819  # 0xC0000005, what the resumed call returns


module = Module(elf_path)
functions_file = module.listing(os.path.join(work, "functions.txt"))
mistvane = next(start for start, _, name in module.functions if name == "Mistvane")


def run(module_path, *arguments, file_limit=None):
    done = subprocess.run([qemu, "-cpu", cpu, loader, module_path, *arguments], cwd=work, capture_output=True,
                          timeout=600, preexec_fn=file_size_limit(file_limit))
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def fields(line):
    return dict(field.split("=", 1) for field in line.split())


# -- Faults at several depths --------------------------------------------------------------------------------------

def fault(module_path, *arguments):
    """(exit status, [frames as dicts], the reached line as a dict, the call's status, all output)."""
    status, out, err = run(module_path, "unwind", *arguments)
    lines = out.splitlines()
    frames = [fields(line) for line in lines if line.startswith("frame=")]
    reached = next((fields(line) for line in lines if line.startswith("reached=")), {})
    returned = next((int(fields(line)["status"]) for line in lines if line.startswith("status=")), None)
    return status, frames, reached, returned, out + err


shutil.copy(sample, os.path.join(work, "in.bmp"))
FAULTS = [
    ("the input path pointing into an unmapped page (read first by the platform's wcslen)", [":unmapped:", "out.bmp"]),
    ("the output path pointing into an unmapped page", ["in.bmp", ":unmapped:"]),
    ("the third allocation, as the blur is set up", ["in.bmp", "out.bmp", "#1041", "3"]),
    ("the third signed division (__rt_sdiv), as the first rows are blurred", ["in.bmp", "out.bmp", "#2005", "3"]),
    ("the 40th signed division, in the middle of the blur", ["in.bmp", "out.bmp", "#2005", "40"]),
    ("the first unsigned division (__rt_udiv), as the bands are sized", ["in.bmp", "out.bmp", "__rt_udiv", "1"]),
    ("the second WriteFile, with rows already written", ["in.bmp", "out.bmp", "WriteFile", "2"]),
    ("CloseHandle, as the output is finished", ["in.bmp", "out.bmp", "CloseHandle", "1"]),
    # The module's own code faulting: an allocation handed back in the unmapped page, then written.
    ("the module's first write to its second allocation, placed in an unmapped page",
     ["in.bmp", "out.bmp", "#1041", "2", "unmapped"]),
    ("the module's memset of its third allocation, placed in an unmapped page",
     ["in.bmp", "out.bmp", "#1041", "3", "unmapped"]),
]
depths = set()
for what, arguments in FAULTS:
    status, frames, reached, returned, output = fault(dll, *arguments)
    names = [module.name_at(int(frame["pc"], 16)) if frame["pc"] != "outside" else None for frame in frames]
    # Past the faulting stand-in every frame stands on a call of the module's, and the last is Mistvane's.
    on_calls = all(frame["pc"] != "outside" and int(frame["pc"], 16) in module.calls for frame in frames[1:])
    # A stand-in is a leaf to the walk; the module's own code is found in its table.
    in_module = arguments[-1] == "unmapped"
    first = frames and (names[0] is not None if in_module else frames[0]["pc"] == "outside" and
                        frames[0]["kind"] == "leaf")
    ok = (status == 0 and first and on_calls and
          names[-1] == "Mistvane" and reached == {"reached": "1", "sp": "1", "registers": "1",
                                                  "frames": str(len(frames))} and returned == ACCESS_VIOLATION)
    depths.add(len(frames))
    check(ok, f"a fault from {what}: {len(frames)} frames ({' < '.join(n or 'stand-in' for n in names)}) unwound to "
          "the loader's call, its sp and r4-r11 intact, and the call resumed there", output.strip()[-600:])
check(len(depths) >= 4, f"the faults were at {len(depths)} different depths", str(sorted(depths)))


# -- Every instruction stepped ---------------------------------------------------------------------------------------

def seed(name):
    return os.path.join(seeds, name)


os.makedirs(os.path.join(work, "locked"), exist_ok=True)
with open(os.path.join(work, "read-only.bmp"), "wb") as file:
    file.write(b"\x05\x05\x05")
os.chmod(os.path.join(work, "read-only.bmp"), 0o444)
STEPPED_CALLS = [
    (seed("valid-23x25-wider-than-window.bmp"), "a.bmp"),
    (seed("valid-5x7-top-down.bmp"), "b.bmp"),
    (seed("valid-3x5-padded.bmp"), "c.bmp"),
    (seed("valid-6x3-header-124-masks.bmp"), "d.bmp"),
    (seed("valid-0x5-empty.bmp"), "e.bmp"),
    (seed("bad-rle.bmp"), "f.bmp"),
    (seed("bad-huge-claim.bmp"), "g.bmp"),
    ("missing.bmp", "h.bmp"),
    (":null:", "i.bmp"),
    ("a.bmp", "a.bmp"),                          # replacing its own input
    (seed("valid-1x1.bmp"), "no-folder/j.bmp"),  # an output that cannot be made
    (seed("valid-4x4.bmp"), "locked"),           # a folder for an output
    # The failures that leave a cause of the module's own, or the platform's for a refused file.
    ("locked", "k.bmp"),                         # a folder for an input
    ("", "l.bmp"),
    (seed("valid-1x1.bmp"), ""),
    (seed("valid-1x1.bmp"), ":null:"),
    (seed("valid-1x1.bmp"), "read-only.bmp"),
]


# A write that fails part way, a full disk to the platform, so that the clean-up after a failed blur is stepped too.
FULL_DISK_CALLS = [(seed("valid-3x5-padded.bmp"), "full.bmp")]


def step(module_path, calls=STEPPED_CALLS, file_limit=None):
    arguments = [functions_file]
    for pair in calls:
        arguments += list(pair)
    status, out, err = run(module_path, "unwind-step", *arguments, file_limit=file_limit)
    lines = out.splitlines()
    summary = next((fields(line) for line in lines if line.startswith("steps=")), {})
    entered = {int(fields(line)["function"], 16): fields(line) for line in lines if line.startswith("function=")}
    sites = {int(line[5:], 16) for line in lines if line.startswith("site=")}
    failed = [line for line in lines if line.startswith("FAIL")]
    return status, summary, entered, sites, failed, out + err


status, summary, entered, sites, failed, output = step(dll)
statuses = [int(fields(line)["status"]) for line in output.splitlines() if line.startswith("status=")]
check(status == 0 and summary.get("failures") == "0" and int(summary.get("checks", 0)) > 10000,
      f"every instruction stepped ({summary.get('steps')}): at each of the {summary.get('checks')} that can raise or "
      "call, every frame up to the loader's came back as its function was entered", output[-800:])
check(statuses[:2] == [999, 999] and statuses[7] == 2 and len(statuses) == len(STEPPED_CALLS),
      "the stepped calls did what they do unstepped", str(statuses))
full_status, full_summary, full_entered, full_sites, _, full_output = step(dll, FULL_DISK_CALLS, file_limit=100)
full_statuses = [int(fields(line)["status"]) for line in full_output.splitlines() if line.startswith("status=")]
check(full_status == 0 and full_summary.get("failures") == "0" and full_statuses == [4],
      "a write that fails part way (a full disk) stepped: 4, and every frame came back at each instruction",
      full_output[-800:])
sites |= full_sites
for start, fields_ in full_entered.items():
    entered.setdefault(start, fields_)
reached_calls = len(sites & module.calls)
never = ", ".join(name for start, _, name in module.functions if start not in entered)
check(sites <= module.calls and reached_calls >= 0.7 * len(module.calls),
      f"{reached_calls} of the module's {len(module.calls)} call sites reached, each callee checked there; "
      f"{len(entered)} of its {len(module.functions)} functions entered (not: {never})")
check(mistvane in entered and all(int(f["failed"]) == 0 for f in entered.values()),
      "no function failed at any of its instructions")


# -- A table or a prolog the kernel would misread is caught ----------------------------------------------------------

pe = pefile.PE(dll)
directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
table_offset = pe.get_offset_from_rva(directory.VirtualAddress)
directory_field = pe.OPTIONAL_HEADER.get_file_offset() + 96 + 3 * 8
with open(dll, "rb") as file:
    original = bytearray(file.read())
entries = [struct.unpack_from("<II", original, table_offset + 8 * k) for k in range(directory.Size // 8)]
checked = {start for start, fields_ in entered.items() if int(fields_["checked"]) > 0}


def mutant(name, change):
    data = bytearray(original)
    change(data)
    path = os.path.join(work, name)
    with open(path, "wb") as file:
        file.write(data)
    return path


# One entry removed: that of the row function the blur spends its time in.
rows = next(start for start, _, name in module.functions if "PopOutputRow" in name)
removed = next(k for k, (start, _) in enumerate(entries) if start - IMAGE_BASE == rows)


def remove_entry(data):
    rest = data[table_offset + 8 * (removed + 1):table_offset + directory.Size]
    data[table_offset + 8 * removed:table_offset + directory.Size - 8] = rest
    struct.pack_into("<I", data, directory_field + 4, directory.Size - 8)


without_entry = mutant("without-entry.dll", remove_entry)
status, frames, reached, _, output = fault(without_entry, "in.bmp", "out.bmp", "#2005", "40")
check(status != 0 and reached and not (reached["reached"] == reached["sp"] == reached["registers"] == "1"),
      "without PopOutputRow's entry, the walk from a fault in the middle of the blur does not come back intact",
      output[-400:])
status, summary, _, _, failed, output = step(without_entry)
check(status != 0 and int(summary.get("failures", 0)) > 0 and failed,
      f"without PopOutputRow's entry, the stepped walks fail ({summary.get('failures')} times)", output[-400:])


# One prolog scheduled: a body instruction moved before the push, the table left as the compiler's output would
# have it. The instruction writes only a scratch register and reads neither sp nor pc, so the code still works.
def schedulable(start, prolog):
    word = module.word(start + 4 * prolog)
    rd, rn, rm = word >> 12 & 0xF, word >> 16 & 0xF, word & 0xF
    register_form = not word & 0x02000000
    return (word >> 28 == 0xE and word & 0x0C000000 == 0 and not (register_form and word & 0x90 == 0x90) and
            rd in (0, 1, 2, 3, 12) and rn not in (13, 15) and not (register_form and rm in (13, 15)) and
            not (register_form and word & 0x10))


target = next(((start - IMAGE_BASE, flags & 0xFF) for start, flags in entries
               if start - IMAGE_BASE in checked and start - IMAGE_BASE != mistvane and
               schedulable(start - IMAGE_BASE, flags & 0xFF)), None)
check(target is not None, "a prolog to schedule was found")
if target:
    start, prolog = target
    offset = pe.get_offset_from_rva(start)

    def schedule(data):
        words = list(struct.unpack_from(f"<{prolog + 1}I", data, offset))
        struct.pack_into(f"<{prolog + 1}I", data, offset, words[prolog], *words[:prolog])

    scheduled = mutant("scheduled.dll", schedule)
    status, summary, entered_now, _, failed, output = step(scheduled)
    statuses_now = [int(fields(line)["status"]) for line in output.splitlines() if line.startswith("status=")]
    check(status != 0 and int(summary.get("failures", 0)) > 0 and statuses_now == statuses,
          f"with {module.name_at(start)}'s prolog scheduled, the module still works but the stepped walks fail "
          f"({summary.get('failures')} times)", output[-400:])

sys.exit(checks.finish())
