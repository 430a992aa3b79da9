"""Headless sends to a real SMTP server, with what arrived parsed by Python's email
package: Japanese and ASCII texts, attachments, the rewritten header, the envelope,
and the exit statuses of refused and failed sends."""

import base64
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import BINARY, ServerCase, Workspace, cp932_macro, free_port  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

BOUNDARY = "-----------Weskin-TarvexBoundary"


def mail(to=("taro@example.jp",), subject="件名", sender="me@example.jp", body=(), binds=(), cc=(), bcc=(),
         actions=("send", "end")):
    lines = ["uname:", "tester", "server:", "127.0.0.1", "to:", *to, "subject:", subject, "reply-to:", sender]
    if cc:
        lines += ["cc:", *cc]
    if bcc:
        lines += ["bcc:", *bcc]
    lines += ["body:", *body]
    if binds:
        lines += ["bind:", *binds]
    return lines + ["action:", *actions]


class Send(ServerCase):

    def send(self, lines, status=0):
        run = self.ws.run(lines)
        self.assertEqual(run.status, status, run.stderr)
        return run

    def only_message(self):
        self.assertEqual(len(self.server.messages), 1)
        return self.server.messages[0]

    def test_japanese_mail_with_attachments(self):
        data = {"資料.txt": "議題\n".encode("utf-8"), "plain.bin": bytes(range(256)) * 3, "empty.dat": b""}
        paths = [self.ws.write(name, content) for name, content in data.items()]
        body = ["山田様", "", "資料をお送りします。", ".先頭のドット", "Time: 10:00"]
        self.send(mail(subject="会議資料の送付（12月分）", body=body,
                       binds=paths[:1] + [self.ws.path("missing.txt")] + paths[1:]))
        got = self.only_message()
        msg = got.message
        self.assertEqual(str(msg["Subject"]), "会議資料の送付（12月分）")
        self.assertTrue(msg.is_multipart())
        parts = [p for p in msg.walk() if not p.is_multipart()]
        self.assertEqual(parts[0].get_content_charset(), "iso-2022-jp")
        self.assertEqual(parts[0].get_content().splitlines()[:len(body)], body)
        attached = {p.get_filename(): p.get_payload(decode=True) for p in parts[1:]}
        self.assertEqual(attached, data)  # the missing file is left out

        header = got.raw.split(b"\r\n\r\n", 1)[0].decode("ascii")
        self.assertIn('Content-Type: MultiPart/Mixed;Boundary="%s"' % BOUNDARY, header)
        self.assertRegex(header, r"(?m)^Date: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}\r?$")
        self.assertRegex(header, r"(?m)^Message-ID: <[^@\s]+@example\.jp>\r?$")

    def test_ascii_mail_and_the_rewritten_header(self):
        self.send(mail(to=["a@example.com", "b@example.com"], subject="Plain   subject", body=["Hello", "world"],
                       cc=["c@example.com"], bcc=["hidden@example.com"]))
        got = self.only_message()
        self.assertEqual(got.rcpt_tos, ["a@example.com", "b@example.com", "c@example.com", "hidden@example.com"])
        self.assertEqual(got.mail_from, "me@example.jp")
        header = got.raw.split(b"\r\n\r\n", 1)[0].decode("ascii")
        self.assertIn("Content-Type: text/plain; charset=iso-2022-jp", header)
        self.assertNotIn("hidden", header)  # BCC reaches the envelope only
        self.assertNotIn("  ", header)
        self.assertEqual(str(got.message["Subject"]), "Plain   subject")  # inside the encoded word
        # The header ends with two CR LF: the body starts with an empty line.
        self.assertEqual(got.message.get_content().splitlines()[:3], ["", "Hello", "world"])

    def test_half_width_katakana_arrives_as_the_text_the_macro_held(self):
        # ISO-2022-JP cannot hold it: the message goes as UTF-8 (test_charset.py).
        self.send(mail(body=["ｶﾀｶﾅ"]))
        msg = self.only_message().message
        self.assertEqual(msg.get_content_charset(), "utf-8")
        self.assertEqual(msg.get_content().split(), ["ｶﾀｶﾅ"])

    def test_no_listed_file_exists(self):
        self.send(mail(body=["本文"], binds=[self.ws.path("gone1"), self.ws.path("gone2")]))
        msg = self.only_message().message
        parts = [p for p in msg.walk() if not p.is_multipart()]
        self.assertEqual(len(parts), 1)
        self.assertEqual(parts[0].get_content().splitlines()[0], "本文")

    def test_open_send_close_and_settings(self):
        run = self.send(mail(actions=("open", "send", "close", "end")))
        self.only_message()
        self.assertIn("Port=%d" % self.server.port, run.ini)
        self.assertIn("ErrMes=\r\n", run.ini)

    def test_empty_subject_exits_65(self):
        run = self.send(mail(subject=""), status=65)
        self.assertEqual(self.server.messages, [])
        self.assertIn("ErrMes=必須項目を記入してください", run.ini)


class Refused(Controller):
    """A server that refuses at DATA with the given reply."""

    def __init__(self, reply):
        class Handler:
            async def handle_DATA(self, server, session, envelope):
                return reply

        self.port = free_port()
        super().__init__(Handler(), hostname="127.0.0.1", port=self.port)


class Failures(unittest.TestCase):
    def run_against(self, port):
        with Workspace() as ws:
            ws.settings(port=port)
            return ws.run(mail())

    def test_exit_statuses(self):
        for reply, status in (("554 5.7.1 rejected", 69), ("451 4.3.0 try later", 75)):
            server = Refused(reply)
            server.start()
            try:
                run = self.run_against(server.port)
            finally:
                server.stop()
            self.assertEqual(run.status, status, run.stderr)
            self.assertIn(reply, run.stderr)

    def test_refused_connection_exits_75(self):
        run = self.run_against(free_port())
        self.assertEqual(run.status, 75)
        self.assertIn("Connection Failed", run.stderr)


class LargeAttachment(unittest.TestCase):
    """An attachment is read and encoded as it goes out: the process's peak memory
    stays far below the file's size, and every byte of the file arrives."""

    SIZE = 40 * 1024 * 1024
    SMALL = 64 * 1024
    # Holding the file's encoded text alone would add 54 MB. The bound is on the
    # growth over the same mail with a small file, so that the program's own start-up
    # memory (several times larger under the sanitizers) is not counted.
    GROWTH_BOUND_KB = 8 * 1024

    def test_attachment_bytes_arrive_whole_with_a_small_peak(self):
        with Workspace() as ws:
            ws.settings()

            def send(size):
                """Sends a file of size bytes to the dump; returns the peak in KB and the file's path."""
                path = ws.path("big%d.bin" % size)
                # Mostly a hole: marks at the start, in the middle and at the end show
                # that every stretch arrives in its place.
                with open(path, "wb") as f:
                    f.truncate(size)
                    for at in (0, size // 2 + 1, size - 5):
                        f.seek(at)
                        f.write(b"mark%d" % at)
                macro = ws.write("m.txt", cp932_macro(mail(body=["本文"], binds=[path])))
                # GNU time reports the peak of the program alone: a child of this process
                # would count the memory of the Python interpreter it was forked from.
                peak = ws.path("peak.txt")
                proc = subprocess.run(["/usr/bin/time", "-o", peak, "-f", "%M", BINARY, "--headless", "--dump",
                                       dump, "--no-send", macro], capture_output=True, cwd=ws.dir,
                                      env=dict(os.environ, TARVEX_INI=ws.ini, TMPDIR=ws.dir))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                with open(peak) as f:
                    return int(f.read().split()[-1]), path

            dump = ws.path("out.eml")
            small_peak, _ = send(self.SMALL)
            large_peak, path = send(self.SIZE)
            self.assertLess(large_peak - small_peak, self.GROWTH_BOUND_KB, (small_peak, large_peak))
            with open(dump, "rb") as f:
                raw = f.read()
            part = raw.split(b"filename=\"big%d.bin\"" % self.SIZE, 1)[1].split(b"\r\n\r\n\r\n", 1)[1]
            encoded = part.split(b"\r\n--" + BOUNDARY.encode() + b"--", 1)[0]
            lines = encoded.split(b"\r\n")
            self.assertTrue(all(len(line) == 60 for line in lines[:-2]))
            with open(path, "rb") as f:
                self.assertTrue(base64.b64decode(b"".join(lines)) == f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
