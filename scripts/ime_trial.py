"""The window as a Japanese user with an input method has it: a private X server
(Xvfb) with a window manager (openbox), the input method framework fcitx5 with its
Japanese engine (mozc), the program under LANG=ja_JP.UTF-8 sending to a local SMTP
server (aiosmtpd). Keys are typed with xdotool as a person would: the address with the
input method off, then the input method on (Ctrl+Space), the subject and the body in
romaji, Space to convert to kanji, Enter to commit (once a character that Shift-JIS
cannot hold, which must be refused), and Ctrl+Enter to send. What
arrived is read with Python's email parser and printed; pictures of every step are
written to the output folder. The time from the program's start to its window's
mapping is printed, and last, the processor time and wake-ups of the open
window over 20 s of doing nothing (from 12 s after the last key on, when the text
cursor has stopped blinking), with the input method connected.

Run it through scripts/ime_trial.sh (as a user other than root, inside a D-Bus session
of its own). Exit status: 0 when a mail arrived whose subject and body hold the
converted text (kanji, no romaji left), 1 otherwise.

Usage: ime_trial.py --build BUILD_DIR --out FOLDER"""

import argparse
import email
import email.policy
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "bench"))
from tarvex_e2e import SmtpServer, Workspace  # noqa: E402
from window_measure import MapWatcher, idle_figures  # noqa: E402
from xvfb_display import XvfbDisplay, _stop as stop_process  # noqa: E402

# What the user types: (field, romaji, what the first conversion is expected to give).
# The expectation is printed beside what came, not required: the engine's choice
# may change with its dictionary.
SUBJECT = ("subject", "kaiginoannai", "会議の案内")
BODY = [("body", "asitanokaigiha10jikaradesu", "明日の会議は１０時からです"),
        ("body", "kaigisitudeokonaimasu", "会議室で行います"),
        ("body", "vaiorin", "ヴァイオリン")]
# "vu" committed as it stands is the hiragana ゔ, which Shift-JIS cannot hold: the
# body refuses it with a hint, and the line stays as it was.
REFUSED = "vu"
ADDRESS = "tanaka@example.jp"

FCITX_PROFILE = """[Groups/0]
Name=Default
Default Layout=us
DefaultIM=mozc

[Groups/0/Items/0]
Name=keyboard-us
Layout=

[Groups/0/Items/1]
Name=mozc
Layout=

[GroupOrder]
0=Default
"""

# Converted text holds kanji or katakana; typed text the engine left alone, romaji.
CONVERTED = re.compile(r"[\u4e00-\u9fff\u30a1-\u30fa]")
ROMAJI = re.compile(r"[a-zA-Z]{3,}")


def stop_engine_of(home):
    """Ends the engine's server that this trial's input method started: it leaves its
    parent and would outlive the session (found by the trial's own HOME)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as f:
                if f.read().strip() != "mozc_server":
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("HOME=%s" % home).encode() not in f.read().split(b"\0"):
                    continue
            os.kill(int(pid), 15)
        except (OSError, ValueError):  # gone meanwhile, or another user's
            pass


class Trial:
    def __init__(self, build, out):
        self.binary = os.path.join(build, "tarvex")
        self.out = out
        self.step = 0
        self.procs = []
        self.problems = []

    def start(self, args, env, log=None):
        out = open(os.path.join(self.out, log), "wb") if log else subprocess.DEVNULL
        proc = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.STDOUT)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in reversed(self.procs):
            stop_process(proc)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30,
                              capture_output=True, text=True).stdout

    def keys(self, *keys, pause=0.4):
        for key in keys:
            self.xdotool("key", "--clearmodifiers", key)
            time.sleep(pause)

    def type(self, text, pause=0.6):
        # One key at a time, as a person types: the engine sees every key press.
        self.xdotool("type", "--delay", "60", text)
        time.sleep(pause)

    def shot(self, name):
        self.step += 1
        path = os.path.join(self.out, "%02d-%s.png" % (self.step, name))
        self.display.screenshot(path)
        print("picture: %s" % path)

    def ime_running(self):
        out = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                              "string:org.fcitx.Fcitx5"], env=self.env, capture_output=True, text=True, timeout=10)
        return "boolean true" in out.stdout

    def ime_state(self):
        out = subprocess.run(["fcitx5-remote"], env=self.env, capture_output=True, text=True, timeout=10).stdout
        return {"0": "closed", "1": "off", "2": "on"}.get(out.strip(), out.strip() or "?")

    def convert_and_commit(self, romaji, name):
        self.type(romaji)
        self.shot(name + "-romaji")
        self.keys("space", pause=1.0)
        self.shot(name + "-converted")
        self.keys("Return", pause=0.6)

    def run(self):
        home = tempfile.mkdtemp(prefix="ime-trial-")
        config = os.path.join(home, ".config")
        os.makedirs(os.path.join(config, "fcitx5"))
        with open(os.path.join(config, "fcitx5", "profile"), "w") as f:
            f.write(FCITX_PROFILE)
        with XvfbDisplay("1024x768x24") as display, SmtpServer() as server, Workspace() as ws:
            self.display = display
            self.env = display.env({"HOME": home, "XDG_CONFIG_HOME": config, "LANG": "ja_JP.UTF-8", "LC_ALL": "",
                                    "LANGUAGE": "", "QT_IM_MODULE": "fcitx", "XMODIFIERS": "@im=fcitx",
                                    "GTK_IM_MODULE": "fcitx"})
            try:
                self.start(["openbox"], self.env, "openbox.log")
                time.sleep(1.0)
                self.start(["fcitx5", "--verbose", "default=3"], self.env, "fcitx5.log")
                # Asked before it owns its bus name, fcitx5-remote would have the bus
                # start a second one.
                deadline = time.monotonic() + 30
                while not self.ime_running() and time.monotonic() < deadline:
                    time.sleep(0.3)
                if not self.ime_running():
                    self.problems.append("fcitx5 did not start (see fcitx5.log)")
                    return
                time.sleep(1.0)  # its addons, the engine's among them

                ws.settings(port=server.port, sender="sender@example.jp")
                env = dict(self.env, TARVEX_INI=ws.ini, TMPDIR=ws.dir)
                watcher = MapWatcher(display.display)
                started = time.monotonic()
                program = self.start([self.binary], env, "tarvex.log")
                mapped = watcher.wait_mapped("Tarvex", 30)
                watcher.close()
                if mapped is not None:
                    print("first frame with the input method: %.0f ms" % ((mapped - started) * 1000))
                window = display.find_window("Tarvex", timeout=30)
                if window is None:
                    self.problems.append("no window titled Tarvex")
                    return
                time.sleep(1.5)
                wid = self.xdotool("search", "--name", "^Tarvex$").split()[0]
                self.xdotool("windowactivate", "--sync", wid)
                time.sleep(0.5)
                self.shot("start")

                # The focus starts in To: the address, with the input method off.
                self.type(ADDRESS)
                # To, CC, BCC, subject.
                self.keys("Tab", "Tab", "Tab")
                self.keys("ctrl+space", pause=0.8)
                print("input method after Ctrl+Space: %s" % self.ime_state())
                self.convert_and_commit(SUBJECT[1], "subject")
                # The body by its mnemonic, Alt+B.
                self.keys("alt+b", pause=0.6)
                self.convert_and_commit(BODY[0][1], "body1")
                self.keys("Return")
                self.type(BODY[1][1])
                self.keys("space", pause=1.0)
                # A second Space opens the list of candidates on the second one; Up
                # goes back to the first, Enter takes it.
                self.keys("space", pause=1.0)
                self.shot("body2-candidates")
                self.keys("Up", pause=0.6)
                self.keys("Return", pause=0.6)
                self.keys("Return")
                self.type(REFUSED)
                self.keys("Return", pause=0.3)
                self.shot("refused-hint")
                self.convert_and_commit(BODY[2][1], "body3")
                self.shot("filled")

                self.keys("ctrl+Return", pause=0.5)
                deadline = time.monotonic() + 30
                while not server.messages and time.monotonic() < deadline:
                    time.sleep(0.2)
                time.sleep(1.0)
                self.shot("sent")
                self.check(server)
                time.sleep(12)  # the text cursor rests 10 s after the last key
                print("idle over 20 s with the input method: %.3f ms of processor time, %d context switches"
                      % idle_figures(program.pid, 20))
            finally:
                self.stop_all()
                stop_engine_of(home)
                shutil.rmtree(home, ignore_errors=True)

    def check(self, server):
        if not server.messages:
            self.problems.append("no mail arrived")
            return
        got = server.messages[0]
        msg = email.message_from_bytes(got.raw, policy=email.policy.default)
        subject = str(msg["Subject"])
        body = msg.get_content().replace("\r\n", "\n").strip("\n")
        print("arrived: to %s, Content-Type %s" % (", ".join(got.rcpt_tos), msg["Content-Type"]))
        print("  Subject: %s   (typed %r, the first conversion expected %s)" % (subject, SUBJECT[1], SUBJECT[2]))
        for i, line in enumerate(body.split("\n")):
            expected = BODY[i] if i < len(BODY) else ("", "", "")
            print("  body %d:  %s   (typed %r, expected %s)" % (i + 1, line, expected[1], expected[2]))
        if got.rcpt_tos != [ADDRESS]:
            self.problems.append("recipient %r, typed %r" % (got.rcpt_tos, ADDRESS))
        for text, what in [(subject, "subject")] + [(line, "body line") for line in body.split("\n")]:
            if not CONVERTED.search(text) or ROMAJI.search(text) or "\u3094" in text:
                self.problems.append("%s %r is not converted text" % (what, text))
        if len(body.split("\n")) != len(BODY):
            self.problems.append("body has %d lines, %d typed" % (len(body.split("\n")), len(BODY)))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    trial = Trial(os.path.abspath(args.build), os.path.abspath(args.out))
    trial.run()
    for problem in trial.problems:
        print("PROBLEM: %s" % problem)
    print("ime trial: %s" % ("passed" if not trial.problems else "failed"))
    return 1 if trial.problems else 0


if __name__ == "__main__":
    sys.exit(main())
