"""Addresses as people type them, end to end: each row of the table is sent headless
to a real SMTP server (aiosmtpd, with and without SMTPUTF8) and checked three ways:
the envelope the server got, the To/From header as Python's email reads it, and the
exit status. Attachment names are read back by Python's email and by ripmime."""

import email
import email.message
import email.policy
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Workspace, free_port  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402


class _Envelope:
    """Keeps every MAIL FROM and RCPT TO as the server read them, and each message."""

    def __init__(self):
        self.commands = []
        self.messages = []
        self.lock = threading.Lock()

    async def handle_MAIL(self, server, session, envelope, address, options):
        with self.lock:
            self.commands.append(("MAIL", address, tuple(options)))
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        with self.lock:
            self.commands.append(("RCPT", address, tuple(options)))
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.messages.append(envelope.original_content or envelope.content)
        return "250 OK"


class Server:
    def __init__(self, smtputf8):
        self.keeper = _Envelope()
        self.port = free_port()
        self.controller = Controller(self.keeper, hostname="127.0.0.1", port=self.port, decode_data=False,
                                     enable_SMTPUTF8=smtputf8)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def macro(to, sender="me@example.jp", binds=()):
    lines = ["uname:", "tester", "server:", "127.0.0.1", "to:", *to, "subject:", "件名", "reply-to:", sender,
             "body:", "本文"]
    if binds:
        lines += ["bind:", *binds]
    return lines + ["action:", "send", "end"]


def parse(raw):
    """The message as Python's email reads it; a UTF-8 header (SMTPUTF8) as UTF-8 text."""
    try:
        raw.decode("ascii")
        return email.message_from_bytes(raw, policy=email.policy.default)
    except UnicodeDecodeError:
        return email.message_from_string(raw.decode("utf-8"), policy=email.policy.default)


MANY = ["r%04d@example.jp" % i for i in range(3000)]

# name, To lines, sender, server offers SMTPUTF8, exit status,
# the envelope (MAIL FROM, RCPT TO list, SMTPUTF8 asked), the To header as
# (display name, address) pairs (None: nothing sent).
ROWS = [
    ("quoted names with commas", ['"山田, 太郎" <yamada@example.jp>, "Sato, Jiro" <sato@example.com>'],
     "me@example.jp", False, 0,
     ("me@example.jp", ["yamada@example.jp", "sato@example.com"], False),
     [("山田, 太郎", "yamada@example.jp"), ("Sato, Jiro", "sato@example.com")]),
    ("a comment with a comma, blanks in the brackets", ["taro@example.jp (Taro, home)", "Hana < hana@example.jp >"],
     "me@example.jp", False, 0,
     ("me@example.jp", ["taro@example.jp", "hana@example.jp"], False),
     [("", "taro@example.jp"), ("Hana", "hana@example.jp")]),
    ("the colon form and a trailing comma", ["Taro:t@example.jp", "b@example.jp,"],
     "me@example.jp", False, 0,
     ("me@example.jp", ["t@example.jp", "b@example.jp"], False), None),
    ("a Japanese domain in To and in the sender", ["太郎 <taro@例え.jp>"], "me@例え.jp", False, 0,
     ("me@xn--r8jz45g.jp", ["taro@xn--r8jz45g.jp"], False), [("太郎", "taro@xn--r8jz45g.jp")]),
    ("a domain without an ASCII form", ["taro@例！.jp"], "me@example.jp", False, 65, None, None),
    ("a Japanese mailbox without SMTPUTF8", ["山田@example.jp"], "me@example.jp", False, 69, None, None),
    ("a Japanese mailbox with SMTPUTF8", ["山田@例え.jp", "sato@example.com"], "me@example.jp", True, 0,
     ("me@example.jp", ["山田@xn--r8jz45g.jp", "sato@example.com"], True),
     [("", "山田@xn--r8jz45g.jp"), ("", "sato@example.com")]),
    ("3,000 recipients", MANY, "me@example.jp", False, 0,
     ("me@example.jp", MANY, False), [("", a) for a in MANY]),
]


class Addresses(unittest.TestCase):

    def send(self, lines, smtputf8):
        with Server(smtputf8) as server, Workspace() as ws:
            ws.settings(port=server.port)
            run = ws.run(lines, timeout=120)
            return server.keeper, run

    def test_table(self):
        for name, to, sender, smtputf8, status, envelope, header in ROWS:
            with self.subTest(name):
                keeper, run = self.send(macro(to, sender), smtputf8)
                self.assertEqual(run.status, status, run.stderr)
                if envelope is None:
                    # Stopped before MAIL FROM: nothing of the message was offered.
                    self.assertEqual([c for c in keeper.commands if c[0] == "MAIL"], [])
                    self.assertEqual(keeper.messages, [])
                    self.assertIn(to[0], run.stderr)
                    continue
                mail_from, rcpts, utf8 = envelope
                mails = [c for c in keeper.commands if c[0] == "MAIL"]
                self.assertEqual({c[1] for c in mails}, {mail_from})
                self.assertEqual(all("SMTPUTF8" in c[2] for c in mails), utf8)
                self.assertEqual([c[1] for c in keeper.commands if c[0] == "RCPT"], rcpts)
                self.assertEqual(len(keeper.messages), 1)
                raw = keeper.messages[0]
                head = raw.split(b"\r\n\r\n", 1)[0]
                if not utf8:
                    head.decode("ascii")  # nothing but ASCII without SMTPUTF8
                for line in head.split(b"\r\n"):
                    self.assertLessEqual(len(line), 998)
                msg = parse(raw)
                self.assertEqual(msg.defects, [])
                if header is not None:
                    self.assertEqual([(a.display_name, a.addr_spec) for a in msg["To"].addresses], header)
                self.assertEqual(msg["From"].addresses[0].addr_spec, mail_from)
                self.assertTrue(msg["Message-ID"].endswith("@" + mail_from.split("@")[1] + ">"), msg["Message-ID"])

    def test_comment_and_quoted_ascii_name_stay_as_typed_in_the_header(self):
        keeper, run = self.send(macro(['"Sato, Jiro" <sato@example.com>', " taro@example.jp (Taro, home)"]), False)
        self.assertEqual(run.status, 0, run.stderr)
        head = keeper.messages[0].split(b"\r\n\r\n", 1)[0].decode("ascii")
        self.assertIn('To: "Sato, Jiro" <sato@example.com>, taro@example.jp (Taro, home)\r\n', head + "\r\n")

    def test_many_recipients_fold_at_commas_within_78(self):
        keeper, run = self.send(macro(MANY[:200]), False)
        self.assertEqual(run.status, 0, run.stderr)
        head = keeper.messages[0].split(b"\r\n\r\n", 1)[0].decode("ascii")
        to = re.search(r"(?ms)^To: .*?(?=\r\n\S)", head).group(0)
        lines = to.split("\r\n")
        self.assertGreater(len(lines), 1)
        self.assertTrue(all(len(line) <= 78 for line in lines), max(lines, key=len))
        self.assertTrue(all(line.rstrip().endswith(",") for line in lines[:-1]))


NAMES = {
    "見積書_2024年度.txt": b"abc",
    # 65 characters: continued over several lines.
    "令和六年度第三四半期営業報告書及び来期予算計画案並びに関連資料一式（最終版・役員会提出用・社外秘）の添付.txt": b"x" * 10,
    "plain.bin": b"\x00\x01",
}


def ripmime(raw):
    """The files ripmime saves from a message: {name: bytes}."""
    with tempfile.TemporaryDirectory() as out:
        mail = os.path.join(out, "mail.eml")
        with open(mail, "wb") as f:
            f.write(raw)
        files = os.path.join(out, "files")
        os.mkdir(files)
        subprocess.run(["ripmime", "-i", mail, "-d", files, "--no-nameless"], check=True, capture_output=True,
                       timeout=30)
        saved = {}
        for name in os.listdir(files):
            with open(os.path.join(files, name), "rb") as f:
                saved[name] = f.read()
        return saved


def python_composed(files):
    """The same attachments in a message composed by Python's email package."""
    msg = email.message.EmailMessage()
    msg["From"], msg["To"], msg["Subject"] = "me@example.jp", "taro@example.jp", "x"
    msg.set_content("x")
    for name, data in files.items():
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return msg.as_bytes(policy=email.policy.SMTP)


class AttachmentNames(unittest.TestCase):

    def test_every_charset_reads_back_in_python_and_ripmime(self):
        for charset in ("auto", "iso-2022-jp", "utf-8"):
            with self.subTest(charset), Server(False) as server, Workspace() as ws:
                ws.write("tarvex.INI", ("[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=\r\nUser=t\r\n[SMTP]\r\nPort=%d\r\n"
                                        "[Mail]\r\nCharset=%s\r\n" % (server.port, charset)).encode("ascii"))
                binds = [ws.write(name, data) for name, data in NAMES.items()]
                run = ws.run(macro(["taro@example.jp"], binds=binds))
                self.assertEqual(run.status, 0, run.stderr)
                raw = server.keeper.messages[0]
                self.assertNotRegex(raw, rb"filename=[^\r\n]*\r?\n?[^\r\n]*filename\*")
                for line in raw.split(b"\r\n"):
                    if line.startswith((b" filename*", b"Content-Disposition")):
                        self.assertLessEqual(len(line), 78, line)
                msg = email.message_from_bytes(raw, policy=email.policy.default)
                got = {p.get_filename(): p.get_payload(decode=True) for p in msg.iter_attachments()}
                self.assertEqual(got, NAMES)
                # ripmime has limits of its own (it cuts a name at 128 octets): it must
                # save our message as it saves the same files composed by Python.
                self.assertEqual(ripmime(raw), ripmime(python_composed(NAMES)))
                self.assertIn("見積書_2024年度.txt", ripmime(raw))


if __name__ == "__main__":
    unittest.main()
