"""The installed program, run as an ordinary user and as root would: `cmake --install`
into a prefix under /opt that belongs to root, then runs as an unprivileged user
(setpriv) from a folder of that user's, and as root. The settings file goes to the
XDG folder (folder 0700, file 0600) for both, never beside the installed program,
while a file already there is still used; a copy outside the system folders keeps
its settings beside itself. A bare macro name is found in the current folder, a
missing one is reported with both places tried, --help names the settings file in
use, and the mail reaches a real SMTP server (aiosmtpd). Skipped when not run as
root."""

import contextlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import SmtpServer, cp932_macro  # noqa: E402

BUILD = os.environ.get("TARVEX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
USER_ID = 65534  # nobody


def mail_lines(subject="インストール済み"):
    return ["uname:", "tester", "server:", "127.0.0.1", "to:", "taro@example.jp", "subject:", subject, "reply-to:", "me@example.jp",
            "body:", "利用者の設定ファイル", "action:", "send", "end"]


@contextlib.contextmanager
def user_folder(prefix):
    """A folder that belongs to the unprivileged user."""
    path = tempfile.mkdtemp(prefix=prefix)
    os.chown(path, USER_ID, USER_ID)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def as_user(argv, cwd, home, extra_env=None, timeout=60):
    """Runs argv as the unprivileged user, with a plain environment of that user."""
    env = {"PATH": "/usr/bin:/bin", "HOME": home, "LANG": "C.UTF-8"}
    env.update(extra_env or {})
    proc = subprocess.run(["setpriv", "--reuid=%d" % USER_ID, "--regid=%d" % USER_ID, "--clear-groups", *argv],
                          cwd=cwd, env=env, capture_output=True, timeout=timeout)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    proc.stdout = proc.stdout.decode("utf-8", "replace")
    return proc


def as_root(argv, cwd, home, timeout=60):
    """Runs argv as root with a plain environment whose HOME is home."""
    env = {"PATH": "/usr/bin:/bin", "HOME": home, "LANG": "C.UTF-8"}
    proc = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, timeout=timeout)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    proc.stdout = proc.stdout.decode("utf-8", "replace")
    return proc


def write_as_user(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chown(path, USER_ID, USER_ID)


@unittest.skipUnless(os.geteuid() == 0, "the installed layout needs root (a root-owned prefix, setpriv): skipped")
class InstalledLayout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Under /opt, as a package or an administrator would install it: root may write
        # the program's folder, and still no settings file is made there.
        os.makedirs("/opt", exist_ok=True)
        cls.prefix = tempfile.mkdtemp(prefix="tarvex-prefix-", dir="/opt")
        os.chmod(cls.prefix, 0o755)
        subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix], check=True, capture_output=True)
        cls.program = os.path.join(cls.prefix, "bin", "tarvex")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def test_installed_files(self):
        for path in ["bin/tarvex", "share/man/man1/tarvex.1.gz", "share/applications/tarvex.desktop",
                     "share/icons/hicolor/scalable/apps/tarvex.svg"]:
            self.assertTrue(os.path.exists(os.path.join(self.prefix, path)), path)

    def test_settings_in_the_users_folder_and_the_macro_in_the_current_one(self):
        with user_folder("tarvex-home-") as home, user_folder("tarvex-work-") as work, SmtpServer() as server:
            ini = os.path.join(home, ".config", "tarvex", "tarvex.INI")
            self.assertIn(ini, as_user([self.program, "--help"], work, home).stdout)

            # The first run makes the settings file (without sending: nothing listens on port 25).
            write_as_user(os.path.join(work, "mail.txt"), cp932_macro(mail_lines()))
            run = as_user([self.program, "--headless", "--dump", "check.eml", "--no-send", "mail.txt"], work, home)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(stat.S_IMODE(os.stat(ini).st_mode), 0o600)
            self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(ini)).st_mode), 0o700)
            self.assertEqual(os.stat(ini).st_uid, USER_ID)
            self.assertFalse(os.path.exists(os.path.join(self.prefix, "bin", "tarvex.INI")))
            with open(os.path.join(work, "check.eml"), "rb") as f:
                self.assertIn("利用者の設定ファイル".encode("iso2022_jp"), f.read())

            # The second run sends to the server the settings now name.
            with open(ini, "rb") as f:
                text = f.read()
            self.assertIn(b"\r\nPort=25\r\n", text)
            with open(ini, "r+b") as f:  # in place: owner and mode stay
                f.write(text.replace(b"\r\nPort=25\r\n", b"\r\nPort=%d\r\n" % server.port))
            run = as_user([self.program, "--headless", "mail.txt"], work, home)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(len(server.messages), 1)
            self.assertEqual(server.messages[0].message["Subject"], "インストール済み")
            self.assertEqual(stat.S_IMODE(os.stat(ini).st_mode), 0o600)

    def test_the_settings_place_for_root_and_user(self):
        beside = os.path.join(self.prefix, "bin", "tarvex.INI")
        lines = mail_lines()
        # who, the file beside the program (its mode, or None when there is none), and
        # whether the run uses that file (else the one in the XDG folder).
        cases = [
            ("root", None, False),
            ("user", None, False),
            ("root", 0o600, True),   # an existing file is still used
            ("user", 0o600, False),  # ... by those who may write it
            ("user", 0o666, True),
        ]
        for who, mode, uses_beside in cases:
            with self.subTest(who=who, mode=mode), user_folder("tarvex-home-") as home, \
                    user_folder("tarvex-work-") as work:
                run = as_root if who == "root" else as_user
                xdg_ini = os.path.join(home, ".config", "tarvex", "tarvex.INI")
                if mode is not None:
                    with open(beside, "wb") as f:
                        f.write(b"[SMTP]\r\nPort=25\r\n")
                    os.chmod(beside, mode)
                try:
                    expected = beside if uses_beside else xdg_ini
                    self.assertIn("Settings file in use: " + expected + "\n", run([self.program, "--help"], work, home).stdout)
                    write_as_user(os.path.join(work, "mail.txt"), cp932_macro(lines))
                    done = run([self.program, "--headless", "--dump", "check.eml", "--no-send", "mail.txt"], work, home)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    with open(expected, "rb") as f:
                        self.assertIn(b"\r\nStatus=0\r\n", f.read())
                    self.assertEqual(os.path.exists(xdg_ini), not uses_beside)
                    self.assertEqual(os.path.exists(beside), mode is not None)
                finally:
                    if os.path.exists(beside):
                        os.remove(beside)

    def test_a_copy_outside_the_system_folders_keeps_its_settings_beside_it(self):
        with user_folder("tarvex-home-") as home, user_folder("tarvex-work-") as work:
            folder = tempfile.mkdtemp(prefix="tarvex-portable-")
            try:
                program = shutil.copy(self.program, folder)
                write_as_user(os.path.join(work, "mail.txt"), cp932_macro(mail_lines()))
                run = as_root([program, "--headless", "--dump", "check.eml", "--no-send", "mail.txt"], work, home)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, "tarvex.INI")).st_mode), 0o600)
                self.assertFalse(os.path.exists(os.path.join(home, ".config")))
            finally:
                shutil.rmtree(folder, ignore_errors=True)

    def test_a_missing_macro_names_both_places(self):
        with user_folder("tarvex-home-") as home, user_folder("tarvex-work-") as work:
            run = as_user([self.program, "--headless", "nowhere.txt"], work, home)
            self.assertEqual(run.returncode, 66, run.stderr)
            self.assertIn(os.path.join(self.prefix, "bin", "nowhere.txt"), run.stderr)
            self.assertIn(os.path.join(work, "nowhere.txt"), run.stderr)

    def test_xdg_config_home_and_tarvex_ini(self):
        with user_folder("tarvex-home-") as home, user_folder("tarvex-work-") as work:
            xdg = os.path.join(work, "config")
            self.assertIn(os.path.join(xdg, "tarvex", "tarvex.INI"),
                          as_user([self.program, "--help"], work, home, {"XDG_CONFIG_HOME": xdg}).stdout)
            named = os.path.join(work, "named.INI")
            self.assertIn(named, as_user([self.program, "--help"], work, home,
                                         {"XDG_CONFIG_HOME": xdg, "TARVEX_INI": named}).stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
