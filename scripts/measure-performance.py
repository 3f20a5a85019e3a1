#!/usr/bin/env python3
"""Measures the module's performance and writes the figures of docs/performance.md.

One run builds what it needs, runs every benchmark on the code as it is, and replaces the section of
docs/performance.md between the two marker lines with tables of what it measured: each figure a median with its
spread (lowest to highest), the targets with how often they held, and the date, the machine and this command.
Nothing outside the markers is touched, and nothing is written when a build or a benchmark fails.

  python3 scripts/measure-performance.py [--quick] [--baseline COMMIT] [--dir DIR] [--output FILE]
                                        [--others-below PERCENT] [--jobs N]

  --quick            few rounds (a few minutes): for checking the script, not for figures to quote; the section then
                     says so at its top. MISTVANE_MEASURE_QUICK=1 does the same.
  --baseline COMMIT  also build that commit (in build/perf-baseline, a git worktree removed afterwards) and measure
                     it in the same rounds: the blur in memory, the host program against cp and the Windows CE
                     instruction counts get a column or a row for it
  --dir DIR          where the benchmarks write their files (default build/perf-work): the file system measured
  --output FILE      the page to write (default docs/performance.md)
  --others-below P   a round in which other programs took more than P % of the processors is run again, up to ten
                     times (default 15; 0 turns it off)
  --jobs N           build with N jobs (default: 2, or fewer processors)

Needs the default preset's build tools and Google Benchmark (Debian: libbenchmark-dev), and for the instruction
counts the Windows CE and ARM presets' (g++-arm-linux-gnueabi, qemu-user, python3-pyelftools, python3-pefile,
binutils-mingw-w64-x86-64): scripts/run-tests.sh installs them all. The full run takes about a quarter of an hour on
a 2-core machine; run it when the machine is otherwise quiet.
"""
import argparse
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BEGIN = "<!-- BEGIN MEASURED: written by scripts/measure-performance.py; edit the script, not this section -->"
END = "<!-- END MEASURED -->"

# The targets the figures are held to.
REPLACE_TARGETS = {4096: 1.3, 1024: 1.6}  # mistvane replacing an output of this side: at most this many times cp
JOBS_TARGET = 1.7     # a batch with -j 2: at least this many times the throughput of -j 1
BLUR_TARGET = 2.05    # BlurPixels 4096 x 4096 with the widest vectors: at most this many times memcpy of the block
ARM_TARGET = 25       # a whole Mistvane call on the Windows CE DLL, 640 x 480: at most this many instructions a pixel

FULL = {"bench_args": [], "replace": ["--rounds", "31", "--passes", "5", "--phase-rounds", "15"],
        "replace_small": ["--side", "1024", "--rounds", "31", "--passes", "3", "--phase-rounds", "0"],
        "jobs_runs": 8, "jobs": ["--rounds", "31"]}
QUICK = {"bench_args": ["--benchmark_min_time=0.02"], "replace": ["--rounds", "5", "--passes", "2",
                                                                   "--phase-rounds", "3"],
         "replace_small": ["--side", "1024", "--rounds", "5", "--passes", "1", "--phase-rounds", "0"],
         "jobs_runs": 2, "jobs": ["--rounds", "5"]}


def fail(message):
    sys.exit(f"measure-performance: {message}")


def run(command, capture=True, cwd=ROOT):
    """Runs a command, echoing it; its standard output when capture is set. Any failure ends the script."""
    print("+ " + " ".join(shlex.quote(part) for part in command), file=sys.stderr, flush=True)
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE if capture else None, text=True)
    if result.returncode != 0:
        if capture and result.stdout:
            sys.stderr.write(result.stdout)
        fail(f"{command[0]} failed (exit {result.returncode})")
    return result.stdout if capture else ""


def shell(text):
    return subprocess.run(text, shell=True, stdout=subprocess.PIPE, text=True, cwd=ROOT).stdout.strip()


def machine():
    model, flags = "unknown", set()
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name") and model == "unknown":
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    # The widest vectors the module uses on this processor (src/effect/processor_vectors.cpp asks the same).
    if {"avx512f", "avx512bw"} <= flags:
        model += ", with AVX-512"
    elif "avx2" in flags:
        model += ", with AVX2"
    return {
        "processors": shell("nproc"),
        "model": model,
        "kernel": shell("uname -srm"),
        "memory": shell("awk '/MemTotal/ {printf \"%.0f GiB\", $2 / 1048576}' /proc/meminfo"),
        "load": shell("cut -d' ' -f1-3 /proc/loadavg"),
    }


def file_system(path):
    found = shell(f"findmnt -n -o FSTYPE,OPTIONS -T {shlex.quote(path)}").split(None, 1)
    if not found:
        return "unknown file system"
    options = [o for o in (found[1].split(",") if len(found) > 1 else []) if o in ("discard", "noatime", "relatime")]
    return found[0] + (f" ({', '.join(options)})" if options else "")


def commit():
    """The commit measured, and whether what is built or runs the benchmarks differs from it."""
    head = shell("git rev-parse --short=12 HEAD") or "unknown"
    changed = shell("git status --porcelain -- CMakeLists.txt CMakePresets.json cmake include src tools wince "
                    "standins bench fuzz/make_seeds.py scripts/measure-performance.py")
    return head + (" with uncommitted changes to the code" if changed else "")


# --- formatting ---------------------------------------------------------------------------------------------------

def number(value, digits=None):
    if digits is None:
        digits = 2 if abs(value) < 10 else 1 if abs(value) < 100 else 0
    return f"{value:,.{digits}f}"


def spread(low, high, digits=None, unit=""):
    return f"{number(low, digits)} to {number(high, digits)}{unit}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


# --- Google Benchmark: the blur in memory and a whole call ---------------------------------------------------------

def blur_bench(build, settings, work, name="mistvane_bench.json"):
    out = os.path.join(work, name)
    run([os.path.join(build, "mistvane_bench"), f"--benchmark_out={out}", "--benchmark_out_format=json",
         *settings["bench_args"]])
    with open(out) as file:
        report = json.load(file)
    stats = {}  # run name -> aggregate name -> record
    for record in report["benchmarks"]:
        if record.get("run_type") == "aggregate":
            stats.setdefault(record["run_name"], {})[record["aggregate_name"]] = record
        elif record.get("error_occurred"):
            fail(f"{record['name']}: {record.get('error_message')}")
    return stats


def field(aggregates, key):
    """(median, lowest, highest) of a timing or counter over the repetitions."""
    return tuple(aggregates[name][key] for name in ("median", "min", "max"))


def find(stats, prefix):
    for name, aggregates in stats.items():
        if name.startswith(prefix):
            if not all(k in aggregates for k in ("median", "min", "max")):
                fail(f"{name}: no min and max aggregates (mistvane_bench too old?)")
            return aggregates, aggregates["median"]["repetitions"]
    return None, 0


def blur_tables(stats, before=None, baseline=None):
    rows = []
    levels = {0: "SSE2 only", 1: "at most AVX2", 2: "widest the processor has"}
    repetitions = set()
    target = None
    for width, height, level in ((640, 480, 2), (4096, 4096, 2), (8192, 8192, 2), (4096, 4096, 1), (4096, 4096, 0)):
        name = f"BM_BlurPixels/width:{width}/height:{height}/vectors:{level}/"
        aggregates, reps = find(stats, name)
        if aggregates is None:
            continue
        repetitions.add(reps)
        ms, ns, times = field(aggregates, "real_time"), field(aggregates, "ns_per_pixel"), field(aggregates, "x_memcpy")
        row = [f"`BlurPixels` {width} × {height}, {levels[level]}", f"{number(ms[0])} ms",
               spread(ms[1], ms[2], unit=" ms"), f"{number(ns[0])} ({spread(ns[1], ns[2])})",
               f"{number(times[0])} × ({spread(times[1], times[2])})"]
        old = find(before, name)[0] if before else None
        if before:
            row.append(f"{number(field(old, 'x_memcpy')[0])} × ({number(field(old, 'ns_per_pixel')[0])} ns)"
                       if old else "")
        rows.append(row)
        if (width, height, level) == (4096, 4096, 2):
            target = (times, field(old, "x_memcpy") if old else None)
    header = ["What", "Median", "Spread", "ns a pixel", "× `memcpy` of the same block"]
    parts = [table(header + ([f"Baseline {baseline}: × `memcpy` (ns a pixel)"] if before else []), rows)]
    if target:
        times, old = target
        parts.append(f"**Target: `BlurPixels` 4096 × 4096 with the widest vectors takes at most {BLUR_TARGET} × "
                     f"`memcpy` of the same block — {'met' if times[0] <= BLUR_TARGET else 'not met'}**: median "
                     f"{number(times[0])} × (repetitions {spread(times[1], times[2])})"
                     + (f"; baseline {baseline}, in the same run: {number(old[0])} × ({spread(old[1], old[2])})."
                        if old else "."))

    other = []
    aggregates, reps = find(stats, "BM_LiteralAlgorithm")
    if aggregates:
        repetitions.add(reps)
        ms, speedup = field(aggregates, "real_time"), field(aggregates, "speedup_of_BlurPixels")
        other.append(["the literal algorithm (441 samples a pixel), 640 × 480", f"{number(ms[0])} ms",
                      spread(ms[1], ms[2], unit=" ms"),
                      f"`BlurPixels` {number(speedup[0], 0)} × faster ({spread(speedup[1], speedup[2], 0)})"])
    for exact, label in ((0, "OpenCV `boxFilter` 21 × 21, one thread, replicated edges (not exact)"),
                         (1, "OpenCV made exact (32-bit sums, zero border, integer division by the counts)")):
        aggregates, reps = find(stats, f"BM_OpenCV/side:4096/exact:{exact}/")
        if aggregates:
            repetitions.add(reps)
            ms, times = field(aggregates, "real_time"), field(aggregates, "x_BlurPixels")
            other.append([label + ", 4096 × 4096", f"{number(ms[0])} ms", spread(ms[1], ms[2], unit=" ms"),
                          f"{number(times[0])} × the time of `BlurPixels` ({spread(times[1], times[2])})"])
    if other:
        parts.append(table(["Against", "Median", "Spread", "Ratio (spread)"], other))
    if not any(name.startswith("BM_OpenCV") for name in stats):
        parts.append("OpenCV was not installed for this run, so it has no rows (`libopencv-dev` adds them).")

    call = []
    aggregates, reps = find(stats, "BM_WholeCall/4096")
    if aggregates:
        repetitions.add(reps)
        ms, copy, times = field(aggregates, "real_time"), field(aggregates, "copy_ms"), field(aggregates, "x_copy")
        peak = field(aggregates, "peak_rss_growth_KiB")
        call = [["a whole `Mistvane` call on a 4096 × 4096 file (48 MiB), replacing its previous output",
                 f"{number(ms[0])} ms", spread(ms[1], ms[2], unit=" ms")],
                ["a plain copy of the same file in the same process (128 KiB buffer), replacing its copy",
                 f"{number(copy[0])} ms", spread(copy[1], copy[2], unit=" ms")],
                ["the call against the copy", f"{number(times[0])} ×", spread(times[1], times[2], unit=" ×")],
                ["peak resident size the call adds to an idle process", f"{number(peak[0], 0)} KiB",
                 spread(peak[1], peak[2], 0, " KiB")]]
        parts.append(table(["In one process", "Median", "Spread"], call))
    return parts, sorted(repetitions)


# --- the host program against cp ------------------------------------------------------------------------------------

CASE_LINE = re.compile(r"^  (.+?)\s+median\s+([\d.]+) ms\s+\(min\s+([\d.]+), max\s+([\d.]+)\)")
PASS_LINE = re.compile(r"^pass \d+, medians of (\d+) rounds \((\d+) more run again")
RATIO_LINE = re.compile(r"^  mistvane replacing / cp replacing: ([\d.]+) \(ratio of medians\), ([\d.]+) \(median")
PHASES_TITLE = re.compile(r"^where the time goes \(medians of (\d+) runs each, \[lowest\.\.highest\], (\d+) rounds")
PHASE = re.compile(r"\s*(.+?) (-?[\d.]+) \[(-?[\d.]+)\.\.(-?[\d.]+)\],?")


def replace_bench(build, arguments, work, others_below, baseline_host=None):
    compare = ["--compare", baseline_host] if baseline_host else []
    out = run([os.path.join(build, "mistvane_replace_bench"), "--dir", work, "--others-below", str(others_below),
               *compare, *arguments])
    print(out, file=sys.stderr)
    passes, ratios, round_ratios, rounds, rerun = {}, [], [], 0, 0
    phases, phase_runs, phase_rerun, order = {}, 0, 0, []
    in_phases = False
    for line in out.splitlines():
        if m := PASS_LINE.match(line):
            rounds, rerun = int(m[1]), rerun + int(m[2])
        elif m := RATIO_LINE.match(line):
            ratios.append(float(m[1]))
            round_ratios.append(float(m[2]))
        elif m := PHASES_TITLE.match(line):
            in_phases, phase_runs, phase_rerun = True, int(m[1]), int(m[2])
        elif in_phases and line.startswith("  "):
            name, rest = re.split(r"\s{2,}", line.strip(), maxsplit=1)
            phases[name] = {p[1]: (float(p[2]), float(p[3]), float(p[4])) for p in PHASE.finditer(rest)}
        elif m := CASE_LINE.match(line):
            if m[1] not in passes:
                order.append(m[1])
            passes.setdefault(m[1], []).append((float(m[2]), float(m[3]), float(m[4])))
    wants_phases = "--phase-rounds" not in arguments or arguments[arguments.index("--phase-rounds") + 1] != "0"
    if not ratios or not passes or (wants_phases and not phases):
        fail("mistvane_replace_bench printed nothing this script recognises")
    size = re.search(r"^(\d+) x (\d+), (\d+) bytes", out, re.M)
    return {"side": int(size[1]) if size else 4096, "bytes": int(size[3]) if size else 0, "passes": passes, "order": order, "ratios": ratios, "round_ratios": round_ratios, "rounds": rounds,
            "rerun": rerun, "phases": phases, "phase_runs": phase_runs, "phase_rerun": phase_rerun}


def case_name(name, baseline=None):
    """A benchmark's name for a case, with the programs and files in code type."""
    name = re.sub(r"^compared 1,", f"`mistvane` of baseline {baseline},", name)
    return re.sub(r"^(mistvane|cp),", r"`\1`,", name).replace("/dev/null", "`/dev/null`")


def replace_tables(result, baseline=None):
    base = result["passes"]["cp, replacing its copy"]
    rows = []
    for name in result["order"]:
        medians = [p[0] for p in result["passes"][name]]
        ratios = [m / b[0] for m, b in zip(medians, base)]
        rows.append([case_name(name, baseline),
                     f"{number(statistics.median(medians))} ms", spread(min(medians), max(medians), unit=" ms"),
                     spread(min(p[1] for p in result["passes"][name]), max(p[2] for p in result["passes"][name]),
                            unit=" ms"),
                     f"{number(statistics.median(ratios))} ({spread(min(ratios), max(ratios))})"])
    side = result["side"]
    target = REPLACE_TARGETS.get(side, min(REPLACE_TARGETS.values()))
    header = [f"{side} × {side}, {number(result['bytes'] / 1048576, 0)} MiB", "Median of the pass medians",
              "Pass medians", "Single runs", "× `cp` replacing its copy (pass ratios)"]
    held = sum(1 for r in result["ratios"] if r <= target)
    held_rounds = sum(1 for r in result["round_ratios"] if r <= target)
    count = len(result["ratios"])
    verdict = ("met in every pass" if held == count else "not met in any pass" if held == 0
               else f"met in {held} of {count} passes, not in the other {count - held}")
    summary = (f"**Target: `mistvane` replacing a {number(result['bytes'] / 1048576, 0)} MiB output takes at most "
               f"{target} × the time of `cp` replacing its copy — {verdict}**: the ratio of each pass's medians was "
               f"{', '.join(number(r) for r in result['ratios'])} (median {number(statistics.median(result['ratios']))}); "
               f"the median of the rounds' own ratios was at most {target} in {held_rounds} of {count} passes.")
    if not result["phases"]:
        return table(header, rows), summary, None
    # The phases in the order the programs go through them: the longest list first, each other phase after the one
    # before it in its own list.
    names = list(result["phases"])
    lists = sorted((list(result["phases"][name]) for name in names), key=len, reverse=True)
    phase_names = list(lists[0])
    for phases in lists[1:]:
        for k, phase in enumerate(phases):
            if phase not in phase_names:
                phase_names.insert(phase_names.index(phases[k - 1]) + 1 if k else 0, phase)
    phase_rows = []
    for phase in phase_names:
        cells = []
        for name in names:
            value = result["phases"][name].get(phase)
            cells.append(f"{number(value[0], 1)} ({number(value[1], 1)} to {number(value[2], 1)})" if value else "")
        phase_rows.append([phase] + cells)
    phase_table = table(["Phase, ms: median (lowest to highest)"] + [case_name(n, baseline) for n in names],
                        phase_rows)
    return table(header, rows), summary, phase_table


# --- batches -------------------------------------------------------------------------------------------------------

JOBS_LINE = re.compile(r"^  -j (\d+)\s+([\d.]+) ms\s+([\d.]+) files/s\s+([\d.]+) processors busy")
JOBS_RATIO = re.compile(r"^throughput of -j \d+ over -j 1: ([\d.]+) x \(median of the rounds' own ratios ([\d.]+) x, "
                        r"range ([\d.]+) to ([\d.]+)\)")
JOBS_COPY = re.compile(r"^baseline, cp copying the same files: one cp ([\d.]+) ms, \d+ at once ([\d.]+) ms: ([\d.]+) x")
JOBS_ROUNDS = re.compile(r"^medians of (\d+) rounds \((\d+) more run again")
JOBS_FILES = re.compile(r"^(\d+) files of (\d+) x (\d+)")


def jobs_bench(build, settings, work, others_below):
    runs = []
    for k in range(settings["jobs_runs"]):
        out = run([os.path.join(build, "mistvane_jobs_bench"), "--dir", os.path.join(work, "jobs"),
                   "--others-below", str(others_below), *settings["jobs"]])
        print(out, file=sys.stderr)
        result = {}
        for line in out.splitlines():
            if m := JOBS_LINE.match(line):
                result[f"j{m[1]}"] = (float(m[2]), float(m[3]), float(m[4]))
            elif m := JOBS_RATIO.match(line):
                result["ratio"], result["round_median"] = float(m[1]), float(m[2])
                result["round_low"], result["round_high"] = float(m[3]), float(m[4])
            elif m := JOBS_COPY.match(line):
                result["cp1"], result["cp2"], result["cp_ratio"] = float(m[1]), float(m[2]), float(m[3])
            elif m := JOBS_ROUNDS.match(line):
                result["rounds"], result["rerun"] = int(m[1]), int(m[2])
            elif m := JOBS_FILES.match(line):
                result["files"], result["side"] = int(m[1]), int(m[2])
        if not all(key in result for key in ("j1", "j2", "ratio", "cp_ratio", "rounds", "files")):
            fail("mistvane_jobs_bench printed nothing this script recognises")
        runs.append(result)
    return runs


def jobs_tables(runs):
    def line(label, values, digits=None, unit=""):
        return [label, f"{number(statistics.median(values), digits)}{unit}",
                spread(min(values), max(values), digits, unit)]
    rows = [line("`-j 1`: the batch", [r["j1"][0] for r in runs], unit=" ms"),
            line("`-j 2`: the batch", [r["j2"][0] for r in runs], unit=" ms"),
            line("`-j 1`: files a second", [r["j1"][1] for r in runs], 0),
            line("`-j 2`: files a second", [r["j2"][1] for r in runs], 0),
            line("`-j 1`: processors busy", [r["j1"][2] for r in runs]),
            line("`-j 2`: processors busy", [r["j2"][2] for r in runs]),
            line("throughput of `-j 2` over `-j 1` (ratio of the run's medians)", [r["ratio"] for r in runs],
                 unit=" ×"),
            line("the same, median of the rounds' own ratios", [r["round_median"] for r in runs], unit=" ×"),
            line("baseline: one `cp` for all the files", [r["cp1"] for r in runs], unit=" ms"),
            line("baseline: two `cp` at once, half the files each", [r["cp2"] for r in runs], unit=" ms"),
            line("baseline: two `cp` at once over one (median of the rounds' ratios)", [r["cp_ratio"] for r in runs],
                 unit=" ×")]
    first = runs[0]
    header = [f"{first['files']} files of {first['side']} × {first['side']}", f"Median of {len(runs)} runs",
              "Lowest to highest run"]
    ratios = [r["ratio"] for r in runs]
    held = sum(1 for r in ratios if r >= JOBS_TARGET)
    verdict = ("reached in every run" if held == len(runs) else "not reached in any run" if held == 0
               else f"reached in {held} of {len(runs)} runs, not in the other {len(runs) - held}")
    summary = (f"**Target: `-j 2` gives at least {JOBS_TARGET} × the throughput of `-j 1` — {verdict}**: each run's "
               f"ratio of medians was {', '.join(number(r) for r in ratios)} (median {number(statistics.median(ratios))});"
               f" single rounds ranged from {number(min(r['round_low'] for r in runs))} to "
               f"{number(max(r['round_high'] for r in runs))}.")
    return table(header, rows), summary


# --- ARM instruction counts ----------------------------------------------------------------------------------------

# count_instructions.py's rows: a label (indented further for where the instructions go), the count with two
# decimals, and a note.
COUNT = re.compile(r"^  ( *\S.*?)\s+(\d+\.\d\d)   (.*)$")


def instruction_counts(preset, target, jobs, tree=ROOT):
    run(["cmake", "--preset", preset], cwd=tree)
    out = run(["cmake", "--build", "--preset", preset, "-j", str(jobs), "--target", target], cwd=tree)
    lines = out.splitlines()
    start = next((k for k, text in enumerate(lines) if "instructions a pixel" in text), None)
    if start is None:
        fail(f"{target} printed no counts")
    rows = []
    for text in lines[start + 1:]:
        m = COUNT.match(text)
        if not m:
            break
        rows.append((m[1], float(m[2]), m[3].strip()))
    if not rows:
        fail(f"{target} printed no counts")
    return lines[start].strip(), rows


def count_table(title, rows, before=None, baseline=None):
    def text(words):
        return words.strip().replace("Mistvane", "`Mistvane`").replace("BlurPixels", "`BlurPixels`").replace(" x ", " × ")
    old = {label.strip(): value for label, value, _ in before or []}
    header = ["What", "Instructions a pixel"] + ([f"Baseline {baseline}"] if before else []) + ["Counted"]
    return f"{title}:\n\n" + table(header, [[text(label), number(value, 1)]
                                            + ([number(old[label.strip()], 1) if label.strip() in old else ""]
                                               if before else []) + [text(note)]
                                            for label, value, note in rows])


def count_target(rows, before, baseline=None):
    whole = next((value for label, value, _ in rows if label.strip().startswith("whole")), None)
    old = next((value for label, value, _ in before or [] if label.strip().startswith("whole")), None)
    if whole is None:
        return ""
    return (f"**Target: a whole `Mistvane` call on the Windows CE DLL takes at most {ARM_TARGET} instructions a pixel "
            f"— {'met' if whole <= ARM_TARGET else 'not met'}**: {number(whole, 2)}"
            + (f", against {number(old, 2)} for baseline {baseline}." if old is not None else "."))


# --- the baseline --------------------------------------------------------------------------------------------------

def baseline_build(reference, jobs):
    """Builds `reference` in a worktree of its own: its host program and mistvane_bench, and its Windows CE counts."""
    tree = os.path.join(ROOT, "build", "perf-baseline")
    if os.path.exists(tree):
        run(["git", "worktree", "remove", "--force", tree])
    run(["git", "worktree", "add", "--detach", tree, reference])
    name = shell(f"git rev-parse --short=12 {shlex.quote(reference)}")
    run(["cmake", "--preset", "default", "-DMISTVANE_BUILD_TESTS=OFF"], cwd=tree)
    run(["cmake", "--build", "--preset", "default", "-j", str(jobs), "--target", "mistvane", "mistvane_bench"], cwd=tree)
    counts = instruction_counts("wince", "wince_instructions", jobs, tree)
    return {"tree": tree, "name": name, "build": os.path.join(tree, "build"), "wince": counts}


# --- the page ------------------------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", default=os.environ.get("MISTVANE_MEASURE_QUICK") == "1")
    parser.add_argument("--dir", default=os.path.join(ROOT, "build", "perf-work"))
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "performance.md"))
    parser.add_argument("--others-below", type=float, default=15)
    parser.add_argument("--jobs", type=int, default=max(1, min(2, os.cpu_count() or 1)))
    parser.add_argument("--baseline")
    args = parser.parse_args()
    settings = QUICK if args.quick else FULL
    command = "python3 scripts/measure-performance.py" + "".join(
        " " + shlex.quote(a) for a in sys.argv[1:])
    if args.quick and "--quick" not in sys.argv[1:]:
        command = "MISTVANE_MEASURE_QUICK=1 " + command

    with open(args.output) as file:
        page = file.read()
    if page.count(BEGIN) != 1 or page.count(END) != 1 or page.index(BEGIN) > page.index(END):
        fail(f"{args.output} needs the two marker lines, once each:\n{BEGIN}\n{END}")

    started = time.monotonic()
    date = shell("date -u '+%Y-%m-%d %H:%M UTC'")
    where = machine()
    version = commit()
    os.makedirs(args.dir, exist_ok=True)
    measured_fs = file_system(args.dir)

    build = os.path.join(ROOT, "build")
    run(["cmake", "--preset", "default"])
    run(["cmake", "--build", "--preset", "default", "-j", str(args.jobs), "--target", "mistvane_replace_bench",
         "mistvane_jobs_bench"])
    targets = run(["cmake", "--build", "--preset", "default", "--target", "help"])
    if "mistvane_bench" not in targets:
        fail("mistvane_bench is not built without Google Benchmark (Debian: libbenchmark-dev)")
    run(["cmake", "--build", "--preset", "default", "-j", str(args.jobs), "--target", "mistvane_bench"])
    wince = instruction_counts("wince", "wince_instructions", args.jobs)
    arm = instruction_counts("arm", "arm_instructions", args.jobs)
    base = baseline_build(args.baseline, args.jobs) if args.baseline else None
    base_name = base["name"] if base else None
    base_host = os.path.join(base["build"], "mistvane") if base else None

    try:
        stats = blur_bench(build, settings, args.dir)
        before = blur_bench(base["build"], settings, args.dir, "baseline_bench.json") if base else None
        replaced = replace_bench(build, settings["replace"], args.dir, args.others_below, base_host)
        small = replace_bench(build, settings["replace_small"], args.dir, args.others_below, base_host)
        batches = jobs_bench(build, settings, args.dir, args.others_below)
    finally:
        if base:
            subprocess.run(["git", "worktree", "remove", "--force", base["tree"]], cwd=ROOT)
    minutes = (time.monotonic() - started) / 60

    blur_parts, repetitions = blur_tables(stats, before, base_name)
    replace_table, replace_summary, phase_table = replace_tables(replaced, base_name)
    small_table, small_summary, _ = replace_tables(small, base_name)
    jobs_table, jobs_summary = jobs_tables(batches)
    reps = " or ".join(str(r) for r in repetitions)
    first = batches[0]
    others = "off" if args.others_below <= 0 else f"more than {number(args.others_below, 0)} %"
    section = [BEGIN, "", "## Figures", ""]
    if args.quick:
        section += ["> **Quick run, with few rounds: these figures check that the script works and are not for "
                    "quoting.** Run `python3 scripts/measure-performance.py` on a quiet machine for the figures.", ""]
    section += [
        f"Measured on {date} by one run of `{command}` ({number(minutes, 0)} min), on commit {version}.",
        f"Machine: {where['processors']} processors ({where['model']}), {where['memory']} of memory, "
        f"{where['kernel']}; the files on {measured_fs}; load average {where['load']} at the start. The machine is "
        "shared with other developers' builds, so the figures are noisy: each is a median, with its spread.",
        "",
        "### The blur in memory",
        "",
        f"`mistvane_bench` (Google Benchmark): {reps} repetitions each; the spread is the lowest to the highest "
        "repetition. Each repetition times `memcpy` of the same block beside the blur.",
        "",
        blur_parts[0], "", *sum(([part, ""] for part in blur_parts[1:]), []),
        "### The host program against `cp`",
        "",
        f"`mistvane_replace_bench`: each command a process of its own, the five in a new order every round; "
        f"{len(replaced['ratios'])} passes of {replaced['rounds']} rounds on the 48 MiB file and "
        f"{len(small['ratios'])} of {small['rounds']} on the 3 MiB one ({replaced['rerun'] + small['rerun']} rounds "
        f"run again because other programs took {others} of the processors while they ran)"
        + (f", baseline {base_name} timed in the same rounds" if base else "")
        + ". Ratios are to `cp` replacing its copy in the same pass.",
        "",
        replace_table, "", replace_summary, "",
        small_table, "", small_summary, "",
        f"Where the time goes: medians of {replaced['phase_runs']} runs each with the phase clock preloaded "
        f"({replaced['phase_rerun']} rounds run again). Bracketed phases are the writer thread's, beside the others.",
        "",
        phase_table, "",
        "### Batches on two processors",
        "",
        f"`mistvane_jobs_bench`, run {len(batches)} times: {first['files']} files of {first['side']} × "
        f"{first['side']} through `mistvane -o DIR` with `-j 1` and `-j 2`, and as a baseline `cp` copying the same "
        f"files, one `cp` against two at once; each run the median of {first['rounds']} rounds "
        f"({sum(b['rerun'] for b in batches)} rounds run again for others' load over all runs).",
        "",
        jobs_table, "", jobs_summary, "",
        "### ARM instructions a pixel",
        "",
        "Counted under `qemu-arm -singlestep`, which logs every instruction executed: counts, not times, so the "
        "machine's load does not change them (a whole call's count can still differ slightly from run to run, by "
        "well under a thousandth). A run that does not blur is subtracted from one that does.",
        "",
        count_table(wince[0], wince[1], base["wince"][1] if base else None, base_name), "",
        count_target(wince[1], base["wince"][1] if base else None, base_name), "",
        count_table(arm[0], arm[1]), "",
        END,
    ]
    text = page[:page.index(BEGIN)] + "\n".join(section) + page[page.index(END) + len(END):]
    with open(args.output, "w") as file:
        file.write(text)
    print(f"wrote {os.path.relpath(args.output, ROOT)} ({number(minutes, 0)} min)", file=sys.stderr)


if __name__ == "__main__":
    main()
