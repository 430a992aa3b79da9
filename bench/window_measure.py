"""Figures for the desktop window on a private X server (Xvfb), printed, not asserted:
  - idle CPU: processor time the open window uses over 20 s (user + system);
  - first frame: from starting the program until its window is mapped and viewable
    (polled with xwininfo every few milliseconds, so it reads a little late), and the
    processor time the program used until then (less dependent on a busy machine);
  - memory: resident size (VmRSS) and its peak (VmHWM) once a send of a 50 MB
    attachment from the window has ended, the window still open.
Usage: /usr/bin/python3 bench/window_measure.py [BUILD_DIR]   (default: build)"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from tarvex_e2e import SmtpServer, Workspace, cp932_macro  # noqa: E402
from xvfb_display import XvfbDisplay  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
BINARY = os.path.join(BUILD, "tarvex")
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def memory_kb(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def viewable(display, pid_proc):
    out = subprocess.run(["xwininfo", "-root", "-tree"], env=display.env(), capture_output=True, text=True).stdout
    return '"Tarvex"' in out


def main():
    with XvfbDisplay("1280x800x24") as display:
        # Start to first frame, five runs.
        firsts, cpus = [], []
        for _ in range(5):
            with Workspace() as ws:
                ws.settings()
                env = display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir})
                start = time.monotonic()
                proc = display.run([BINARY], cwd=ws.dir, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                window = None
                while window is None and time.monotonic() - start < 20:
                    window = display.find_window("Tarvex", timeout=0.01, proc=proc)
                firsts.append((time.monotonic() - start) * 1000)
                cpus.append(cpu_seconds(proc.pid) * 1000)
                if len(firsts) == 5:
                    # Idle CPU of the open window over 20 s.
                    time.sleep(1)
                    before = cpu_seconds(proc.pid)
                    time.sleep(20)
                    idle = cpu_seconds(proc.pid) - before
                proc.kill()
                proc.wait()
        print("first frame: %s ms (median %.0f)" % (", ".join("%.0f" % f for f in firsts), sorted(firsts)[2]))
        print("processor time until then: %s ms (median %.0f)" % (", ".join("%.0f" % c for c in cpus),
                                                                   sorted(cpus)[2]))
        print("load average: %s" % open("/proc/loadavg").read().split()[0])
        print("idle CPU over 20 s: %.2f s" % idle)

        # Memory around a 50 MB send from the window.
        with SmtpServer() as server, Workspace() as ws:
            ws.settings(port=server.port, sender="sender@example.jp")
            big = os.path.join(ws.dir, "big.bin")
            with open(big, "wb") as f:
                f.write(os.urandom(50 * 1024 * 1024))
            macro = ws.write("m.txt", cp932_macro(["to:", "a@example.jp", "subject:", "大きな添付", "reply-to:",
                                                   "sender@example.jp", "bind:", big, "action:", "open", "send"]))
            env = display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir})
            proc = display.run([BINARY, macro], cwd=ws.dir, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            before = None
            deadline = time.monotonic() + 300
            while not server.messages and time.monotonic() < deadline and proc.poll() is None:
                if before is None and display.find_window("Tarvex", timeout=0.01, proc=proc):
                    time.sleep(0.5)
                    before = memory_kb(proc.pid)
                time.sleep(0.2)
            time.sleep(3)  # the send command ends: QUIT, the form cleared
            after = memory_kb(proc.pid)
            proc.kill()
            proc.wait()
        print("memory before the send: RSS %d KB" % before["VmRSS"])
        print("memory after the send:  RSS %d KB, peak %d KB" % (after["VmRSS"], after["VmHWM"]))


if __name__ == "__main__":
    main()
