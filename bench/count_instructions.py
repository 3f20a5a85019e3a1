#!/usr/bin/env python3
"""ARM instructions a pixel of the blur, counted exactly: qemu-arm -singlestep -d exec,nochain writes one "Trace"
line for every instruction executed, so a count is the same on every run, whatever else the machine does. Each
figure is a run that blurs less a run that does not, divided by the pixels blurred.

  wince: the Windows CE DLL through ce_loader on the StrongARM (qemu-arm -cpu sa1110): a whole Mistvane call on a
         640 x 480 file, everything it executes included (the stand-in libraries' instructions too), with where the
         instructions go; BlurPixels alone on a 640 x 480 block, built as the DLL is; the literal algorithm built
         the same way, on 64 x 48 (441 samples a pixel make a larger image slow to trace).
  linux: the same for the Linux ARM build (its host program and shared library, on Debian's ARM C library).

Results are checked before anything is counted: BlurPixels must give what the literal algorithm gives, and the
call must succeed.

usage: count_instructions.py wince QEMU LOADER DLL ELF BLUR_COUNT WORKDIR
       count_instructions.py linux QEMU SYSROOT HOST BLUR_COUNT WORKDIR
"""
import bisect
import collections
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz"))
from make_seeds import bitmap  # noqa: E402

WIDTH, HEIGHT = 640, 480
LITERAL_WIDTH, LITERAL_HEIGHT = 64, 48


def traced(command, names=None):
    """Runs `command` (a qemu-arm command line) with instruction tracing: (instructions executed, the program's
    stdout, exit status, Counter of instructions by qemu's symbol name, or by program counter where it has none)."""
    reader, writer = os.pipe()
    process = subprocess.Popen(command[:1] + ["-singlestep", "-d", "exec,nochain", "-D", f"/dev/fd/{writer}"]
                               + command[1:], pass_fds=(writer,), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    os.close(writer)
    total = 0
    places = collections.Counter()
    with os.fdopen(reader, "rb", buffering=1 << 20) as log:
        for line in log:
            if not line.startswith(b"Trace"):
                continue
            total += 1
            if names is not None:
                fields = line.split()
                if len(fields) > 4:
                    places[fields[4].decode()] += 1
                else:
                    places[int(fields[3][1:].split(b"/")[1], 16)] += 1
    output = process.stdout.read().decode()
    return total, output, process.wait(), places


def function_table(elf):
    """[(start, end, name)] of the functions in an ELF image, sorted."""
    from elftools.elf.elffile import ELFFile
    with open(elf, "rb") as file:
        image = ELFFile(file)
        symbols = image.get_section_by_name(".symtab")
        functions = sorted((s["st_value"], s["st_value"] + max(s["st_size"], 4), s.name)
                           for s in symbols.iter_symbols() if s["st_info"]["type"] == "STT_FUNC" and s.name)
        entry = image.header.e_entry
    return functions, entry


def demangled(names):
    result = subprocess.run(["arm-linux-gnueabi-c++filt"], input="\n".join(names), capture_output=True, text=True)
    lines = result.stdout.splitlines() if result.returncode == 0 else []
    return lines if len(lines) == len(names) else names


def where(places, functions, entry, image_base=0x10000000):
    """Instructions by function: qemu names the loader's; the module's are found from its own symbols, the module
    being placed where the first unnamed instruction, its entry point, was executed."""
    unnamed = [place for place in places if isinstance(place, int)]
    by_function = collections.Counter({place: n for place, n in places.items() if isinstance(place, str)})
    if not unnamed:
        return by_function
    first = next(place for place in places if isinstance(place, int))
    delta = first - entry
    starts = [start for start, _, _ in functions]
    for pc in unnamed:
        k = bisect.bisect_right(starts, pc - delta) - 1
        name = functions[k][2] if k >= 0 and pc - delta < functions[k][1] else "(module, unknown)"
        by_function["module: " + name] += places[pc]
    return by_function


def per_pixel(instructions, pixels):
    return instructions / pixels


def report(title, rows):
    print(title)
    for label, value, note in rows:
        print(f"  {label:<44} {value:>10.2f}   {note}")


def blur_count_rows(prefix, blur_count):
    """BlurPixels alone and the literal algorithm, through the blur_count program (`prefix` runs it)."""
    check = subprocess.run(prefix + [blur_count, "check", "61", "37"])
    if check.returncode != 0:
        sys.exit("BlurPixels differs from the literal algorithm: nothing is counted")
    none, _, _, _ = traced(prefix + [blur_count, "none", str(WIDTH), str(HEIGHT)])
    blur, _, _, _ = traced(prefix + [blur_count, "blur", str(WIDTH), str(HEIGHT)])
    small, _, _, _ = traced(prefix + [blur_count, "none", str(LITERAL_WIDTH), str(LITERAL_HEIGHT)])
    literal, _, _, _ = traced(prefix + [blur_count, "literal", str(LITERAL_WIDTH), str(LITERAL_HEIGHT)])
    blur_figure = per_pixel(blur - none, WIDTH * HEIGHT)
    literal_figure = per_pixel(literal - small, LITERAL_WIDTH * LITERAL_HEIGHT)
    return [
        (f"BlurPixels alone, {WIDTH} x {HEIGHT}", blur_figure, f"{blur - none:,} instructions"),
        (f"literal algorithm, {LITERAL_WIDTH} x {LITERAL_HEIGHT}", literal_figure,
         f"{literal - small:,} instructions; {literal_figure / blur_figure:.0f} x BlurPixels"),
    ]


def wince(qemu, loader, dll, elf, blur_count, work):
    run = [qemu, "-cpu", "sa1110"]
    source, target = os.path.join(work, "in.bmp"), os.path.join(work, "out.bmp")
    with open(source, "wb") as file:
        file.write(bitmap(WIDTH, HEIGHT, seed=3))
    baseline, _, _, _ = traced(run + [loader, dll, "load-only"])
    functions, entry = function_table(elf)
    total, output, status, places = traced(run + [loader, dll, "blur", source, target], names=True)
    fields = dict(field.split("=") for field in output.split())
    if status != 0 or fields.get("status") != "999":
        sys.exit(f"the call did not succeed ({output.strip()}): nothing is counted")
    pixels = WIDTH * HEIGHT
    rows = [(f"whole Mistvane call, {WIDTH} x {HEIGHT}", per_pixel(total - baseline, pixels),
             f"{total - baseline:,} instructions; peak heap {int(fields['peak']):,} bytes")]
    spread = where(places, functions, entry)
    top = spread.most_common(8)
    for (name, count), shown in zip(top, demangled([name.replace("module: ", "") for name, _ in top])):
        rows.append(("  " + ("module: " if name.startswith("module: ") else "stand-in: ") + shown.split("(")[0],
                     per_pixel(count, pixels), ""))
    rows += blur_count_rows(run, blur_count)
    report("Windows CE DLL, ARMv4 on qemu-arm -cpu sa1110: instructions a pixel", rows)


def linux(qemu, sysroot, host, blur_count, work):
    run = [qemu, "-L", sysroot]
    source, target = os.path.join(work, "in.bmp"), os.path.join(work, "out.bmp")
    with open(source, "wb") as file:
        file.write(bitmap(WIDTH, HEIGHT, seed=3))
    # The baseline loads the module and calls it on a file that does not exist, which fails at once.
    baseline, _, _, _ = traced(run + [host, "--quiet", os.path.join(work, "missing.bmp"), target])
    total, _, status, _ = traced(run + [host, "--quiet", source, target])
    if status != 0:
        sys.exit("the call did not succeed: nothing is counted")
    rows = [(f"whole Mistvane call, {WIDTH} x {HEIGHT}", per_pixel(total - baseline, WIDTH * HEIGHT),
             f"{total - baseline:,} instructions (the host program on the file, less on a missing one)")]
    rows += blur_count_rows(run, blur_count)
    report("Linux ARM build (ARMv4T code, Debian's ARM C library) on qemu-arm: instructions a pixel", rows)


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else ""
    if mode == "wince" and len(sys.argv) == 8:
        os.makedirs(sys.argv[7], exist_ok=True)
        wince(*sys.argv[2:8])
    elif mode == "linux" and len(sys.argv) == 7:
        os.makedirs(sys.argv[6], exist_ok=True)
        linux(*sys.argv[2:7])
    else:
        sys.exit(__doc__.split("usage: ")[1])


if __name__ == "__main__":
    main()
