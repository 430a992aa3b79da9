"""The desktop window on a real X server (Xvfb): the program started with a macro and
a display shows its window titled "Tarvex", runs the macro from it against a real
SMTP server and exits with the run's status when the macro ends with "end"; a user
pastes from an empty clipboard into the body and sends with Ctrl+Enter (keys typed
with xdotool); both pages at normal and doubled scale are kept as pictures. The
window comes from a module loaded only then: other runs map no toolkit library, and
without the module the run goes on headless.

Environment: TARVEX_BINARY is the program under test; TARVEX_BUILD_DIR (when set)
receives artifacts/: mail-page.png (the window during the run) and the pictures of
both pages in both languages (mail-page-ja.png, connection-page-en.png, ..., and @2x
of each).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tarvex_e2e import BINARY, SmtpServer, Workspace, cp932_macro  # noqa: E402
from xvfb_display import XvfbDisplay, read_png_size  # noqa: E402

BINARY = os.path.abspath(BINARY)  # the program runs in a folder of its own

SUBJECT = "デスクトップからの件名"
BODY = ["こんにちは、ウィンドウです。", "二行目"]
MISSING_FIELD = "必須項目を記入してください"
ARTIFACTS = os.path.join(os.environ.get("TARVEX_BUILD_DIR", os.path.dirname(BINARY)), "artifacts")


def send_macro(subject):
    lines = ["to:", "window@example.jp", "reply-to:", "sender@example.jp"]
    if subject is not None:
        lines += ["subject:", subject]
    return lines + ["body:"] + BODY + ["action:", "open", "send", "end"]


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xwininfo"), "needs Xvfb and xwininfo")
class DesktopWindow(unittest.TestCase):
    def setUp(self):
        self.display = XvfbDisplay()
        self.display.start()
        self.addCleanup(self.display.stop)

    def start(self, ws, macro_lines, extra_args=(), lang="C.UTF-8"):
        argv = [BINARY, *extra_args, ws.write("macro.txt", cp932_macro(macro_lines))]
        env = self.display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir, "LANG": lang, "LC_ALL": "",
                                "LC_MESSAGES": ""})
        proc = self.display.run(argv, cwd=ws.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(self._stop, proc)
        return proc

    @staticmethod
    def _stop(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate()

    def test_macro_run_in_the_window(self):
        # (case, subject line or None, exit status, mails that arrive, stderr holds, locale):
        # the window says why on stderr in the locale's language; the settings file
        # keeps the Japanese text's bytes.
        cases = [
            ("mail sent, macro ends", SUBJECT, 0, 1, None, "C.UTF-8"),
            ("required subject missing", None, 65, 0, "Fill in the required fields", "C.UTF-8"),
            ("required subject missing, Japanese", None, 65, 0, MISSING_FIELD, "ja_JP.UTF-8"),
        ]
        os.makedirs(ARTIFACTS, exist_ok=True)
        for name, subject, status, mails, stderr_text, lang in cases:
            with self.subTest(name), SmtpServer() as server, Workspace() as ws:
                ws.settings(port=server.port, sender="sender@example.jp")
                shot = os.path.join(ws.dir, "mail-page.png")
                proc = self.start(ws, send_macro(subject), ["--screenshot", shot], lang)

                window = self.display.find_window("Tarvex", timeout=30, proc=proc)
                self.assertIsNotNone(window, "no window titled Tarvex appeared")
                self.assertGreaterEqual(window.width, 442)
                self.assertGreaterEqual(window.height, 395)

                out, err = proc.communicate(timeout=60)
                err = err.decode("utf-8", "replace")
                self.assertEqual(proc.returncode, status, err)
                if stderr_text:
                    self.assertIn(stderr_text, err)
                    with open(ws.ini, "rb") as f:
                        self.assertIn(("ErrMes=" + MISSING_FIELD).encode("cp932"), f.read())
                self.assertEqual(len(server.messages), mails)
                if mails:
                    msg = server.messages[0].message
                    self.assertEqual(str(msg["Subject"]), SUBJECT)
                    self.assertEqual(msg.get_content().replace("\r\n", "\n").strip("\n"), "\n".join(BODY))
                    self.assertEqual(server.messages[0].rcpt_tos, ["window@example.jp"])
                    # The mail page as the run showed it, kept for people to look at.
                    self.assertEqual(read_png_size(shot), (window.width, window.height))
                    shutil.copy(shot, os.path.join(ARTIFACTS, "mail-page.png"))

    @unittest.skipUnless(shutil.which("xdotool"), "needs xdotool")
    def test_paste_from_an_empty_clipboard_then_send_with_ctrl_enter(self):
        # The macro only fills the form; the user does the rest from the keyboard.
        lines = ["to:", "window@example.jp", "reply-to:", "sender@example.jp", "subject:", SUBJECT, "body:"] + BODY
        with SmtpServer() as server, Workspace() as ws:
            ws.settings(port=server.port, sender="sender@example.jp")
            proc = self.start(ws, lines)
            window = self.display.find_window("Tarvex", timeout=30, proc=proc)
            self.assertIsNotNone(window, "no window titled Tarvex appeared")
            time.sleep(1.5)  # the start-up macro fills the form; the focus goes to the body
            env = self.display.env()
            xdotool = lambda *args: subprocess.run(["xdotool", *args], env=env, check=True, timeout=20)
            xdotool("windowfocus", "--sync", str(int(window.id, 16)))
            # Nobody owns the clipboard: pasting must insert nothing and not crash.
            xdotool("key", "--clearmodifiers", "ctrl+v")
            time.sleep(0.5)
            self.assertIsNone(proc.poll(), "the program ended on a paste from an empty clipboard")
            xdotool("key", "--clearmodifiers", "ctrl+Return")
            deadline = time.monotonic() + 30
            while not server.messages and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.1)
            self.assertIsNone(proc.poll(), proc.poll() is not None and proc.communicate()[1].decode("utf-8", "replace"))
            self.assertEqual(len(server.messages), 1)
            msg = server.messages[0].message
            self.assertEqual(str(msg["Subject"]), SUBJECT)
            self.assertEqual(msg.get_content().replace("\r\n", "\n").strip("\n"), "\n".join(BODY))
            self.assertEqual(server.messages[0].rcpt_tos, ["window@example.jp"])

    def test_pictures_of_both_pages_at_two_scales(self):
        preview = os.path.join(os.environ.get("TARVEX_BUILD_DIR", os.path.dirname(BINARY)), "tests", "qt", "qt_preview")
        if not os.path.exists(preview):
            self.skipTest("qt_preview not built")
        os.makedirs(ARTIFACTS, exist_ok=True)
        sizes = {}
        for lang, suffix_lang, scale in [(l, sl, sc) for l, sl in (("ja_JP.UTF-8", "ja"), ("C.UTF-8", "en"))
                                         for sc in ("1", "2")]:
            for page, name in ((0, "mail-page"), (1, "connection-page")):
                with self.subTest(lang=lang, scale=scale, page=name), Workspace() as ws:
                    shot = os.path.join(ws.dir, "shot.png")
                    env = self.display.env({"QT_SCALE_FACTOR": scale, "LANG": lang, "LC_ALL": "",
                                            "LC_MESSAGES": "", "LANGUAGE": ""})
                    proc = self.display.run([preview, "--page", str(page), "--screenshot", shot],
                                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    self.addCleanup(self._stop, proc)
                    window = self.display.find_window("Tarvex", timeout=30, proc=proc)
                    self.assertIsNotNone(window)
                    deadline = time.monotonic() + 20
                    while not os.path.exists(shot) and time.monotonic() < deadline:
                        time.sleep(0.1)
                    time.sleep(0.3)
                    sizes[lang, scale, page] = read_png_size(shot)
                    suffix = "" if scale == "1" else "@2x"
                    shutil.copy(shot, os.path.join(ARTIFACTS, "%s-%s%s.png" % (name, suffix_lang, suffix)))
                    self._stop(proc)
        # The doubled pictures are twice as large (the window keeps its layout).
        for lang in ("ja_JP.UTF-8", "C.UTF-8"):
            for page in (0, 1):
                w1, h1 = sizes[lang, "1", page]
                w2, h2 = sizes[lang, "2", page]
                self.assertEqual((w2, h2), (2 * w1, 2 * h1))

    def test_window_without_macro_stays_open(self):
        with Workspace() as ws:
            ws.settings()
            env = self.display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir})
            proc = self.display.run([BINARY], cwd=ws.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(self._stop, proc)
            window = self.display.find_window("Tarvex", timeout=30, proc=proc)
            self.assertIsNotNone(window, "no window titled Tarvex appeared")
            # Nothing closes it but the user: it is still there a moment later.
            time.sleep(1.5)
            self.assertIsNone(proc.poll())
            self.assertIsNotNone(self.display.find_window("Tarvex", timeout=1, proc=proc))


# A send without a subject: the run ends with 65 before anything connects.
NO_SUBJECT = ["to:", "window@example.jp", "reply-to:", "sender@example.jp", "action:", "send"]


def mapped_libraries(trace_prefix):
    """The file names the dynamic loader mapped, from its LD_DEBUG=files trace files."""
    names = set()
    folder, base = os.path.split(trace_prefix)
    for entry in os.listdir(folder):
        if entry.startswith(base + "."):
            with open(os.path.join(folder, entry), encoding="utf-8", errors="replace") as f:
                for line in f:
                    if "file=" in line:
                        names.add(line.split("file=", 1)[1].split()[0])
    return names


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xwininfo"), "needs Xvfb and xwininfo")
class WindowModule(unittest.TestCase):
    """The toolkit is mapped only by a run that shows a window, even with a display;
    the TLS library only by a run that starts a TLS session."""

    def setUp(self):
        self.display = XvfbDisplay()
        self.display.start()
        self.addCleanup(self.display.stop)

    def traced_run(self, ws, binary, args, name):
        trace = ws.path("trace-" + name)
        env = self.display.env({"TARVEX_INI": ws.ini, "TMPDIR": ws.dir, "LD_DEBUG": "files",
                                "LD_DEBUG_OUTPUT": trace, "LANG": "C.UTF-8", "LC_ALL": "", "LC_MESSAGES": ""})
        proc = subprocess.run([binary, *args], cwd=ws.dir, env=env, capture_output=True, timeout=60)
        return proc, mapped_libraries(trace)

    def test_only_a_window_maps_the_toolkit(self):
        # (case, arguments, the toolkit is mapped); MACRO and MISSING stand for the
        # paths of a macro that sends and of one that lacks its subject.
        cases = [
            ("--version", ["--version"], False),
            ("headless check run", ["--headless", "--dump", "out.eml", "--no-send", "MACRO"], False),
            ("no-send run with a display", ["--dump", "out.eml", "--no-send", "MACRO"], False),
            # A window (the macro ends at once with the missing-field status): the
            # trace does show the toolkit, so the checks above can fail.
            ("window", ["--screenshot", "shot.png", "MISSING"], True),
        ]
        for name, args, toolkit in cases:
            with self.subTest(name), Workspace() as ws:
                ws.settings(sender="sender@example.jp")
                paths = {"MACRO": ws.write("macro.txt", cp932_macro(send_macro(SUBJECT))),
                         "MISSING": ws.write("missing.txt", cp932_macro(NO_SUBJECT))}
                args = [paths.get(a, a) for a in args]
                proc, libs = self.traced_run(ws, BINARY, args, name.replace(" ", "-"))
                self.assertIn(proc.returncode, (0, 65), proc.stderr)
                self.assertTrue(any(lib.startswith("libc.so") for lib in libs), libs)  # the trace works
                qt = sorted(lib for lib in libs if "libQt6" in lib or "libX11" in lib or "libxcb" in lib)
                if toolkit:
                    self.assertTrue(any("libQt6Widgets" in lib for lib in qt), libs)
                else:
                    self.assertEqual(qt, [])
                    # Nor TLS, which is loaded by the first TLS session only.
                    self.assertEqual(sorted(lib for lib in libs if "libssl" in lib or "libcrypto" in lib), [])

    def test_without_the_module_the_run_goes_on_headless(self):
        with Workspace() as ws:
            # Alone: no module beside it, nor in ../lib/<multiarch>/tarvex relative to its folder.
            binary = ws.path("tarvex")
            shutil.copy(BINARY, binary)
            ws.settings(sender="sender@example.jp")
            missing = ws.write("missing.txt", cp932_macro(NO_SUBJECT))
            proc, libs = self.traced_run(ws, binary, [missing], "alone")
            err = proc.stderr.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 65, err)
            self.assertIn("tarvex-window.so", err)
            self.assertIn("running headless", err)
            self.assertIn("Fill in the required fields", err)  # English under C.UTF-8
            self.assertFalse(any("libQt6" in lib for lib in libs), libs)

    def test_an_installed_program_finds_its_module(self):
        # Installed under a prefix of its own, the program finds the module in
        # ../lib/<multiarch>/tarvex relative to its folder and shows the window.
        build = os.environ.get("TARVEX_BUILD_DIR")
        if not build or not os.path.exists(os.path.join(build, "tarvex-window.so")):
            self.skipTest("needs the build folder with the window module (TARVEX_BUILD_DIR)")
        with Workspace() as ws:
            prefix = ws.path("prefix")
            for component in ("core", "desktop"):
                subprocess.run(["cmake", "--install", build, "--prefix", prefix, "--component", component],
                               check=True, capture_output=True)
            ws.settings(sender="sender@example.jp")
            missing = ws.write("missing.txt", cp932_macro(NO_SUBJECT))
            proc, libs = self.traced_run(ws, os.path.join(prefix, "bin", "tarvex"),
                                         ["--screenshot", "shot.png", missing], "installed")
            self.assertEqual(proc.returncode, 65, proc.stderr)
            module = os.path.join(prefix, "lib", "x86_64-linux-gnu", "tarvex", "tarvex-window.so")
            self.assertTrue(any(lib.endswith("/tarvex/tarvex-window.so") for lib in libs), libs)
            self.assertTrue(os.path.exists(module) or os.path.exists(os.path.join(prefix, "lib", "tarvex",
                                                                                   "tarvex-window.so")))
            self.assertNotIn(b"running headless", proc.stderr)


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.05)
    return predicate()


@unittest.skipUnless(shutil.which("weston"), "needs weston (a headless Wayland compositor)")
class WaylandDesktop(unittest.TestCase):
    """On a Wayland-only desktop (WAYLAND_DISPLAY, no DISPLAY) the window runs on the
    compositor where the toolkit's Wayland plugin is installed; where the compositor
    does not answer, the run goes on headless with one line on stderr. Either way the
    run ends with its status and writes [Result]; nothing aborts."""

    def setUp(self):
        self.runtime = tempfile.mkdtemp(prefix="tarvex-wl-")
        os.chmod(self.runtime, 0o700)
        self.addCleanup(shutil.rmtree, self.runtime, True)
        self.socket = "wayland-tarvex-%d" % os.getpid()
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=" + self.socket,
                                        "--idle-time=0", "--width=1024", "--height=768"],
                                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self._stop_weston)
        if not wait_for(lambda: os.path.exists(os.path.join(self.runtime, self.socket)) or
                        self.weston.poll() is not None, 20) or self.weston.poll() is not None:
            self.skipTest("weston did not start here")

    def _stop_weston(self):
        if self.weston.poll() is None:
            self.weston.terminate()
            try:
                self.weston.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.weston.kill()
                self.weston.wait()

    @staticmethod
    def settings(ws):
        # A previous run's result, which this run must replace.
        ws.settings(sender="sender@example.jp")
        with open(ws.ini, "ab") as f:
            f.write(b"[Result]\r\nStatus=0\r\n")

    def run_window(self, ws, socket, args=()):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY")}
        env.update(XDG_RUNTIME_DIR=self.runtime, WAYLAND_DISPLAY=socket, TARVEX_INI=ws.ini, TMPDIR=ws.dir,
                   WAYLAND_DEBUG="client")
        macro = ws.write("macro.txt", cp932_macro(NO_SUBJECT + ["end"]))
        return subprocess.run([BINARY, *args, macro], cwd=ws.dir, env=env, capture_output=True, timeout=90)

    def result(self, ws):
        import configparser
        ini = configparser.ConfigParser()
        with open(ws.ini, encoding="cp932") as f:
            ini.read_string(f.read())
        return ini["Result"]

    def test_the_window_runs_on_the_compositor(self):
        plugins = subprocess.run(["sh", "-c", "ls /usr/lib/*/qt6/plugins/platforms/libqwayland-*.so"],
                                 capture_output=True, text=True).stdout
        if not plugins.strip():
            self.skipTest("the toolkit's Wayland plugin (qt6-wayland) is not installed")
        with Workspace() as ws:
            self.settings(ws)
            shot = ws.path("shot.png")
            proc = self.run_window(ws, self.socket, ["--screenshot", shot])
            err = proc.stderr.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 65, err[-3000:])
            self.assertNotIn("running headless", err)
            # The client spoke the Wayland protocol and made a top-level window.
            self.assertIn("xdg_toplevel", err)
            self.assertTrue(wait_for(lambda: os.path.exists(shot), 5), "no picture of the window")
            self.assertEqual(self.result(ws)["Status"], "65")

    def test_a_silent_compositor_means_headless(self):
        with Workspace() as ws:
            self.settings(ws)
            proc = self.run_window(ws, self.socket + "-none")
            err = proc.stderr.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 65, err)
            lines = [l for l in err.splitlines() if "headless" in l]
            self.assertEqual(len(lines), 1, err)
            self.assertEqual(self.result(ws)["Status"], "65")


class ModuleContents(unittest.TestCase):
    def test_the_module_carries_the_japanese_translation(self):
        # The window's Japanese texts are a resource built into the module; without
        # it the window shows English under a Japanese locale. The resource's name
        # is stored as UTF-16.
        with open(os.path.join(os.path.dirname(BINARY), "tarvex-window.so"), "rb") as f:
            self.assertIn("tarvex_ja.qm".encode("utf-16-be"), f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
