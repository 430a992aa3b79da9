"""Figures for the desktop window on a private X server (Xvfb), printed, not asserted:
  - first frame: from starting the program until the X server maps its window (a
    MapNotify seen by a client of its own that watches the root window; that client
    also keeps the server from resetting between runs, as the clients of a desktop
    do), and the processor time the program used until then (less dependent on a
    busy machine); the load average is printed beside them, since other work on the
    machine slows the start;
  - idle CPU: processor time the open window's threads use, and how often they were
    woken (context switches): for the first 10 s after the window shows, focused in a
    window manager (openbox, when installed) so that its text cursor blinks, and then
    for 20 s from 35 s on, once the cursor has come to rest (10 s after the last
    input) and the threads the start used have ended;
  - memory: resident size (VmRSS) before a send of a 50 MB attachment from the
    window, its peak (VmHWM), and the resident size sampled after the server has
    seen the client's QUIT, the window still open. The server is aiosmtpd with no
    size limit that counts what arrives and throws it away. The send is the start-up
    macro's "send" action, or with --keys the macro only fills the form and Ctrl+Enter
    typed into the window (xdotool) sends it.
Usage: /usr/bin/python3 bench/window_measure.py [--only frame,idle,memory] [--runs N]
                                                [--size-mb N] [--keys] [--lang LANG] [BUILD_DIR]
BUILD_DIR defaults to build; --lang sets LANG for the program (ja_JP.UTF-8: the
window in Japanese)."""

import argparse
import ctypes
import ctypes.util
import os
import select
import shutil
import subprocess
import sys
import threading
import time

from aiosmtpd.controller import Controller

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from tarvex_e2e import Workspace, cp932_macro, free_port  # noqa: E402
from xvfb_display import XvfbDisplay  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def threads_run(pid):
    """Each thread's (nanoseconds on a processor, context switches), by thread id."""
    threads = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                ns = int(f.read().split()[0])
            switches = 0
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
            threads[task] = (ns, switches)
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return threads


def idle_figures(pid, seconds):
    """(milliseconds on a processor, context switches) of the program's threads over
    the next seconds; a thread that ends meanwhile counts until its last reading."""
    before = threads_run(pid)
    time.sleep(seconds)
    after = threads_run(pid)
    ns = switches = 0
    for tid, (ns_after, sw_after) in after.items():
        ns_before, sw_before = before.get(tid, (0, 0))
        ns += ns_after - ns_before
        switches += sw_after - sw_before
    return ns / 1e6, switches


def memory_kb(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def load_average():
    return open("/proc/loadavg").read().split()[0]


class MapWatcher:
    """A client of the X server that is told of every window mapped on the root."""

    MAP_NOTIFY = 19
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19

    def __init__(self, display_name):
        x = self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x.XPending.argtypes = [ctypes.c_void_p]
        x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        x.XConnectionNumber.argtypes = [ctypes.c_void_p]
        x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                 ctypes.POINTER(ctypes.c_uint)]
        # A window that is gone by the time it is asked about is no error to end on.
        self.on_error = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
        x.XSetErrorHandler(self.on_error)
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.dpy = x.XOpenDisplay(display_name.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display %s" % display_name)
        x.XSelectInput(self.dpy, x.XDefaultRootWindow(self.dpy), self.SUBSTRUCTURE_NOTIFY_MASK)
        x.XPending(self.dpy)  # flushes the request
        self.event = (ctypes.c_long * 24)()

    def drain(self):
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, self.event)

    def wait_mapped(self, title, timeout):
        """The time.monotonic() when a window with the title was mapped, or None."""
        deadline = time.monotonic() + timeout
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, self.event)
                at = time.monotonic()
                if self.event[0] & 0xFFFFFFFF != self.MAP_NOTIFY:
                    continue
                # XMapEvent: type, serial, send_event, display, event, window. Under a
                # window manager the window mapped on the root is its frame, which
                # holds the program's window.
                window = self.event[5]
                if any(self.name(w) == title for w in [window] + self.children(window)):
                    return at
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.x.XConnectionNumber(self.dpy)], [], [], left)

    def name(self, window):
        name = ctypes.c_char_p()
        if not self.x.XFetchName(self.dpy, window, ctypes.byref(name)) or name.value is None:
            return None
        text = name.value.decode("utf-8", "replace")
        self.x.XFree(name)
        return text

    def children(self, window):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        kids, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not self.x.XQueryTree(self.dpy, window, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(kids),
                                 ctypes.byref(count)):
            return []
        found = [kids[i] for i in range(count.value)]
        if kids:
            self.x.XFree(kids)
        return found

    def close(self):
        self.x.XCloseDisplay(self.dpy)


class DiscardingHandler:
    """Counts the messages and bytes that arrive and the QUITs; keeps nothing."""

    def __init__(self):
        self.messages = 0
        self.bytes = 0
        self.quits = 0
        self.changed = threading.Condition()

    async def handle_DATA(self, server, session, envelope):
        with self.changed:
            self.messages += 1
            self.bytes += len(envelope.original_content or envelope.content)
            self.changed.notify_all()
        envelope.content = envelope.original_content = None
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        with self.changed:
            self.quits += 1
            self.changed.notify_all()
        return "221 Bye"


LANG = {}


def start_window(display, binary, ws, args=()):
    env = display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir, **LANG})
    return display.run([binary, *args], cwd=ws.dir, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop(proc):
    proc.kill()
    proc.wait()


def idle_window(display, binary):
    with Workspace() as ws:
        ws.settings()
        manager = None
        if shutil.which("openbox"):
            manager = subprocess.Popen(["openbox"], env=display.env(), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            time.sleep(1)
        proc = start_window(display, binary, ws)
        try:
            if not display.find_window("Tarvex", timeout=20, proc=proc):
                raise SystemExit("the window did not show")
            print("idle, first 10 s%s: %.3f ms of processor time, %d context switches"
                  % ((" (focused under openbox)" if manager else " (no window manager)",) + idle_figures(proc.pid, 10)))
            # The cursor's rest comes 10 s after the focus arrived; the toolkit's pool
            # threads that the start used end 30 s after their last task.
            time.sleep(25)
            print("idle, 20 s from 35 s on: %.3f ms of processor time, %d context switches" % idle_figures(proc.pid, 20))
        finally:
            stop(proc)
            if manager:
                stop(manager)


def first_frame(display, binary, runs):
    firsts, cpus, loads = [], [], []
    watcher = MapWatcher(display.display)
    for run in range(runs):
        with Workspace() as ws:
            ws.settings()
            loads.append(load_average())
            watcher.drain()
            start = time.monotonic()
            proc = start_window(display, binary, ws)
            mapped = watcher.wait_mapped("Tarvex", 20)
            if mapped is None:
                stop(proc)
                raise SystemExit("the window did not show")
            firsts.append((mapped - start) * 1000)
            cpus.append(cpu_seconds(proc.pid) * 1000)
            stop(proc)
    watcher.close()
    median = len(firsts) // 2
    print("first frame: %s ms (median %.0f)" % (", ".join("%.0f" % f for f in firsts), sorted(firsts)[median]))
    print("processor time until then: %s ms (median %.0f)" % (", ".join("%.0f" % c for c in cpus),
                                                               sorted(cpus)[median]))
    print("load average at each start: %s" % ", ".join(loads))


def memory_after_send(display, binary, size_mb, keys):
    handler = DiscardingHandler()
    port = free_port()
    controller = Controller(handler, hostname="127.0.0.1", port=port, data_size_limit=0)
    controller.start()
    try:
        with Workspace() as ws:
            ws.settings(port=port, sender="sender@example.jp")
            big = os.path.join(ws.dir, "big.bin")
            with open(big, "wb") as f:
                for _ in range(size_mb):
                    f.write(os.urandom(1024 * 1024))
            lines = ["to:", "a@example.jp", "subject:", "大きな添付", "reply-to:", "sender@example.jp", "bind:", big]
            macro = ws.write("m.txt", cp932_macro(lines + ([] if keys else ["action:", "send"])))
            proc = start_window(display, binary, ws, [macro])
            window = display.find_window("Tarvex", timeout=20, proc=proc)
            if not window:
                stop(proc)
                raise SystemExit("the window did not show")
            before = memory_kb(proc.pid)
            if keys:
                time.sleep(1.5)  # the start-up macro fills the form
                before = memory_kb(proc.pid)
                for args in (["windowfocus", "--sync", str(int(window.id, 16))],
                             ["key", "--clearmodifiers", "ctrl+Return"]):
                    subprocess.run(["xdotool", *args], env=display.env(), check=True, timeout=20)
            start = time.monotonic()
            with handler.changed:
                handler.changed.wait_for(lambda: handler.quits or proc.poll() is not None, timeout=300)
            took = time.monotonic() - start
            if not handler.quits or not handler.messages:
                stop(proc)
                raise SystemExit("the send did not end with a message and QUIT (%d messages)" % handler.messages)
            samples = []
            for wait in (0.5, 2, 5):
                time.sleep(wait - (samples[-1][0] if samples else 0))
                samples.append((wait, memory_kb(proc.pid)))
            stop(proc)
    finally:
        controller.stop()
    print("sent: %d message(s), %.1f MB arrived, %.1f s from the window's showing to QUIT"
          % (handler.messages, handler.bytes / 1e6, took))
    print("memory before the send: RSS %d KB" % before["VmRSS"])
    print("peak during the send:   %d KB" % samples[-1][1]["VmHWM"])
    for wait, mem in samples:
        print("RSS %.1f s after QUIT:  %d KB" % (wait, mem["VmRSS"]))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--only", default="frame,idle,memory")
    p.add_argument("--runs", type=int, default=7)
    p.add_argument("--size-mb", type=int, default=50)
    p.add_argument("--keys", action="store_true", help="send with Ctrl+Enter instead of the macro's send")
    p.add_argument("--lang")
    args = p.parse_args()
    if args.lang:
        LANG.update({"LANG": args.lang, "LC_ALL": "", "LANGUAGE": ""})
    binary = os.path.join(os.path.abspath(args.build), "tarvex")
    what = set(args.only.split(","))
    with XvfbDisplay("1280x800x24") as display:
        if "frame" in what:
            first_frame(display, binary, args.runs)
        if "idle" in what:
            idle_window(display, binary)
        if "memory" in what:
            memory_after_send(display, binary, args.size_mb, args.keys)


if __name__ == "__main__":
    main()
