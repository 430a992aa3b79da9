"""A private X server (Xvfb) for tests of the desktop window: starts on a free display
number, runs programs with DISPLAY set, finds their windows by title with xwininfo,
takes screenshots from the server's frame buffer (no image tools needed) and stops.

As a command:
  xvfb_display.py [--size WxHxD] [--wait-window TITLE] [--screenshot FILE.png]
                  [--timeout S] [--stop-after-screenshot] -- COMMAND [ARG...]
  xvfb_display.py --self-test PREVIEW_BINARY
The exit status is the command's (1 when the awaited window never appeared)."""

import argparse
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

_WINDOW_LINE = re.compile(
    r'^\s*(0x[0-9a-fA-F]+) (?:"(.*)"|\(has no name\)):.*?\s(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$'
)


class Window:
    def __init__(self, wid, title, width, height, x, y):
        self.id, self.title = wid, title
        self.width, self.height, self.x, self.y = width, height, x, y

    def __repr__(self):
        return "Window(%s %r %dx%d+%d+%d)" % (self.id, self.title, self.width, self.height, self.x, self.y)


def parse_tree(text):
    """The windows of `xwininfo -root -tree` output, with absolute positions."""
    windows = []
    for line in text.splitlines():
        m = _WINDOW_LINE.match(line)
        if m:
            wid, title, w, h, x, y = m.groups()
            windows.append(Window(wid, title, int(w), int(h), int(x), int(y)))
    return windows


def xwd_to_rgb(data):
    """(width, height, rgb bytes) of an XWD image in ZPixmap format (24/32 bits)."""
    fields = struct.unpack(">25I", data[:100])
    header_size, version, pixmap_format = fields[0], fields[1], fields[2]
    width, height, byte_order = fields[4], fields[5], fields[7]
    bits_per_pixel, bytes_per_line = fields[11], fields[12]
    red_mask, green_mask, blue_mask, ncolors = fields[14], fields[15], fields[16], fields[19]
    if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise ValueError("unsupported XWD image (version %d, format %d, %d bpp)" % (version, pixmap_format, bits_per_pixel))
    offset = header_size + 12 * ncolors
    step = bits_per_pixel // 8
    shifts = [(m & -m).bit_length() - 1 for m in (red_mask, green_mask, blue_mask)]
    rgb = bytearray(width * height * 3)
    for row in range(height):
        line = data[offset + row * bytes_per_line: offset + row * bytes_per_line + width * step]
        out = row * width * 3
        if byte_order == 0 and all(s % 8 == 0 for s in shifts):  # LSB first: byte index = shift / 8
            for channel, shift in enumerate(shifts):
                rgb[out + channel: out + width * 3: 3] = line[shift // 8::step]
        else:
            order = "little" if byte_order == 0 else "big"
            for col in range(width):
                pixel = int.from_bytes(line[col * step:(col + 1) * step], order)
                for channel, (mask, shift) in enumerate(zip((red_mask, green_mask, blue_mask), shifts)):
                    rgb[out + col * 3 + channel] = (pixel & mask) >> shift
    return width, height, bytes(rgb)


def write_png(path, width, height, rgb):
    """Writes 8-bit RGB pixels as a PNG file."""
    raw = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def read_png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is no PNG file" % path)
    return struct.unpack(">II", head[16:24])


class XvfbDisplay:
    """An Xvfb server on a display number it picks itself (-displayfd)."""

    def __init__(self, size="1024x768x24"):
        self.size = size
        self.display = None
        self.proc = None
        self.fbdir = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, timeout=20):
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed (Debian package xvfb)")
        self.fbdir = tempfile.mkdtemp(prefix="tarvex-xvfb-")
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            # -noreset: the server stays as it is when its last client leaves (as a
            # desktop's does); a reset would refuse the next program that connects
            # meanwhile, and every xwininfo here is a client that leaves.
            ["Xvfb", "-displayfd", str(w), "-screen", "0", self.size, "-fbdir", self.fbdir, "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        deadline = time.monotonic() + timeout
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([r], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not report a display number")
                part = os.read(r, 16)
                if not part:
                    raise RuntimeError("Xvfb exited: status %s" % self.proc.wait())
                number += part
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(r)
        self.display = ":" + number.decode().strip()
        return self.display

    def env(self, extra=None):
        """The environment for a program on this display (X11, not Wayland/offscreen)."""
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        env.update(extra or {})
        return env

    def run(self, args, **kwargs):
        """Starts a program on the display; returns its Popen."""
        kwargs.setdefault("env", self.env())
        return subprocess.Popen(args, **kwargs)

    def windows(self):
        out = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env(), capture_output=True, text=True, check=True)
        return parse_tree(out.stdout)

    def find_window(self, title, timeout=20, proc=None):
        """The first mapped window with the title, waiting up to timeout seconds
        (checked every 100 ms); None when it never shows or proc ended first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for w in self.windows():
                if w.title == title and w.width > 1 and self._viewable(w):
                    return w
            if proc is not None and proc.poll() is not None:
                return None
            time.sleep(0.1)
        return None

    def _viewable(self, window):
        out = subprocess.run(["xwininfo", "-id", window.id], env=self.env(), capture_output=True, text=True)
        return "IsViewable" in out.stdout

    def screenshot(self, path, window=None):
        """Writes the screen (or the window's area of it) as a PNG file; returns (w, h)."""
        with open(os.path.join(self.fbdir, "Xvfb_screen0"), "rb") as f:
            width, height, rgb = xwd_to_rgb(f.read())
        if window is not None:
            x0, y0 = max(window.x, 0), max(window.y, 0)
            x1, y1 = min(window.x + window.width, width), min(window.y + window.height, height)
            rgb = b"".join(rgb[(y * width + x0) * 3:(y * width + x1) * 3] for y in range(y0, y1))
            width, height = x1 - x0, y1 - y0
        write_png(path, width, height, rgb)
        return width, height

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.fbdir:
            shutil.rmtree(self.fbdir, ignore_errors=True)
            self.fbdir = None


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


def self_test(preview):
    """Runs the bare window on Xvfb: it must show with its title and size, and both
    screenshots (Qt's own grab and the frame buffer) must come out as PNG files."""
    with XvfbDisplay() as x, tempfile.TemporaryDirectory() as tmp:
        qt_shot = os.path.join(tmp, "grab.png")
        proc = x.run([preview, "--screenshot", qt_shot], stderr=subprocess.PIPE, text=True)
        try:
            window = x.find_window("Tarvex", proc=proc)
            assert window is not None, "no window titled Tarvex on %s" % x.display
            size = (window.width, window.height)
            assert size[0] >= 442 and size[1] >= 395, window
            deadline = time.monotonic() + 20
            while not os.path.exists(qt_shot) and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.1)
            time.sleep(0.2)  # let the file be written to its end
            assert read_png_size(qt_shot) == size, read_png_size(qt_shot)
            fb_shot = os.path.join(tmp, "fb.png")
            assert x.screenshot(fb_shot, window) == size
            assert read_png_size(fb_shot) == size
            full = os.path.join(tmp, "screen.png")
            assert x.screenshot(full) == (1024, 768)
        finally:
            _stop(proc)
    print("xvfb self-test passed: %r" % window)
    return 0


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", default="1024x768x24")
    p.add_argument("--wait-window", metavar="TITLE")
    p.add_argument("--screenshot", metavar="FILE")
    p.add_argument("--timeout", type=float, default=120)
    p.add_argument("--stop-after-screenshot", action="store_true")
    p.add_argument("--self-test", metavar="PREVIEW_BINARY")
    p.add_argument("command", nargs="*")
    args = p.parse_args(argv)
    if args.self_test:
        return self_test(args.self_test)
    if not args.command:
        p.error("no command")
    with XvfbDisplay(args.size) as x:
        print("xvfb: display %s" % x.display, file=sys.stderr)
        proc = x.run(args.command)
        try:
            if args.wait_window:
                window = x.find_window(args.wait_window, proc=proc)
                if window is None:
                    print("xvfb: no window titled %r" % args.wait_window, file=sys.stderr)
                    _stop(proc)
                    return 1
                print("xvfb: %r" % window, file=sys.stderr)
                if args.screenshot:
                    time.sleep(0.5)  # the first paint
                    x.screenshot(args.screenshot, window)
                if args.stop_after_screenshot:
                    _stop(proc)
                    return 0
            elif args.screenshot:
                x.screenshot(args.screenshot)
            return proc.wait(args.timeout)
        except subprocess.TimeoutExpired:
            print("xvfb: command still running after %g s; stopped" % args.timeout, file=sys.stderr)
            _stop(proc)
            return 1
        finally:
            _stop(proc)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
