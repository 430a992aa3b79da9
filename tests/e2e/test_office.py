"""Office mail from a macro, end to end: where answers go (answer-to:), the read
receipt, the priority and the sender's own header lines, each checked in the bytes
written and in what Python's email package reads; the own lines Tarvex refuses
before it connects."""

import email
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import ServerCase, Workspace  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
