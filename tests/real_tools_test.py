#!/usr/bin/python3
"""Blurs BMP files written by ImageMagick, netpbm and Pillow with the mistvane host and reads the results back with
Pillow, so the module is judged by writers and a reader that share none of its code.

usage: /usr/bin/python3 real_tools_test.py PATH/TO/mistvane

Needs Debian's python3-pil, imagemagick and netpbm. A missing tool is a failure, never a skip: CI installs them, so
a quiet skip would only hide a broken setup.
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import traceback

from PIL import Image

RADIUS = 10  # the window is 21 x 21
REJECT_MESSAGE = "Not a valid BMP file"

# Widths 37, 38, 39 and 40 give rows of 111, 114, 117 and 120 bytes: 1, 2, 3 and 0 bytes of padding. The heights
# include a single row and images smaller than the window, where every pixel's window is cut by the edges.
SIZES = [(37, 23), (38, 1), (39, 30), (40, 30), (1, 17), (38, 23)]


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


# ---------------------------------------------------------------------------------------------------------------- tools

def find_imagemagick():
    # The packaged binary is preferred over anything earlier on PATH, and must say it is ImageMagick: the files under
    # test have to come from the real writer.
    for candidate in ("/usr/bin/convert", shutil.which("convert")):
        if not candidate or not os.path.exists(candidate):
            continue
        try:
            version = subprocess.run([candidate, "-version"], capture_output=True, text=True, timeout=30).stdout
        except OSError:
            continue
        if "ImageMagick" in version:
            return candidate
    return None


def find_tool(name):
    path = "/usr/bin/" + name
    return path if os.path.exists(path) else shutil.which(name)


def need(tool, what):
    check(tool is not None, "%s is not installed (install it; this test does not skip)" % what)
    return tool


def run_tool(argv, stdout_path=None):
    if stdout_path is None:
        done = subprocess.run(argv, capture_output=True, timeout=60)
    else:
        with open(stdout_path, "wb") as sink:
            done = subprocess.run(argv, stdout=sink, stderr=subprocess.PIPE, timeout=60)
    check(done.returncode == 0, "%s failed (%d): %s" % (" ".join(argv), done.returncode,
                                                         done.stderr.decode(errors="replace").strip()))


# ------------------------------------------------------------------------------------------------------ source images

def make_source(width, height):
    """Rows of (r, g, b): crossing gradients, a block that inverts them, and fixed-seed noise on top, so every
    window sees different sums and a shifted, transposed or mis-strided window shows up."""
    rng = random.Random(width * 1009 + height)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            r = 255 * x // max(width - 1, 1)
            g = 255 * y // max(height - 1, 1)
            b = (x * 37 + y * 59) % 256
            if width // 3 <= x < 2 * width // 3 and height // 3 <= y < 2 * height // 3:
                r, g = 255 - r, 255 - g
            row.append(tuple(min(255, max(0, c + rng.randint(-40, 40))) for c in (r, g, b)))
        rows.append(row)
    return rows


def write_ppm(path, rows):
    height, width = len(rows), len(rows[0])
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height))
        f.write(bytes(c for row in rows for px in row for c in px))


def pillow_rows(path):
    """The pixels Pillow decodes from a file, as rows of (r, g, b)."""
    with Image.open(path) as im:
        im.load()
        check(im.mode == "RGB", "Pillow decodes %s as mode %s, not RGB" % (os.path.basename(path), im.mode))
        width, height = im.size
        data = im.tobytes()
    return [[tuple(data[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)] for y in range(height)]


# ---------------------------------------------------------------------------------------------------- reference blur

_reference_cache = {}


def reference_blur(rows):
    """Each pixel becomes the per-channel truncated mean of the 21 x 21 window around it, counting only the window's
    pixels that lie inside the image. Deliberately the slow, direct loop."""
    key = tuple(tuple(row) for row in rows)
    if key in _reference_cache:
        return _reference_cache[key]
    height, width = len(rows), len(rows[0])
    out = []
    for y in range(height):
        out_row = []
        for x in range(width):
            sum_r = sum_g = sum_b = count = 0
            for wy in range(y - RADIUS, y + RADIUS + 1):
                if wy < 0 or wy >= height:
                    continue
                for wx in range(x - RADIUS, x + RADIUS + 1):
                    if wx < 0 or wx >= width:
                        continue
                    r, g, b = rows[wy][wx]
                    sum_r += r
                    sum_g += g
                    sum_b += b
                    count += 1
            out_row.append((sum_r // count, sum_g // count, sum_b // count))
        out.append(out_row)
    _reference_cache[key] = out
    return out


# ------------------------------------------------------------------------------------------------------- BMP layout

def bmp_header(data):
    check(len(data) >= 26 and data[:2] == b"BM", "not a BMP file at all")
    (bi_size,) = struct.unpack_from("<I", data, 14)
    if bi_size == 12:  # OS/2 core header: 16-bit sizes, no compression field
        width, height, _planes, bits = struct.unpack_from("<HHHH", data, 18)
        compression = 0
    else:
        width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    (offset,) = struct.unpack_from("<I", data, 10)
    return {"bi_size": bi_size, "width": width, "height": height, "bits": bits, "compression": compression,
            "offset": offset}


def describe(h):
    return "biSize %d, %dx%d, %d bpp, compression %d" % (h["bi_size"], h["width"], h["height"], h["bits"],
                                                       h["compression"])


def pixel_byte_mask(data):
    """True for each byte of a 24-bit BMP that holds a colour sample; everything else must come back unchanged."""
    h = bmp_header(data)
    stride = (h["width"] * 3 + 3) // 4 * 4
    mask = bytearray(len(data))
    for row in range(abs(h["height"])):
        start = h["offset"] + row * stride
        mask[start:start + h["width"] * 3] = b"\x01" * (h["width"] * 3)
    return mask


# Variants no installed tool writes, made from a tool's file by hand.

def flipped_to_top_down(data):
    # None of ImageMagick, netpbm or Pillow writes top-down BMPs, so reverse the rows and negate biHeight.
    h = bmp_header(data)
    check(h["height"] > 0, "expected a bottom-up file to flip")
    stride = (h["width"] * 3 + 3) // 4 * 4
    start, end = h["offset"], h["offset"] + stride * h["height"]
    rows = [data[start + i * stride:start + (i + 1) * stride] for i in range(h["height"])]
    out = bytearray(data[:start] + b"".join(reversed(rows)) + data[end:])
    struct.pack_into("<i", out, 22, -h["height"])
    return bytes(out)


def v5_cut_to_v4(data):
    # ImageMagick 6 writes only the 124-byte V5 header; dropping the V5-only tail (intent, profile data, profile size,
    # reserved) gives the 108-byte V4 header with the same meaning.
    h = bmp_header(data)
    check(h["bi_size"] == 124, "expected a 124-byte header to cut down, got %d" % h["bi_size"])
    out = bytearray(data[:14 + 108] + data[14 + 124:])
    struct.pack_into("<I", out, 2, len(out))
    struct.pack_into("<I", out, 10, h["offset"] - 16)
    struct.pack_into("<I", out, 14, 108)
    return bytes(out)


def with_junk_outside_pixels(data):
    # Tools write zeros between the headers and the pixels, in the row padding and nowhere after the pixels, so a
    # module that zeroes those bytes would pass on their files; put distinct junk there instead.
    h = bmp_header(data)
    stride = (h["width"] * 3 + 3) // 4 * 4
    check(stride != h["width"] * 3, "expected a width with row padding")
    gap = bytes([0xC3, 0x5A, 0x00, 0xFF, 0x17])
    out = bytearray(data[:h["offset"]] + gap + data[h["offset"]:] + b"TRAILER\x01\x02")
    struct.pack_into("<I", out, 10, h["offset"] + len(gap))
    for row in range(abs(h["height"])):
        pad_start = h["offset"] + len(gap) + row * stride + h["width"] * 3
        for i in range(pad_start, pad_start + stride - h["width"] * 3):
            out[i] = (0x91 + 13 * row + i) % 256 or 1
    return bytes(out)


# ------------------------------------------------------------------------------------------------------- the checks

class Suite:
    def __init__(self, mistvane, scratch):
        self.mistvane = mistvane
        self.scratch = scratch
        self.convert = find_imagemagick()
        self.ppmtobmp = find_tool("ppmtobmp")
        self.header_log = []  # (writer, header description) for the report
        self.passed = 0
        self.failures = []
        self.sources = {}

    def case(self, name, body):
        try:
            body()
        except CheckFailed as e:
            self.failures.append((name, str(e)))
            print("FAIL %s: %s" % (name, e))
        except Exception:  # a crash in the harness is a failure too, never a pass
            self.failures.append((name, traceback.format_exc()))
            print("FAIL %s:\n%s" % (name, traceback.format_exc()))
        else:
            self.passed += 1
            print("ok   %s" % name)

    def path(self, name):
        return os.path.join(self.scratch, name)

    def source_ppm(self, width, height):
        if (width, height) not in self.sources:
            rows = make_source(width, height)
            path = self.path("source-%dx%d.ppm" % (width, height))
            write_ppm(path, rows)
            self.sources[(width, height)] = (rows, path)
        return self.sources[(width, height)]

    # --- writers: each returns the path of the BMP it made

    def imagemagick(self, width, height, name, *options):
        convert = need(self.convert, "ImageMagick (convert)")
        _, ppm = self.source_ppm(width, height)
        out = self.path(name)
        run_tool([convert, ppm] + list(options) + ["BMP:" + out])
        return out

    def netpbm(self, width, height, name, *options):
        ppmtobmp = need(self.ppmtobmp, "netpbm (ppmtobmp)")
        _, ppm = self.source_ppm(width, height)
        out = self.path(name)
        run_tool([ppmtobmp] + list(options) + [ppm], stdout_path=out)
        return out

    def pillow(self, width, height, name, mode="RGB"):
        rows, _ = self.source_ppm(width, height)
        im = Image.frombytes("RGB", (width, height), bytes(c for row in rows for px in row for c in px))
        out = self.path(name)
        im.convert(mode).save(out, "BMP")
        return out

    def derived(self, source_path, name, transform):
        out = self.path(name)
        with open(source_path, "rb") as f:
            data = f.read()
        with open(out, "wb") as f:
            f.write(transform(data))
        return out

    # --- what the module must do with them

    def run_mistvane(self, src, dst):
        return subprocess.run([self.mistvane, src, dst], capture_output=True, timeout=60)

    def expect_blurred(self, writer, make, width, height, bi_sizes, out_name=None):
        def body():
            src = make()
            with open(src, "rb") as f:
                data_in = f.read()
            h = bmp_header(data_in)
            self.header_log.append((writer, describe(h)))
            check(h["bi_size"] in bi_sizes and h["bits"] == 24 and h["compression"] == 0,
                  "%s wrote %s, not the 24-bit uncompressed layout this case is for" % (writer, describe(h)))
            check((h["width"], abs(h["height"])) == (width, height), "%s wrote %s" % (writer, describe(h)))

            # Guards the harness: the reference is computed from what Pillow reads, which must be the source.
            decoded_in = pillow_rows(src)
            check(decoded_in == self.source_ppm(width, height)[0],
                  "Pillow does not read back the source pixels from the %s file" % writer)

            dst = self.path(out_name or ("blurred-" + os.path.basename(src)))
            done = self.run_mistvane(src, dst)
            check(done.returncode == 0, "mistvane exited %d on %s (%s): %s" % (
                done.returncode, writer, describe(h), done.stderr.decode(errors="replace").strip()))
            check(os.path.exists(dst), "mistvane exited 0 but wrote no output")
            with open(dst, "rb") as f:
                data_out = f.read()

            check(len(data_out) == len(data_in), "output is %d bytes, input %d" % (len(data_out), len(data_in)))
            mask = pixel_byte_mask(data_in)
            changed = [i for i in range(len(data_in)) if not mask[i] and data_in[i] != data_out[i]]
            check(not changed, "%d non-pixel bytes differ from the input, first at offsets %s (in %s, out %s)" % (
                len(changed), changed[:8], [data_in[i] for i in changed[:8]], [data_out[i] for i in changed[:8]]))

            want = reference_blur(decoded_in)
            got = pillow_rows(dst)
            check(len(got) == height and len(got[0]) == width, "Pillow decodes the output at a different size")
            wrong = [(x, y, got[y][x], want[y][x]) for y in range(height) for x in range(width)
                     if got[y][x] != want[y][x]]
            check(not wrong, "%d of %d pixels differ from the reference; first (x, y, got RGB, want RGB): %s" % (
                len(wrong), width * height, wrong[:5]))

        self.case("%s %dx%d blurs like the reference" % (writer, width, height), body)

    def expect_rejected(self, writer, make, bits, bi_size=None):
        def body():
            src = make()
            with open(src, "rb") as f:
                h = bmp_header(f.read())
            self.header_log.append((writer, describe(h)))
            check(h["bits"] == bits and (bi_size is None or h["bi_size"] == bi_size),
                  "%s wrote %s, not the layout this case is for" % (writer, describe(h)))
            dst = self.path("rejected-" + os.path.basename(src))
            done = self.run_mistvane(src, dst)
            stderr = done.stderr.decode(errors="replace")
            check(done.returncode == 1, "mistvane exited %d on %s (%s), not 1" % (done.returncode, writer,
                                                                                 describe(h)))
            check(REJECT_MESSAGE in stderr, "stderr lacks %r: %r" % (REJECT_MESSAGE, stderr))
            check(not os.path.exists(dst), "an output file was created for a rejected input")

        self.case("%s is rejected" % writer, body)


# The pipelines the README shows, JPEG or PNG in and PNG out, with `mistvane` standing for the host under test and the
# PNG writers told to leave out the time, so that two runs give the same bytes.
PIPELINES = [
    ("ImageMagick, JPEG in", "photo.jpg",
     "convert photo.jpg -type TrueColor bmp3:- | mistvane - - | convert bmp:- {png} soft.png"),
    ("ImageMagick, PNG in", "photo.png",
     "convert photo.png -type TrueColor bmp3:- | mistvane - - | convert bmp:- {png} soft.png"),
    ("netpbm, JPEG in", "photo.jpg",
     "jpegtopnm photo.jpg | ppmtobmp -bpp=24 | mistvane - - | bmptopnm | pnmtopng > soft.png"),
    ("netpbm, PNG in", "photo.png",
     "pngtopnm photo.png | ppmtobmp -bpp=24 | mistvane - - | bmptopnm | pnmtopng > soft.png"),
]
IM_PNG_OPTIONS = "-define png:exclude-chunks=date,time"


def file_to_file(command):
    """The same pipeline with the host's step as a plain call from one file to another: everything before `mistvane`
    writes photo.bmp, the host blurs it into soft.bmp, and everything after reads soft.bmp."""
    before, after = command.split(" | mistvane - - | ")
    return "%s > photo.bmp && mistvane photo.bmp soft.bmp && < soft.bmp %s" % (before, after)


def run_pipelines(s, width, height):
    convert = need(s.convert, "ImageMagick (convert)")
    _, ppm = s.source_ppm(width, height)
    for writer, photo, command in PIPELINES:
        def body(photo=photo, command=command):
            work = s.path("pipeline-%dx%d" % (width, height))
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            run_tool([convert, ppm] + (["-quality", "92"] if photo.endswith(".jpg") else []) +
                     [os.path.join(work, photo)])
            # `mistvane` on PATH is the host under test; everything else is Debian's.
            bin_dir = os.path.join(work, "bin")
            os.makedirs(bin_dir)
            os.symlink(s.mistvane, os.path.join(bin_dir, "mistvane"))
            env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
            results = []
            for line in (command, file_to_file(command)):
                line = line.format(png=IM_PNG_OPTIONS)
                done = subprocess.run(["bash", "-o", "pipefail", "-c", line], cwd=work, env=env,
                                      capture_output=True, timeout=120)
                check(done.returncode == 0, "%s failed (%d): %s" % (line, done.returncode,
                                                                    done.stderr.decode(errors="replace").strip()))
                with open(os.path.join(work, "soft.png"), "rb") as f:
                    results.append(f.read())
                os.remove(os.path.join(work, "soft.png"))
            check(results[0] == results[1] != b"", "the pipeline's PNG differs from the file-to-file call's")
        s.case("pipeline %s, %dx%d: %s" % (writer, width, height, command.format(png="...")), body)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: %s PATH/TO/mistvane" % sys.argv[0])
    mistvane = os.path.abspath(sys.argv[1])
    if not os.access(mistvane, os.X_OK):
        print("mistvane host not found or not executable: %s" % mistvane)
        print("0 passed, 1 failed")
        sys.exit(1)

    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="mistvane-real-tools-") as scratch:
        s = Suite(mistvane, scratch)
        ANY_V4_V5 = (108, 124)

        # ImageMagick's own default layout (whichever of V4/V5 its version writes), and its classic 40-byte layout.
        for w, h in [(37, 23), (38, 1), (39, 30)]:
            s.expect_blurred("ImageMagick default", lambda w=w, h=h: s.imagemagick(
                w, h, "im-default-%dx%d.bmp" % (w, h), "-type", "TrueColor"), w, h, ANY_V4_V5)
        for w, h in [(37, 23), (40, 30), (1, 17)]:
            s.expect_blurred("ImageMagick bmp3", lambda w=w, h=h: s.imagemagick(
                w, h, "im-bmp3-%dx%d.bmp" % (w, h), "-type", "TrueColor", "-define", "bmp:format=bmp3"),
                w, h, (40,))

        for w, h in [(38, 23), (39, 30), (1, 17)]:
            s.expect_blurred("netpbm ppmtobmp", lambda w=w, h=h: s.netpbm(
                w, h, "netpbm-%dx%d.bmp" % (w, h), "-windows", "-bpp=24"), w, h, (40,))

        for w, h in [(37, 23), (40, 30), (38, 1)]:
            s.expect_blurred("Pillow", lambda w=w, h=h: s.pillow(w, h, "pillow-%dx%d.bmp" % (w, h)), w, h, (40,))

        s.expect_blurred("top-down from ImageMagick bmp3", lambda: s.derived(
            s.imagemagick(38, 23, "td-src-bmp3.bmp", "-type", "TrueColor", "-define", "bmp:format=bmp3"),
            "top-down-40.bmp", flipped_to_top_down), 38, 23, (40,))
        s.expect_blurred("top-down from ImageMagick default", lambda: s.derived(
            s.imagemagick(37, 23, "td-src-default.bmp", "-type", "TrueColor"),
            "top-down-v5.bmp", flipped_to_top_down), 37, 23, ANY_V4_V5)
        s.expect_blurred("V4 header cut from ImageMagick default", lambda: s.derived(
            s.imagemagick(39, 30, "v4-src.bmp", "-type", "TrueColor"), "v4.bmp", v5_cut_to_v4), 39, 30, (108,))
        s.expect_blurred("top-down V4 header cut from ImageMagick default", lambda: s.derived(
            s.derived(s.imagemagick(40, 30, "v4-td-src.bmp", "-type", "TrueColor"), "v4-td-mid.bmp", v5_cut_to_v4),
            "v4-top-down.bmp", flipped_to_top_down), 40, 30, (108,))
        s.expect_blurred("junk in gap, padding and trailer of a ppmtobmp file", lambda: s.derived(
            s.netpbm(37, 23, "junk-src.bmp", "-windows", "-bpp=24"), "junk.bmp", with_junk_outside_pixels),
            37, 23, (40,))
        # The host hands the module UTF-16 paths; names outside ASCII must survive the trip both ways.
        s.expect_blurred("Pillow, non-ASCII file names", lambda: s.pillow(38, 23, "vstup-žluťoučký-日本.bmp"),
                         38, 23, (40,), out_name="výstup-žluťoučký-日本.bmp")

        s.expect_rejected("ImageMagick 32-bit (-type TrueColorAlpha)", lambda: s.imagemagick(
            37, 23, "im-32.bmp", "-type", "TrueColorAlpha"), 32)
        s.expect_rejected("ImageMagick 8-bit palette (-type Palette, RLE8)", lambda: s.imagemagick(
            37, 23, "im-pal-rle.bmp", "-type", "Palette"), 8)
        s.expect_rejected("ImageMagick 8-bit palette uncompressed", lambda: s.imagemagick(
            37, 23, "im-pal.bmp", "-type", "Palette", "-compress", "None"), 8)
        s.expect_rejected("ImageMagick 8-bit palette bmp3", lambda: s.imagemagick(
            37, 23, "im-pal-bmp3.bmp", "-type", "Palette", "-compress", "None", "-define", "bmp:format=bmp3"), 8, 40)
        s.expect_rejected("ImageMagick 16-bit RGB565", lambda: s.imagemagick(
            37, 23, "im-565.bmp", "-define", "bmp:subtype=RGB565"), 16)
        s.expect_rejected("ImageMagick 16-bit RGB555", lambda: s.imagemagick(
            37, 23, "im-555.bmp", "-define", "bmp:subtype=RGB555"), 16)
        s.expect_rejected("ImageMagick BMP2 (12-byte OS/2 header)", lambda: s.imagemagick(
            37, 23, "im-bmp2.bmp", "-type", "TrueColor", "-define", "bmp:format=bmp2"), 24, 12)
        s.expect_rejected("netpbm ppmtobmp -os2 (12-byte header)", lambda: s.netpbm(
            37, 23, "netpbm-os2.bmp", "-os2", "-bpp=24"), 24, 12)
        s.expect_rejected("Pillow 8-bit palette", lambda: s.pillow(37, 23, "pillow-p.bmp", mode="P"), 8, 40)
        s.expect_rejected("Pillow 8-bit greyscale", lambda: s.pillow(37, 23, "pillow-l.bmp", mode="L"), 8, 40)
        s.expect_rejected("Pillow 1-bit", lambda: s.pillow(37, 23, "pillow-1.bmp", mode="1"), 1, 40)

        # Standard input and output through real tools, against the same steps through files.
        for w, h in [(37, 23), (641, 300)]:
            run_pipelines(s, w, h)

        print()
        print("headers the writers produced:")
        for writer, header in dict.fromkeys(s.header_log):
            print("  %-55s %s" % (writer, header))

    print("time: %.1f s" % (time.monotonic() - started))
    if s.failures:
        print()
        print("failures:")
        for name, why in s.failures:
            print("  %s: %s" % (name, why))
    print("%d passed, %d failed" % (s.passed, len(s.failures)))
    sys.exit(1 if s.failures else 0)


if __name__ == "__main__":
    main()
