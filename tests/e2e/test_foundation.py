"""The program run headless from the command line: macro path rules, the settings
file beside the executable or named by TARVEX_INI, exit statuses and bad input.

Environment: TARVEX_BINARY is the program under test.
"""
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BINARY = os.environ.get("TARVEX_BINARY", "build/tarvex")
MISSING_FIELD = "必須項目を記入してください"
# Every key a run writes, in the file's order (the window's size joins its position).
WRITTEN_KEYS = [("Pos", "Top"), ("Pos", "Left"), ("Pos", "Width"), ("Pos", "Height"), ("ConInf", "IPAdr"),
                ("ConInf", "MailAdr"), ("ConInf", "User"), ("ConInf", "Pwd"), ("Result", "MailRes"),
                ("Result", "ErrMes"), ("Result", "Status"), ("Result", "Error"), ("Result", "Refused"),
                ("Result", "Missing"), ("Result", "Warning"), ("SMTP", "Port"), ("SMTP", "Security"), ("SMTP", "Auth"),
                ("SMTP", "VerifyCert"), ("SMTP", "CAFile"), ("SMTP", "PasswordCommand"), ("Mail", "Charset"),
                ("Folder", "Attach")]
IS_ROOT = os.geteuid() == 0


def crlf(*lines):
    return "".join(line + "\r\n" for line in lines).encode("cp932")


def parse_ini(data):
    """(section, key, value) in file order; values decoded from CP932."""
    out, section = [], None
    for raw in data.split(b"\r\n" if b"\r\n" in data else b"\n"):
        line = raw.decode("cp932").strip()
        if line.startswith("["):
            section = line[1:line.index("]")]
        elif "=" in line and not line.startswith(";"):
            key, value = line.split("=", 1)
            out.append((section, key.strip(), value.strip()))
    return out


class Foundation(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tarvex-e2e-")
        os.chmod(self.tmp, 0o755)
        self.bindir = os.path.join(self.tmp, "bin")
        self.work = os.path.join(self.tmp, "work")
        os.mkdir(self.bindir)
        os.mkdir(self.work)
        self.exe = os.path.join(self.bindir, "tarvex")
        shutil.copy(BINARY, self.exe)
        os.chmod(self.bindir, 0o755)
        os.chmod(self.work, 0o777)
        self.ini = os.path.join(self.bindir, "tarvex.INI")

    def tearDown(self):
        for root, dirs, _ in os.walk(self.tmp):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.tmp)

    def run_tarvex(self, *args, env=None, unprivileged=False):
        full_env = {k: v for k, v in os.environ.items() if k not in ("TARVEX_INI", "DISPLAY", "WAYLAND_DISPLAY")}
        # English on stderr, whatever the caller's locale (a test names another in env).
        full_env.update(LC_ALL="", LC_MESSAGES="", LANG="C.UTF-8")
        full_env.update(env or {})
        cmd = [self.exe, *args]
        if unprivileged and IS_ROOT:
            # File modes refuse nothing to root; run as nobody to see them refuse.
            cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + cmd
        proc = subprocess.run(cmd, cwd=self.work, env=full_env, capture_output=True, timeout=60)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode("utf-8")

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def values(self, path=None):
        """The first value of every key, as a reader takes it."""
        out = {}
        for s, k, v in parse_ini(self.read(path or self.ini)):
            out.setdefault((s, k), v)
        return out

    # ---------------------------------------------------------------- command line

    def test_version_help_and_usage(self):
        rc, out, _ = self.run_tarvex("--version")
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^tarvex \d+\.\d+")
        rc, out, _ = self.run_tarvex("--help")
        self.assertEqual(rc, 0)
        self.assertIn("usage: tarvex", out)
        for args in (["--headless"], [], ["--bogus", "m.txt"]):
            rc, _, err = self.run_tarvex(*args)
            self.assertEqual(rc, 64, args)
            self.assertTrue(err.startswith("tarvex: "), err)
        self.assertFalse(os.path.exists(self.ini), "a usage error touches no settings")

    def test_bare_name_runs_the_file_beside_the_executable(self):
        self.write(os.path.join(self.bindir, "m.txt"),
                   crlf("server:", "smtp.example.jp", "uname:", "sender", "upwd:", "pw", "action:", "end"))
        self.write(os.path.join(self.work, "m.txt"), crlf("server:", "wrong.example"))
        self.write(os.path.join(self.bindir, "second.txt"), crlf("server:", "second.example"))
        rc, _, err = self.run_tarvex("--headless", "m.txt", "second.txt")
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        entries = parse_ini(self.read(self.ini))
        self.assertEqual([(s, k) for s, k, _ in entries], WRITTEN_KEYS)
        self.assertEqual(dict(((s, k), v) for s, k, v in entries), {
            ("Pos", "Top"): "80", ("Pos", "Left"): "80", ("Pos", "Width"): "0", ("Pos", "Height"): "0",
            ("ConInf", "IPAdr"): "smtp.example.jp",
            ("ConInf", "MailAdr"): "", ("ConInf", "User"): "sender", ("ConInf", "Pwd"): "pw",
            ("Result", "MailRes"): "", ("Result", "ErrMes"): "", ("Result", "Status"): "0",
            ("Result", "Error"): "", ("Result", "Refused"): "", ("Result", "Missing"): "", ("Result", "Warning"): "",
            ("SMTP", "Port"): "25",
            ("SMTP", "Security"): "none", ("SMTP", "Auth"): "none", ("SMTP", "VerifyCert"): "1",
            ("SMTP", "CAFile"): "", ("SMTP", "PasswordCommand"): "", ("Mail", "Charset"): "auto",
            ("Folder", "Attach"): ""})
        self.assertEqual(stat.S_IMODE(os.stat(self.ini).st_mode), 0o600)
        self.assertFalse(os.path.exists(os.path.join(self.work, "tarvex.INI")))

    def test_path_with_a_folder_is_used_as_given(self):
        self.write(os.path.join(self.bindir, "m.txt"), crlf("server:", "beside.example"))
        self.write(os.path.join(self.work, "m.txt"), crlf("server:", "cwd.example"))
        rc, _, err = self.run_tarvex("./m.txt")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.values()[("ConInf", "IPAdr")], "cwd.example")

    def test_macro_without_end_closes_and_saves(self):
        self.write(os.path.join(self.work, "m.txt"), crlf("to:", "a@x", "uname:", "kept"))
        rc, _, err = self.run_tarvex("--headless", "./m.txt")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(self.values()[("ConInf", "User")], "kept")

    # ---------------------------------------------------------------- exit statuses

    def test_missing_macro_file(self):
        rc, _, err = self.run_tarvex("nothing.txt")
        self.assertEqual(rc, 66)
        # A bare name is looked for beside the program, then in the current folder.
        self.assertEqual(err, "tarvex: Cannot open file %s: No such file or directory; "
                         "Cannot open file %s: No such file or directory\n"
                         % (os.path.join(self.bindir, "nothing.txt"), os.path.join(self.work, "nothing.txt")))
        self.assertEqual([(s, k) for s, k, _ in parse_ini(self.read(self.ini))], WRITTEN_KEYS)

    def test_missing_field_is_recorded(self):
        self.write(os.path.join(self.work, "m.txt"), crlf("to:", "a@x", "subject:", "件名", "action:", "send",
                                                          "uname:", "not reached"))
        rc, _, err = self.run_tarvex("./m.txt")
        self.assertEqual(rc, 65)
        self.assertEqual(err, "tarvex: Fill in the required fields\n")
        values = self.values()
        self.assertEqual(values[("Result", "ErrMes")], MISSING_FIELD)
        self.assertEqual(values[("ConInf", "User")], "")

    def test_display_that_does_not_answer_runs_headless(self):
        self.write(os.path.join(self.work, "m.txt"), crlf("action:", "end"))
        rc, _, err = self.run_tarvex("./m.txt", env={"DISPLAY": ":97", "WAYLAND_DISPLAY": ""})
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "tarvex: the display cannot be reached; running headless\n")

    def test_open_to_a_host_that_does_not_resolve(self):
        self.write(os.path.join(self.work, "m.txt"), crlf("server:", "no-such-host.invalid", "action:", "open", "end"))
        rc, _, err = self.run_tarvex("./m.txt")
        self.assertEqual(rc, 75)
        # The resolver's reason ends the message (not found, or no name server here).
        self.assertRegex(err, r"tarvex: Null Remote Address: 1100[12]:(Non-Authoritative )?Host not found\n$")
        rc, _, err = self.run_tarvex("./m.txt", env={"LANG": "ja_JP.UTF-8"})
        self.assertEqual(rc, 75)
        self.assertRegex(err, r"^tarvex: 接続先がありません: ホストが見つかりません(（一時的な失敗）)? \(1100[12]\)\n$")
        self.assertEqual(self.values()[("ConInf", "IPAdr")], "no-such-host.invalid")  # closed and saved anyway

    def test_settings_that_cannot_be_written(self):
        self.write(os.path.join(self.work, "m.txt"), crlf("server:", "new.example", "action:", "end"))
        before = crlf("; mine", "[ConInf]", "IPAdr=old.example", "[Other]", "k=v")
        cases = []
        # A read-only file in a writable folder.
        ro_file = self.write(os.path.join(self.work, "ro.INI"), before)
        os.chmod(ro_file, 0o444)
        cases.append(("read-only file", ro_file, "Permission denied"))
        # A missing file in a read-only folder.
        locked = os.path.join(self.tmp, "locked")
        os.mkdir(locked, 0o555)
        cases.append(("read-only folder", os.path.join(locked, "t.INI"), "Permission denied"))
        # A folder that is a file: refused to everyone.
        cases.append(("folder is a file", os.path.join(ro_file, "t.INI"), "Not a directory"))
        for name, path, reason in cases:
            rc, _, err = self.run_tarvex("./m.txt", env={"TARVEX_INI": path}, unprivileged=True)
            self.assertEqual(rc, 73, name)
            # The system's reason ends the message, in the locale's language.
            self.assertEqual(err, "tarvex: Cannot write %s: %s\n" % (path, reason), name)
            rc, _, err = self.run_tarvex("./m.txt", env={"TARVEX_INI": path, "LANG": "ja_JP.UTF-8"}, unprivileged=True)
            self.assertEqual(rc, 73, name)
            self.assertEqual(err, "tarvex: %s に書き込めません: %s\n" % (path, reason), name)
        self.assertEqual(self.read(ro_file), before)
        self.assertFalse(os.path.exists(os.path.join(locked, "t.INI")))

    # ---------------------------------------------------------------- language

    def test_stderr_and_help_follow_the_locale(self):
        # The first of LC_ALL, LC_MESSAGES and LANG that is set and not empty decides:
        # Japanese under a Japanese locale (which need not be installed), else English.
        # The settings file keeps the model's Japanese text and the exit status stays.
        locales = [
            ("unset", {"LANG": ""}, False),
            ("C", {"LANG": "C"}, False),
            ("C.UTF-8", {"LANG": "C.UTF-8"}, False),
            ("en_US.UTF-8", {"LANG": "en_US.UTF-8"}, False),
            ("ja_JP.UTF-8", {"LANG": "ja_JP.UTF-8"}, True),
            ("ja_JP.eucJP", {"LANG": "ja_JP.eucJP"}, True),
            ("LC_ALL=C over LANG=ja", {"LC_ALL": "C", "LANG": "ja_JP.UTF-8"}, False),
            ("LC_MESSAGES=ja over LANG=C", {"LC_MESSAGES": "ja_JP.UTF-8", "LANG": "C.UTF-8"}, True),
        ]
        self.write(os.path.join(self.work, "m.txt"), crlf("to:", "a@x", "subject:", "件名", "action:", "send"))
        nowhere = [os.path.join(folder, "nothing.txt") for folder in (self.bindir, self.work)]
        english_help = self.run_tarvex("--help", env={"LANG": "C.UTF-8"})[1]
        self.assertTrue(english_help.startswith("usage: tarvex"), english_help[:80])
        japanese_help = self.run_tarvex("--help", env={"LANG": "ja_JP.UTF-8"})[1]
        self.assertTrue(japanese_help.startswith("使い方: tarvex"), japanese_help[:80])
        self.assertIn("\n終了ステータス:\n  0   エラーなく", japanese_help)
        self.assertNotIn("Exit status:", japanese_help)
        for name, env, japanese in locales:
            with self.subTest(name):
                rc, _, err = self.run_tarvex("./m.txt", env=env)
                self.assertEqual(rc, 65)
                self.assertEqual(err, "tarvex: %s\n" % (MISSING_FIELD if japanese else "Fill in the required fields"))
                self.assertEqual(self.values()[("Result", "ErrMes")], MISSING_FIELD)
                self.assertEqual(self.values()[("Result", "Error")], MISSING_FIELD)

                rc, _, err = self.run_tarvex("nothing.txt", env=env)
                self.assertEqual(rc, 66)
                said = ("ファイル %s は開けません: No such file or directory" if japanese
                        else "Cannot open file %s: No such file or directory")
                self.assertEqual(err, "tarvex: %s\n" % "; ".join(said % path for path in nowhere))
                # The settings file keeps the model's text, whatever the locale.
                self.assertEqual(self.values()[("Result", "Error")],
                                 "; ".join("ファイル %s は開けません: No such file or directory" % path
                                           for path in nowhere))

                rc, _, err = self.run_tarvex("--bogus", "./m.txt", env=env)
                self.assertEqual(rc, 64)
                self.assertEqual(err, "tarvex: オプション '--bogus' はありません\n詳しくは 'tarvex --help' を見てください。\n"
                                 if japanese else
                                 "tarvex: unrecognized option '--bogus'\nTry 'tarvex --help' for more information.\n")

                # --help too, in UTF-8 under every locale; the English text is the
                # one of C.UTF-8.
                rc, out, err = self.run_tarvex("--help", env=env)
                self.assertEqual((rc, err), (0, ""))
                self.assertEqual(out, japanese_help if japanese else english_help)

    # ---------------------------------------------------------------- settings file

    def test_tarvex_ini_keeps_what_was_there(self):
        ini = os.path.join(self.work, "mine.ini")
        self.write(ini, crlf("; comment", "[Other]", "keep=1", "[SMTP]", "Port=0x1A", "Timeout=9",
                             "[ConInf]", "IPAdr=old", "IPAdr=duplicate", "junk line", "User=" + "u" * 3000))
        self.write(os.path.join(self.work, "m.txt"), crlf("server:", "new.example", "action:", "end"))
        rc, _, err = self.run_tarvex("./m.txt", env={"TARVEX_INI": ini})
        self.assertEqual((rc, err), (0, ""))
        self.assertFalse(os.path.exists(self.ini))
        text = self.read(ini).decode("cp932")
        for kept in ("; comment\r\n", "[Other]\r\nkeep=1\r\n", "Timeout=9\r\n", "IPAdr=duplicate\r\n",
                     "junk line\r\n"):
            self.assertIn(kept, text)
        values = self.values(ini)
        self.assertEqual(values[("SMTP", "Port")], "26")  # 0x1A read as 26, saved as decimal
        self.assertEqual(values[("ConInf", "IPAdr")], "new.example")
        self.assertEqual(values[("ConInf", "User")], "u" * 2047)  # read cut at 2047, saved so

    def test_port_that_is_no_integer_is_saved_as_25(self):
        for port in ("abc", "99999999999", ""):
            self.write(self.ini, crlf("[SMTP]", "Port=" + port))
            self.write(os.path.join(self.work, "m.txt"), crlf("action:", "end"))
            rc, _, err = self.run_tarvex("./m.txt")
            self.assertEqual((rc, err), (0, ""), port)
            self.assertEqual(self.values()[("SMTP", "Port")], "25", port)

    # ---------------------------------------------------------------- bad input

    def test_bad_macro_files_neither_crash_nor_hang(self):
        rnd = random.Random(7)
        cases = {
            "binary": bytes(rnd.randrange(256) for _ in range(200000)).replace(b"\r", b"\n"),
            "no line ends": b"to:" + b"a" * 100000,
            "LF only": b"server:\nlf.example\naction:\nend\n",
            "megabyte line": crlf("to:") + b"x" * (4 * 1024 * 1024) + b"\r\n",
            "ends in 0x1A": crlf("server:", "z.example") + b"\x1a" + crlf("action:", "open"),
            "empty": b"",
        }
        for name, data in cases.items():
            self.write(os.path.join(self.work, "m.txt"), data)
            rc, _, err = self.run_tarvex("./m.txt")
            self.assertEqual((rc, err), (0, ""), name)
            self.assertEqual([(s, k) for s, k, _ in parse_ini(self.read(self.ini))], WRITTEN_KEYS, name)
        self.assertEqual(self.values()[("ConInf", "IPAdr")], "z.example")

    def test_macro_path_that_is_no_file(self):
        os.mkfifo(os.path.join(self.work, "fifo"))
        for arg, reason in (("./fifo", "not a regular file"), (self.work, "Is a directory")):
            rc, _, err = self.run_tarvex(arg)
            self.assertEqual(rc, 66, arg)
            self.assertRegex(err, "^tarvex: Cannot open file .*: %s\n$" % reason)


if __name__ == "__main__":
    unittest.main(verbosity=2)
