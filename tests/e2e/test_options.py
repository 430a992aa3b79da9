"""The options for scripts and debugging, end to end against a real SMTP server:
UTF-8 macro files, the time-out, the dialogue trace, the dump of what follows
DATA, runs that send nothing, runs without the pauses, the progress line, and the
line-length limits of long Japanese subjects and body lines."""

import email
import email.policy
import os
import pty
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import BINARY, ServerCase, SmtpServer, Workspace, cp932_macro, free_port  # noqa: E402

TRACE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} (>>>|<<<|---) (.*)$")


def mail(subject="件名", body=(), sender="me@example.jp", to="taro@example.jp", extra=(),
         actions=("send", "end")):
    return ["uname:", "tester", "upwd:", "pw-s3cret-word", "server:", "127.0.0.1", "to:", to,
            "subject:", subject, "reply-to:", sender, "body:", *body, *extra, "action:", *actions]


def utf8_macro(lines):
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def unstuff(data):
    """The data lines as the server keeps them: one leading dot removed per line."""
    lines = data.split(b"\r\n")
    return b"\r\n".join(line[1:] if line.startswith(b".") else line for line in lines)


class OptionsCase(ServerCase):
    def run_macro(self, data, args=(), env=None, status=0):
        path = self.ws.write("macro.txt", data)
        run = self.ws.run(args=list(args) + [path], env=env)
        self.assertEqual(run.status, status, run.stderr)
        return run

    def trace(self, stderr):
        return [m.groups() for m in map(TRACE.match, stderr.splitlines()) if m]

    def only_message(self):
        self.assertEqual(len(self.server.messages), 1)
        return self.server.messages[0]


class Charset(OptionsCase):
    # Half-width katakana are left out: they go out as the raw bytes the macro
    # held, which readers do not decode (see test_send).
    SUBJECT = "会議のお知らせ・カタカナ（全角）"
    BODY = ["山田様", "ひらがな、カタカナ、漢字。", "ＡＳＣＩＩ and ASCII"]

    def test_utf8_macro_and_pickup_file_by_option_or_environment(self):
        pickup = self.ws.write("more.txt", utf8_macro(["追記の行です"]))
        for args, env in (
                (["--charset", "utf-8"], None),
                (["--charset=UTF8"], None),
                ([], {"TARVEX_CHARSET": "utf-8"}),
                (["--charset", "utf-8"], {"TARVEX_CHARSET": "cp932"}),  # the option wins
        ):
            self.server.messages.clear()
            data = b"\xef\xbb\xbf" + utf8_macro(mail(self.SUBJECT, self.BODY, extra=["pickupbody:", pickup]))
            self.run_macro(data, args, env)
            msg = self.only_message().message
            self.assertEqual(str(msg["Subject"]), self.SUBJECT, (args, env))
            # The body starts with the empty line the component writes after the header.
            self.assertEqual(msg.get_content().splitlines()[:5], [""] + self.BODY + ["追記の行です"], (args, env))

    def test_character_without_cp932_form_stops_the_run_naming_line_and_character(self):
        lines = mail("件名", ["一行目", "絵文字 \U0001F600 の行"])
        bad_line = lines.index("絵文字 \U0001F600 の行") + 1
        run = self.run_macro(utf8_macro(lines), ["--charset", "utf-8"], status=65)
        self.assertIn("line %d" % bad_line, run.stderr)
        self.assertIn("U+1F600", run.stderr)
        self.assertEqual(self.server.messages, [])

    def test_bytes_that_are_no_utf8_stop_the_run(self):
        data = utf8_macro(["to:", "a@example.jp"]) + b"subject:\r\n\x82\xa0\r\n"  # CP932 bytes
        run = self.run_macro(data, ["--charset", "utf-8"], status=65)
        self.assertIn("line 4", run.stderr)
        self.assertIn("0x82", run.stderr)

    def test_default_stays_cp932_and_bad_names_are_usage_errors(self):
        self.run_macro(cp932_macro(mail(self.SUBJECT, self.BODY)))
        self.assertEqual(str(self.only_message().message["Subject"]), self.SUBJECT)
        for args, env in ((["--charset", "latin-1"], None), ([], {"TARVEX_CHARSET": "ebcdic"})):
            run = self.run_macro(b"action:\r\nend\r\n", args, env, status=64)
            self.assertIn("charset", run.stderr)


class LineEndsAndEncodingGuard(OptionsCase):
    """How a macro file's bytes are read, one row per kind of file a user may have."""
    SUBJECT = "会議のお知らせ"  # its UTF-8 bytes happen to read as CP932 text too
    BODY = ["一行目", "", "三行目"]

    def test_rows(self):
        lines = mail(self.SUBJECT, self.BODY)
        as_cp932_bytes = self.SUBJECT.encode("utf-8").decode("cp932")
        # name, macro bytes, options, environment, exit status, subject and body that
        # arrive (None: nothing is sent, nothing connects).
        rows = [
            ("CP932, CR LF", cp932_macro(lines), [], None, 0, (self.SUBJECT, self.BODY)),
            ("CP932, CR", "".join(l + "\r" for l in lines).encode("cp932"), [], None, 0, (self.SUBJECT, self.BODY)),
            ("CP932, LF only", "".join(l + "\n" for l in lines).encode("cp932"), [], None, 0,
             (self.SUBJECT, self.BODY)),
            ("CP932, CR LF with a bare LF inside a body line",
             cp932_macro(mail(self.SUBJECT, ["一行目\n二行目"])), [], None, 0, (self.SUBJECT, ["一行目", "二行目"])),
            ("UTF-8, LF only, --charset utf-8", "".join(l + "\n" for l in lines).encode("utf-8"),
             ["--charset", "utf-8"], None, 0, (self.SUBJECT, self.BODY)),
            ("UTF-8, CR LF, default", utf8_macro(lines), [], None, 65, None),
            ("UTF-8, LF only, default", "".join(l + "\n" for l in lines).encode("utf-8"), [], None, 65, None),
            ("UTF-8 with a byte-order mark, default", b"\xef\xbb\xbf" + utf8_macro(lines), [], None, 65, None),
            ("UTF-8, --charset cp932: its bytes as Shift-JIS", utf8_macro(mail(self.SUBJECT, ["ascii"])),
             ["--charset", "cp932"], None, 0, (as_cp932_bytes, ["ascii"])),
            ("UTF-8, TARVEX_CHARSET=cp932", utf8_macro(mail(self.SUBJECT, ["ascii"])), [],
             {"TARVEX_CHARSET": "cp932"}, 0, (as_cp932_bytes, ["ascii"])),
        ]
        for name, data, args, env, status, arrived in rows:
            with self.subTest(name):
                self.server.messages.clear()
                run = self.run_macro(data, ["-v"] + args, env, status=status)
                self.assertIn("Status=%d\r\n" % status, run.ini)
                if arrived is None:
                    self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)  # one line says it all
                    self.assertIn("--charset utf-8", run.stderr)
                    self.assertNotIn("<<<", run.stderr)  # stopped before connecting
                    self.assertEqual(self.server.messages, [])
                    continue
                msg = self.only_message().message
                self.assertEqual(str(msg["Subject"]), arrived[0])
                # The lines between the header's end and the last line end.
                self.assertEqual(msg.get_content().strip("\r\n").splitlines(), arrived[1])


class SilentServer:
    """A TCP listener that accepts connections and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def close(self):
        self.sock.close()
        for c in self.held:
            c.close()


class TimeOut(unittest.TestCase):
    def test_a_server_that_never_answers_ends_the_run_with_75(self):
        silent = SilentServer()
        self.addCleanup(silent.close)
        # The option, or the settings key in milliseconds; 1 second each.
        for args, ini_extra in ((["--timeout", "1"], ""), ([], "TimeOut=1000\r\n"), (["--timeout=0.5"], "")):
            with Workspace() as ws:
                ws.settings(port=silent.port)
                with open(ws.ini, "ab") as f:
                    f.write(b"[SMTP]\r\n" + ini_extra.encode())
                path = ws.write("macro.txt", cp932_macro(mail()))
                started = time.monotonic()
                run = ws.run(args=args + [path], timeout=60)
                elapsed = time.monotonic() - started
                self.assertEqual(run.status, 75, (args, run.stderr))
                self.assertIn("aborted", run.stderr)
                # The greeting and the QUIT after it each wait once: a generous bound
                # only shows that the run does not hang.
                self.assertLess(elapsed, 20, args)

    def test_bad_values_are_usage_errors(self):
        with Workspace() as ws:
            for value in ("-1", "abc", "1.5s", "", "9999999999"):
                run = ws.run(args=["--timeout", value, "m.txt"])
                self.assertEqual(run.status, 64, value)


class Trace(OptionsCase):

    def test_verbose_shows_every_command_and_reply_but_no_password(self):
        run = self.run_macro(cp932_macro(mail("件名", ["本文"])), ["-v"])
        events = self.trace(run.stderr)
        sent = [text for kind, text in events if kind == ">>>"]
        got = [text for kind, text in events if kind == "<<<"]
        # The server offers SIZE: MAIL FROM carries the message's size.
        self.assertRegex(sent[2], r"^MAIL FROM:<me@example\.jp> SIZE=[1-9][0-9]*$")
        self.assertEqual(sent[:2] + sent[3:], ["EHLO tester", "RSET", "RCPT TO:<taro@example.jp>", "DATA", ".", "QUIT"])
        # The greeting, then one reply per command; each answers in its own order.
        # (EHLO's answer has a line per extension; the last line of each reply counts.)
        last_lines = [g for g in got if g[3:4] != "-"]
        self.assertEqual(len(last_lines), len(sent) + 1)
        self.assertEqual([g[:3] for g in last_lines], ["220", "250", "250", "250", "250", "354", "250", "221"])
        self.assertFalse([kind for kind, _ in events if kind == "---"])
        self.assertNotIn("pw-s3cret-word", run.stderr)
        self.assertEqual(len(self.server.messages), 1)

    def test_double_verbose_adds_status_texts(self):
        run = self.run_macro(cp932_macro(mail()), ["-vv"])
        status = [text for kind, text in self.trace(run.stderr) if kind == "---"]
        for expected in ("Connecting", "Timer On", "SendStream"):
            self.assertIn(expected, status)
        self.assertNotIn("pw-s3cret-word", run.stderr)

    def test_quiet_by_default(self):
        run = self.run_macro(cp932_macro(mail()))
        self.assertEqual(run.stderr, "")


class Dump(OptionsCase):
    def test_dump_holds_what_the_server_received(self):
        attachment = self.ws.write("資料.txt", "議題\n".encode("utf-8") * 50)
        body = ["山田様", ".先頭のドット", "..二つ", ".", "終わり"]
        dump = self.ws.path("sent.eml")
        lines = mail("会議資料", body, extra=["bind:", attachment])
        self.run_macro(cp932_macro(lines), ["--dump", dump])
        with open(dump, "rb") as f:
            data = f.read()
        got = self.only_message()
        # aiosmtpd keeps the data without the final "." line and with one leading
        # dot taken from each line; the dump is what went over the wire.
        self.assertEqual(unstuff(data), got.raw)
        self.assertEqual(got.message.get_body().get_content().splitlines()[:len(body)], body)

    def test_no_send_touches_no_network(self):
        dead_port = free_port()  # nothing listens there
        self.ws.settings(port=dead_port)
        dump = self.ws.path("check.eml")
        lines = mail("確認", ["本文です"], actions=("open", "send", "close", "end"))
        path = self.ws.write("macro.txt", cp932_macro(lines))
        run = self.ws.run(args=["--dump", dump, "--no-send", "-v", path])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.trace(run.stderr), [])  # not one command or reply
        with open(dump, "rb") as f:
            msg = email.message_from_bytes(unstuff(f.read()), policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), "確認")
        self.assertEqual(msg.get_content().splitlines()[:2], ["", "本文です"])
        self.assertIn("MailRes=", run.ini)

    def test_a_large_macro_runs_with_its_options_wherever_they_stand(self):
        # Over 4 MB the program starts anew with its heap on huge pages: the options
        # (given after the operand here, which the option parser moves) and the whole
        # body must come through the restart.
        body = ["%05d 大きな本文の行です。漢字とかなと ASCII が混ざっています。" % i for i in range(70000)]
        dump = self.ws.path("large.eml")
        path = self.ws.write("large.txt", cp932_macro(mail("大きな本文", body, actions=("send", "end"))))
        self.assertGreater(os.path.getsize(path), 4 << 20)
        run = self.ws.run(args=[path, "--dump", dump, "--no-send", "--no-pause"])
        self.assertEqual(run.status, 0, run.stderr)
        with open(dump, "rb") as f:
            msg = email.message_from_bytes(unstuff(f.read()), policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), "大きな本文")
        self.assertEqual(msg.get_content().splitlines()[:len(body) + 1], [""] + body)

    def test_no_send_needs_a_dump_and_a_dump_that_cannot_be_written_is_73(self):
        run = self.ws.run(args=["--no-send", "m.txt"])
        self.assertEqual(run.status, 64)
        path = self.ws.write("macro.txt", cp932_macro(mail()))
        run = self.ws.run(args=["--dump", self.ws.path("no/such/dir/x.eml"), path])
        self.assertEqual(run.status, 73, run.stderr)
        self.assertEqual(self.server.messages, [])


class NoPause(OptionsCase):
    def test_the_same_dialogue_and_status_texts_without_the_pauses(self):
        # -vv shows every command, reply and status text, so the order in which the
        # handlers ran is visible.
        lines = mail("件名", ["本文"], actions=("open", "send", "close", "end"))
        runs = [self.run_macro(cp932_macro(lines), args) for args in (["-vv"], ["-vv", "--no-pause"])]
        paused, quick = ([(kind, re.sub(r"\d+", "N", text)) for kind, text in self.trace(r.stderr)] for r in runs)
        self.assertIn((">>>", "QUIT"), quick)
        self.assertEqual(quick, paused)
        self.assertEqual(len(self.server.messages), 2)


class Progress(OptionsCase):
    def test_progress_line_on_a_terminal(self):
        attachment = self.ws.write("big.bin", os.urandom(600000))
        path = self.ws.write("macro.txt", cp932_macro(mail(extra=["bind:", attachment])))
        master, slave = pty.openpty()
        env = dict(os.environ, TARVEX_INI=self.ws.ini, TMPDIR=self.ws.dir)
        proc = subprocess.Popen([BINARY, "--headless", path], stderr=slave, stdout=subprocess.DEVNULL, env=env)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=60), 0, out)
        updates = re.findall(rb"\r(\d+) bytes of (\d+) sent", out)
        self.assertGreater(len(updates), 1)
        self.assertEqual(updates[-1][0], updates[-1][1])  # the last one: everything sent
        self.assertTrue(out.rstrip(b" \b").endswith(b"\n"))


class LineLimits(OptionsCase):
    def test_long_subject_and_body_line_arrive_whole_within_998_octets(self):
        subject = ("会議資料の送付（１２月分）と議事録" * 90)[:1500]  # 3,000 bytes of CP932
        body_kanji = ("漢字かな交じりの長い本文行" * 200)[:2500]  # 5,000 bytes
        body_mixed = ("ASCII と 日本語 mixed text. " * 300)[:3000]
        body_ascii = "x" * 5000
        self.assertEqual(len(subject.encode("cp932")), 3000)
        self.assertEqual(len(body_kanji.encode("cp932")), 5000)
        body = ["短い行", body_kanji, body_mixed, body_ascii, "最後"]
        self.run_macro(cp932_macro(mail(subject, body)))
        got = self.only_message()
        for line in got.raw.split(b"\r\n"):
            self.assertLessEqual(len(line), 998)
        self.assertEqual(str(got.message["Subject"]), subject)
        # A split body line arrives as several lines; joined, they give the text back.
        lines = got.message.get_content().splitlines()
        self.assertEqual("".join(lines), "".join(body))
        self.assertEqual((lines[1], lines[-2]), ("短い行", "最後"))  # after the empty first line
        self.assertGreater(len(lines), len(body) + 5)

    def test_lines_within_the_limit_stay_as_today(self):
        subject = "会議" * 20
        self.run_macro(cp932_macro(mail(subject, ["本文"])))
        header = self.only_message().raw.split(b"\r\n\r\n", 1)[0]
        self.assertIn(b"\r\nSubject: =?ISO-2022-JP?B?", header)
        subject_line = [l for l in header.split(b"\r\n") if l.startswith(b"Subject:")][0]
        self.assertGreater(len(subject_line), 78)  # one long encoded word, not folded
        self.assertNotIn(b"\r\n =?", header)


if __name__ == "__main__":
    unittest.main(verbosity=2)
