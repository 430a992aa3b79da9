"""The window as a screen reader sees it, over AT-SPI: on a private X server (Xvfb)
and a private session bus with the accessibility bus, the program's window is read
back through pyatspi, under an English and a Japanese locale. Every control a user
reaches (entries, boxes, the attachment list, buttons) has a name a reader speaks,
and a box is spoken by its label, never by its current value.

Needs Xvfb, dbus-daemon, at-spi2-core and the system Python's pyatspi
(python3-pyatspi); skipped where one of them is missing."""

import json
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tarvex_e2e import BINARY, Workspace  # noqa: E402
from xvfb_display import XvfbDisplay  # noqa: E402

BINARY = os.path.abspath(BINARY)
SYSTEM_PYTHON = "/usr/bin/python3"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
ROLES = {"text", "combo box", "list", "push button", "password text", "page tab"}


def has_pyatspi():
    return os.path.exists(SYSTEM_PYTHON) and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import pyatspi"], capture_output=True).returncode == 0


def probe(timeout):
    """Run inside the session bus: the accessible controls of the application named
    tarvex, as a JSON list of [role, spoken name, own name, text] on stdout."""
    import pyatspi  # noqa: F401 (the system Python's)

    def spoken_name(node):
        # A reader speaks the label a control is labelled by (a box's own name is its
        # value), else the control's name.
        for relation in node.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and relation.getNTargets():
                return relation.getTarget(0).name.strip().rstrip(":\uff1a").strip()
        return node.name

    def controls(node, depth=0):
        found = []
        if depth > 40:
            return found
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is None:
                continue
            role = child.getRoleName()
            # A box's drop-down list is part of the box.
            if role in ROLES and not (role == "list" and node.getRoleName() == "combo box"):
                value = ""
                try:
                    value = child.queryText().getText(0, -1)
                except Exception:
                    pass
                found.append([role, spoken_name(child), child.name, value])
            found += controls(child, depth + 1)
        return found

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name.lower() in ("tarvex", "tarvex-window"):
                found = controls(app)
                if any(c[0] == "push button" for c in found):
                    print(json.dumps(found))
                    return 0
        time.sleep(0.3)
    return 1


def probe_session(env, timeout=40):
    """Inside the session bus: starts the accessibility bus and the program, probes."""
    launcher = subprocess.Popen([BUS_LAUNCHER, "--launch-immediately"], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    program = subprocess.Popen([BINARY], cwd=env["TMPDIR"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        return probe(timeout)
    finally:
        for proc in (program, launcher):
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("dbus-run-session") and os.path.exists(BUS_LAUNCHER)
                     and has_pyatspi(), "needs Xvfb, dbus-run-session, at-spi2-core and python3-pyatspi")
class ScreenReaderView(unittest.TestCase):
    def read_window(self, lang):
        with XvfbDisplay() as display, Workspace() as ws:
            ws.settings()
            env = display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir, "LANG": lang, "LC_ALL": "",
                               "LC_MESSAGES": "", "LANGUAGE": "", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
                               "QT_ACCESSIBILITY": "1", "NO_AT_BRIDGE": "0", "GTK_MODULES": ""})
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
            env.pop("AT_SPI_BUS_ADDRESS", None)
            proc = subprocess.run(["dbus-run-session", "--", SYSTEM_PYTHON, os.path.abspath(__file__), "--probe"],
                                  env=env, capture_output=True, text=True, timeout=120)
            if proc.returncode != 0:
                self.fail("the window was not found over AT-SPI: " + proc.stderr[-2000:])
            return json.loads(proc.stdout.strip().splitlines()[-1])

    def test_every_control_has_a_name_in_both_languages(self):
        cases = [
            ("C.UTF-8", {"Security", "AUTH", "Charset", "Attachments", "Port", "Priority", "Answers to"},
             {"none", "auto", "normal"}),
            ("ja_JP.UTF-8", {"暗号化", "認証", "文字コード", "添付", "ポート", "重要度", "返信の送り先"}, {"なし", "自動", "普通"}),
        ]
        for lang, expected_names, values in cases:
            with self.subTest(lang=lang):
                controls = self.read_window(lang)
                unnamed = [c for c in controls if not c[1].strip()]
                self.assertEqual(unnamed, [], controls)
                names = {c[1] for c in controls}
                self.assertLessEqual(expected_names, names, controls)
                # A box is spoken by its label, not by the value it shows.
                boxes = [c for c in controls if c[0] == "combo box"]
                self.assertEqual(len(boxes), 4, controls)
                # No two fields share a name: each is told apart by ear.
                texts = [c[1] for c in controls if c[0] == "text"]
                self.assertEqual(len(texts), len(set(texts)), controls)
                self.assertEqual([c for c in boxes if c[1] in values], [], boxes)
                # The window speaks the locale's language only.
                japanese = [c for c in controls if any("\u3000" <= ch <= "\u9fff" for ch in c[1])]
                if lang.startswith("C"):
                    self.assertEqual(japanese, [], controls)
                else:
                    self.assertGreater(len(japanese), len(controls) // 2, controls)


if __name__ == "__main__":
    if sys.argv[1:] == ["--probe"]:
        sys.exit(probe_session(dict(os.environ)))
    unittest.main(verbosity=2)
