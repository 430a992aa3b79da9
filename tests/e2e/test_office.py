"""Office mail from a macro, end to end: where answers go (answer-to:), the read
receipt, the priority and the sender's own header lines, each checked in the bytes
written and in what Python's email package reads; the own lines Tarvex refuses
before it connects; the copy of every sent mail in a Maildir folder (read back by
Python's mailbox package) and the send log (one JSON line per send, read by json and
jq)."""

import email
import email.policy
import json
import mailbox
import os
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import BINARY, ServerCase, Workspace, result_section  # noqa: E402


def macro(extra=(), subject="会議のお知らせ", body=("本文です。",), to="taro@example.jp"):
    return ["server:", "127.0.0.1", "to:", to, "subject:", subject, "reply-to:", "me@example.jp",
            *extra, "body:", *body, "action:", "send", "end"]


def header_block(raw):
    return raw.split(b"\r\n\r\n", 1)[0]


class Dumped(unittest.TestCase):
    """The header of a run with --dump --no-send: nothing connects."""

    def dump(self, extra, status=0, **kw):
        with Workspace() as ws:
            ws.settings()
            run = ws.run(macro(extra, **kw), args=["--dump", ws.path("out.eml"), "--no-send"])
            self.assertEqual(run.status, status, run.stderr)
            if status:
                self.assertFalse(os.path.exists(ws.path("out.eml")))
                return run
            with open(ws.path("out.eml"), "rb") as f:
                raw = f.read()
        return raw, email.message_from_bytes(raw, policy=email.policy.default)


class Headers(Dumped):
    # macro lines, the header lines expected byte for byte, what email reads {field: value}
    ROWS = [
        ("answer-to, ASCII", ["answer-to:", "desk@example.jp"], [b"Reply-To: desk@example.jp"],
         {"Reply-To": "desk@example.jp"}),
        ("answer-to, two entries over two lines", ["answer-to:", "desk@example.jp", "boss@example.jp"],
         [b"Reply-To: desk@example.jp,boss@example.jp"], {"Reply-To": "desk@example.jp, boss@example.jp"}),
        ("answer-to, a Japanese name", ["answer-to:", "総務 係 <desk@example.jp>"], [],
         {"Reply-To": "総務 係 <desk@example.jp>"}),
        ("receipt yes", ["receipt:", "yes"], [b"Disposition-Notification-To: me@example.jp"],
         {"Disposition-Notification-To": "me@example.jp"}),
        ("receipt no", ["receipt:", "No"], [], {"Disposition-Notification-To": None}),
        ("priority high", ["priority:", "high"], [b"Importance: high", b"X-Priority: 1 (Highest)"],
         {"Importance": "high", "X-Priority": "1 (Highest)"}),
        ("priority low", ["priority:", " LOW "], [b"Importance: low", b"X-Priority: 5 (Lowest)"],
         {"Importance": "low", "X-Priority": "5 (Lowest)"}),
        ("priority normal writes nothing", ["priority:", "normal"], [], {"Importance": None, "X-Priority": None}),
        ("own lines, ASCII and Japanese", ["header:", "X-Project:   Tarvex-42", "Organization: 株式会社 山田商事"],
         [b"X-Project: Tarvex-42"], {"X-Project": "Tarvex-42", "Organization": "株式会社 山田商事"}),
        ("all at once, UTF-8 message", ["answer-to:", "ｿｳﾑ <desk@example.jp>", "receipt:", "yes", "priority:",
                                        "high", "header:", "X-Note: ①②"], [],
         {"Reply-To": "ｿｳﾑ <desk@example.jp>", "Disposition-Notification-To": "me@example.jp",
          "Importance": "high", "X-Note": "①②"}),
    ]

    def test_rows(self):
        for name, extra, lines, fields in self.ROWS:
            with self.subTest(name):
                raw, msg = self.dump(extra)
                head = header_block(raw)
                for line in lines:
                    self.assertIn(b"\r\n" + line + b"\r\n", head + b"\r\n")
                for field, value in fields.items():
                    self.assertEqual(msg[field], value, field)
                self.assertEqual(msg.defects, [])
                # Every line of the header stays ASCII: Japanese text went into encoded words.
                self.assertTrue(all(b < 0x80 for b in head))
                # The own lines sit before the MIME lines, each field once.
                self.assertEqual(len(msg.get_all("Reply-To") or []), 1 if "Reply-To" in fields else 0)

    def test_the_next_mail_starts_without_them(self):
        with Workspace() as ws:
            ws.settings()
            lines = macro(["answer-to:", "desk@example.jp", "priority:", "high", "receipt:", "yes",
                           "header:", "X-One: 1"])[:-1]
            lines += ["to:", "taro@example.jp", "subject:", "second", "reply-to:", "me@example.jp", "body:", "b",
                      "action:", "send", "end"]
            run = ws.run(lines, args=["--dump", ws.path("out.eml"), "--no-send"])
            self.assertEqual(run.status, 0, run.stderr)
            with open(ws.path("out.eml"), "rb") as f:
                head = header_block(f.read())
            for field in (b"Reply-To", b"Importance", b"X-Priority", b"Disposition-Notification-To", b"X-One"):
                self.assertNotIn(field + b":", head)


class Refusals(Dumped):
    # the line of a section that Tarvex refuses before it connects (exit 65, the line quoted)
    ROWS = [
        ("header:", "X-Bad Name: value"),
        ("header:", "no colon here"),
        ("header:", ": empty name"),
        ("header:", "From: someone@else.example"),
        ("header:", "subject: again"),
        ("header:", "BCC: hidden@example.jp"),
        ("header:", "Reply-To: desk@example.jp"),
        ("header:", "Message-ID: <x@y>"),
        ("header:", "X-Mailer: other"),
        ("header:", "MIME-Version: 1.0"),
        ("header:", "Content-Type: text/html"),
        ("header:", "X-Priority: 1"),
        ("header:", "X-Split: one\ntwo"),
        ("header:", "X-Tab\u0007: bell"),
        ("priority:", "urgent"),
        ("receipt:", "maybe"),
    ]

    def test_rows(self):
        for section, line in self.ROWS:
            with self.subTest(section + " " + line):
                with Workspace() as ws:
                    ws.settings(port=1)  # nothing may connect: port 1 would fail with 75
                    run = ws.run(macro([section, line]))
                    self.assertEqual(run.status, 65, run.stderr)
                    # A line with a break is quoted up to the break at least.
                    self.assertIn(line.split("\n")[0], run.stderr)


class Sent(ServerCase):
    def test_headers_reach_the_server(self):
        run = self.ws.run(macro(["answer-to:", "desk@example.jp", "receipt:", "yes", "priority:", "low",
                                 "header:", "X-Project: 42"]))
        self.assertEqual(run.status, 0, run.stderr)
        msg = self.server.messages[0].message
        self.assertEqual((msg["Reply-To"], msg["Disposition-Notification-To"], msg["Importance"], msg["X-Project"]),
                         ("desk@example.jp", "me@example.jp", "low", "42"))
        self.assertEqual(self.server.messages[0].rcpt_tos, ["taro@example.jp"])


class Signature(unittest.TestCase):
    SIGNATURE = ["-- ", "山田商事 総務部", "山田 太郎 <taro@example.jp>"]

    def send(self, signature_bytes, charset_args=(), macro_bytes=None, status=0):
        with Workspace() as ws:
            sig = ws.write("sig.txt", signature_bytes)
            ws.write("tarvex.INI", ("[ConInf]\r\nIPAdr=127.0.0.1\r\n[Mail]\r\nSignature=%s\r\n" % sig)
                     .encode("utf-8" if charset_args else "cp932"))
            lines = macro(body=["本文です。", "以上"])
            data = macro_bytes(lines) if macro_bytes else "".join(x + "\r\n" for x in lines).encode("cp932")
            path = ws.write("m.txt", data)
            run = ws.run(args=[*charset_args, "--dump", ws.path("out.eml"), "--no-send", path])
            self.assertEqual(run.status, status, run.stderr)
            if status:
                return run
            with open(ws.path("out.eml"), "rb") as f:
                return email.message_from_bytes(f.read(), policy=email.policy.default)

    def test_added_after_one_empty_line_in_both_charsets(self):
        rows = [
            ("Shift-JIS file", "".join(x + "\r\n" for x in self.SIGNATURE).encode("cp932"), (), None),
            ("UTF-8 file with --charset utf-8, LF lines", "".join(x + "\n" for x in self.SIGNATURE).encode("utf-8"),
             ("--charset", "utf-8"), lambda lines: "".join(x + "\n" for x in lines).encode("utf-8")),
        ]
        for name, data, args, macro_bytes in rows:
            with self.subTest(name):
                msg = self.send(data, args, macro_bytes)
                self.assertEqual(msg.get_content().replace("\r\n", "\n").strip("\n").split("\n"),
                                 ["本文です。", "以上", "", *self.SIGNATURE])

    def test_a_signature_beyond_iso_2022_jp_makes_the_mail_utf8(self):
        msg = self.send("①株式会社\r\n".encode("cp932"))
        self.assertEqual(msg.get_content_charset(), "utf-8")
        self.assertTrue(msg.get_content().rstrip().endswith("①株式会社"))

    def test_a_signature_that_cannot_be_read_stops_before_sending(self):
        with Workspace() as ws:
            ws.write("tarvex.INI", b"[ConInf]\r\nIPAdr=127.0.0.1\r\n[SMTP]\r\nPort=1\r\n[Mail]\r\nSignature=/no/such/sig\r\n")
            run = ws.run(macro())
            self.assertEqual(run.status, 78, run.stderr)
            self.assertIn("/no/such/sig", run.stderr)


class RefusingServer(ServerCase):
    """A server that refuses every recipient whose address starts with "bad"."""

    def setUp(self):
        super().setUp()

        async def handle_RCPT(server, session, envelope, address, rcpt_options):
            if address.startswith("bad"):
                return "550 5.1.1 no such user"
            envelope.rcpt_tos.append(address)
            return "250 2.1.5 ok"

        self.server.keeper.handle_RCPT = handle_RCPT

    def settings(self, **mail):
        text = ("[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=\r\nUser=tester\r\nPwd=pw-s3cret-word\r\n"
                "[SMTP]\r\nPort=%d\r\n[Mail]\r\n" % self.server.port)
        text += "".join("%s=%s\r\n" % kv for kv in mail.items())
        self.ws.write("tarvex.INI", text.encode("cp932"))


class SentCopy(RefusingServer):
    BODY = ["山田様", ".先頭のドット", "..二つ", "終わり"]

    def test_copy_is_the_mail_as_sent_with_its_blind_copies(self):
        folder = self.ws.path("mail/Sent")  # its parent is made too
        self.settings(SentFolder=folder)
        data = self.ws.write("見積.bin", bytes(range(256)) * 40)
        run = self.ws.run(["server:", "127.0.0.1", "to:", "taro@example.jp", "bcc:", "boss@example.jp",
                           "hidden@example.jp", "subject:", "見積書", "reply-to:", "me@example.jp", "body:",
                           *self.BODY, "bind:", data, "action:", "send", "end"])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(result_section(run.ini).get("Warning"), "")
        for sub in ("", "tmp", "new", "cur"):
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, sub)).st_mode), 0o700, sub)
        self.assertEqual(os.listdir(os.path.join(folder, "tmp")), [])
        names = os.listdir(os.path.join(folder, "cur"))
        self.assertEqual(len(names), 1)
        self.assertTrue(names[0].endswith(":2,S"), names[0])
        with open(os.path.join(folder, "cur", names[0]), "rb") as f:
            stored = f.read()
        # Exactly what the server got, with LF line ends and a Bcc line after the header.
        raw = self.server.messages[0].raw
        head, body = raw.split(b"\r\n\r\n", 1)
        expected = head + b"\r\nBcc: boss@example.jp, hidden@example.jp\r\n\r\n" + body
        self.assertEqual(stored, expected.replace(b"\r\n", b"\n"))
        self.assertNotIn(b"\r", stored)

        box = mailbox.Maildir(folder, factory=None, create=False)
        (key, msg), = list(box.items())
        self.assertEqual(msg.get_flags(), "S")
        parsed = email.message_from_bytes(msg.as_bytes(), policy=email.policy.default)
        self.assertEqual(parsed["Subject"], "見積書")
        self.assertEqual(parsed["Bcc"], "boss@example.jp, hidden@example.jp")
        text, attachment = parsed.iter_parts()
        self.assertEqual(text.get_content().splitlines(), self.BODY)
        self.assertEqual(attachment.get_filename(), "見積.bin")
        self.assertEqual(attachment.get_payload(decode=True), bytes(range(256)) * 40)

    def test_copy_is_what_was_sent_when_the_file_changes_before_the_answer(self):
        # The server has the whole message and changes the attached file before it
        # answers the final ".": the copy holds the file as it went out.
        folder = self.ws.path("Sent")
        self.settings(SentFolder=folder)
        data = self.ws.write("report.bin", b"as sent\n" * 5000)
        keeper = self.server.keeper
        accept = keeper.handle_DATA

        async def handle_DATA(server, session, envelope):
            with open(data, "wb") as f:
                f.write(b"changed afterwards\n" * 7000)
            return await accept(server, session, envelope)

        keeper.handle_DATA = handle_DATA
        run = self.ws.run(["server:", "127.0.0.1", "to:", "taro@example.jp", "subject:", "report",
                           "reply-to:", "me@example.jp", "body:", *self.BODY, "bind:", data, "action:", "send", "end"])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(result_section(run.ini).get("Warning"), "")
        names = os.listdir(os.path.join(folder, "cur"))
        self.assertEqual(len(names), 1)
        with open(os.path.join(folder, "cur", names[0]), "rb") as f:
            stored = f.read()
        self.assertEqual(stored, self.server.messages[0].raw.replace(b"\r\n", b"\n"))
        _, attachment = email.message_from_bytes(stored, policy=email.policy.default).iter_parts()
        self.assertEqual(attachment.get_payload(decode=True), b"as sent\n" * 5000)
        self.assertEqual(os.listdir(os.path.join(folder, "tmp")), [])

    def test_no_copy_when_the_message_is_refused_after_its_data(self):
        folder = self.ws.path("Sent")
        self.settings(SentFolder=folder)

        async def handle_DATA(server, session, envelope):
            return "554 5.6.0 refused"

        self.server.keeper.handle_DATA = handle_DATA
        run = self.ws.run(macro())
        self.assertNotEqual(run.status, 0, run.stderr)
        for sub in ("tmp", "cur", "new"):
            path = os.path.join(folder, sub)
            self.assertFalse(os.path.exists(path) and os.listdir(path), sub)

    def test_copy_that_cannot_be_written_is_a_warning(self):
        blocker = self.ws.write("Sent", b"a file where the folder would be")
        self.settings(SentFolder=blocker)
        run = self.ws.run(macro())
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(len(self.server.messages), 1)
        warning = result_section(run.ini)["Warning"]
        self.assertIn(blocker, warning)
        self.assertIn("Not a directory", warning)
        self.assertIn(blocker, run.stderr)

    def test_no_copy_of_a_failed_send(self):
        folder = self.ws.path("Sent")
        self.settings(SentFolder=folder)
        run = self.ws.run(macro(to="bad@example.jp"))
        self.assertEqual(run.status, 69, run.stderr)
        self.assertFalse(os.path.exists(os.path.join(folder, "cur")) and os.listdir(os.path.join(folder, "cur")))


class SendLog(RefusingServer):
    KEYS = {"time", "message_id", "from", "recipients", "size", "attachments", "status", "reply"}

    def lines(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n"))
        self.assertNotIn(b"pw-s3cret-word", data)
        return [json.loads(line) for line in data.decode("utf-8").splitlines()]

    def test_one_line_per_send_with_each_recipients_reply(self):
        log = self.ws.path("send.log")
        self.settings(Log=log)
        data = self.ws.write("資料.txt", b"abc\r\n")
        first = macro(to="taro@example.jp", extra=["cc:", "bad@example.jp", "bind:", data])[:-2]
        run = self.ws.run(["uname:", "tester", "upwd:", "pw-s3cret-word", *first, "send",
                           "to:", "bad2@example.jp", "subject:", "二通目", "reply-to:", "me@example.jp", "body:",
                           "x", "action:", "send", "end"])
        self.assertEqual(run.status, 69, run.stderr)
        sent, failed = self.lines(log)
        self.assertEqual(set(sent), self.KEYS)
        self.assertRegex(sent["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        msg = self.server.messages[0].message
        self.assertEqual("<%s>" % sent["message_id"], msg["Message-ID"])
        self.assertEqual(sent["from"], "me@example.jp")
        self.assertEqual(sent["recipients"], [
            {"address": "taro@example.jp", "accepted": True, "reply": "250 2.1.5 ok"},
            {"address": "bad@example.jp", "accepted": False, "reply": "550 5.1.1 no such user"}])
        self.assertEqual(sent["size"], len(self.server.messages[0].raw))  # no line starts with a dot
        self.assertEqual(sent["attachments"], ["資料.txt"])
        self.assertEqual(sent["status"], 0)
        self.assertTrue(sent["reply"].startswith("250"), sent["reply"])

        self.assertEqual(failed["status"], 69)
        self.assertEqual(failed["recipients"],
                         [{"address": "bad2@example.jp", "accepted": False, "reply": "550 5.1.1 no such user"}])
        self.assertIn("550 5.1.1 no such user", failed["reply"])
        # jq reads every line.
        with open(log, "rb") as f:
            out = subprocess.run(["jq", "-r", ".status"], stdin=f, capture_output=True, check=True)
        self.assertEqual(out.stdout.split(), [b"0", b"69"])

    def test_a_connection_that_fails_is_logged(self):
        log = self.ws.path("send.log")
        self.settings(Log=log)
        with open(self.ws.ini, "rb") as f:
            self.ws.write("tarvex.INI", f.read().replace(b"Port=%d" % self.server.port, b"Port=1"))
        run = self.ws.run(macro())
        self.assertEqual(run.status, 75, run.stderr)
        (line,) = self.lines(log)
        self.assertEqual((line["status"], line["message_id"], line["size"]), (75, "", 0))
        self.assertEqual(line["recipients"], [{"address": "taro@example.jp", "accepted": False, "reply": ""}])

    def test_two_runs_appending_at_once(self):
        log = self.ws.path("send.log")
        self.settings(Log=log)
        sends = 15
        procs = []
        for n in range(2):
            lines = []
            for i in range(sends):
                lines += ["to:", "r%d-%d@example.jp" % (n, i), "subject:", "run %d mail %d" % (n, i), "reply-to:",
                          "me@example.jp", "body:", "本文" * 200, "action:", "send"]
            lines.append("end")
            path = self.ws.write("m%d.txt" % n, "".join(x + "\r\n" for x in lines).encode("cp932"))
            result = self.ws.path("r%d.ini" % n)
            env = dict(os.environ, TARVEX_INI=self.ws.ini, TMPDIR=self.ws.dir)
            procs.append(subprocess.Popen([BINARY, "--headless",
                                           "--no-pause", "--result", result, path], env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        for p in procs:
            _, err = p.communicate(timeout=120)
            self.assertEqual(p.returncode, 0, err)
        records = self.lines(log)
        self.assertEqual(sorted(r["recipients"][0]["address"] for r in records),
                         sorted("r%d-%d@example.jp" % (n, i) for n in range(2) for i in range(sends)))
        self.assertTrue(all(r["status"] == 0 for r in records))
        self.assertEqual(stat.S_IMODE(os.stat(log).st_mode), 0o600)

    def test_a_log_that_cannot_be_written_is_a_warning(self):
        self.settings(Log=self.ws.path("no/such/folder/send.log"))
        run = self.ws.run(macro())
        self.assertEqual(run.status, 0, run.stderr)
        self.assertIn("No such file or directory", result_section(run.ini)["Warning"])
        self.assertIn("send.log", run.stderr)


if __name__ == "__main__":
    unittest.main()
