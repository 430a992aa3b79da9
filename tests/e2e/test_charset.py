"""Japanese text beyond ISO-2022-JP, end to end: each message of the table is sent
headless to a real SMTP server (aiosmtpd) and read back twice, with Python's email
package (policy=default) and with s-nail in batch mode. Subject, display names, body
text, attachment names and bytes must equal what the macro held, decoded with the
CP932 codec. The plain JIS X 0208 message must arrive byte for byte as the program
sent them before the charset choice existed (data/plain*.eml, see data/README)."""

import email.utils
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import ServerCase  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def text(item):
    """A macro item as the reader should show it: str as is, raw CP932 bytes decoded."""
    return item.decode("cp932") if isinstance(item, bytes) else item


def macro(subject, to, body, binds=(), sender="me@example.jp"):
    lines = ["uname:", "tester", "server:", "127.0.0.1", "to:", *to, "subject:", subject, "reply-to:", sender,
             "body:", *body]
    if binds:
        lines += ["bind:", *binds]
    lines += ["action:", "send", "end"]
    return b"".join((x if isinstance(x, bytes) else x.encode("cp932")) + b"\r\n" for x in lines)


# name, subject, To entries, body lines, attachments {name: bytes}, the charset expected.
# Items given as bytes are raw CP932 (the IBM extension codes, which Python's
# encoder never writes: it prefers the NEC-selected twins).
CASES = [
    ("half-width katakana", "ｱｲｳｴｵ ｶﾞ のお知らせ", ["taro@example.jp"],
     ["ﾃｽﾄ ﾒｰﾙです。", "", "半角ｶﾅ混在 ｶﾞｷﾞｸﾞ"], {}, "utf-8"),
    ("NEC specials", "①②Ⅰ㈱㌔", ["taro@example.jp"], ["①会議 ②資料", "Ⅰ章 ㈱山田 10㌔"], {}, "utf-8"),
    ("IBM kanji", "髙橋様 山﨑様 德永様", ["髙橋 一郎 <taka@example.jp>"],
     ["髙橋", "山﨑", "德", b"\xfb\xfc\x8b\xb4 \x8eR\xfa\xb1 (IBM codes)"], {}, "utf-8"),
    ("display name with a blank", "ご挨拶", ["山田 太郎 <taro@example.jp>", "会議 資料 係 <desk@example.jp>"],
     ["山田様", "よろしくお願いします。"], {}, "iso-2022-jp"),
    ("subject with a blank", "会議 資料", ["taro@example.jp"], ["資料を添付します。"], {}, "iso-2022-jp"),
    ("attachment name", "見積書の送付", ["taro@example.jp"], ["見積書をお送りします。"],
     {"見積書_2024年度.txt": "見積金額: 1,000円\r\n".encode("cp932")}, "iso-2022-jp"),
    ("attachment name with half-width katakana", "ﾌｧｲﾙ送付", ["taro@example.jp"], ["添付します。"],
     {"見積書_ｶﾅ①.txt": bytes(range(256)), "plain.bin": b"abc"}, "utf-8"),
]

# Messages whose text fits ISO-2022-JP: sent exactly as before (data/*.eml).
PLAIN = [
    ("plain JIS X 0208", "定例会議のお知らせ", ["山田太郎 <taro@example.jp>"],
     ["山田様", "", "来週の定例会議は10時からです。", "よろしくお願いします。"], {}, "iso-2022-jp"),
    ("plain JIS X 0208 with an attachment", "資料送付", ["taro@example.jp", "hanako@example.jp"],
     ["資料を添付します。", ".先頭のドット"], {"data.bin": bytes(range(200))}, "iso-2022-jp"),
]


def mask(raw):
    """The message with its per-run lines (Date, Message-ID) replaced by placeholders."""
    raw = re.sub(rb"(?m)^Date: [^\r\n]*", b"Date: <date>", raw)
    return re.sub(rb"(?m)^Message-ID: [^\r\n]*", b"Message-ID: <id>", raw)


def snail(raw):
    """What s-nail shows of the message: header lines, then the parts as text."""
    with tempfile.TemporaryDirectory() as home:
        mbox = os.path.join(home, "mbox")
        lines = raw.replace(b"\r\n", b"\n").split(b"\n")
        with open(mbox, "wb") as f:
            f.write(b"From me@example.jp Thu Dec 10 00:00:00 2026\n")
            for line in lines:
                f.write((b">" + line if line.startswith(b"From ") else line) + b"\n")
            f.write(b"\n")
        env = dict(os.environ, HOME=home, LC_ALL="C.UTF-8", MAILRC="/dev/null")
        # Only these headers: the parts then show their description and file name.
        commands = b"headerpick type retain from to cc subject\ntype 1\n"
        proc = subprocess.run(["s-nail", "-:/", "-#", "-R", "-Sttycharset=utf-8", "-f", mbox], input=commands,
                              capture_output=True, env=env, timeout=60)
    return proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8", "replace")


class Charset(ServerCase):

    def send(self, case, charset=None):
        _, subject, to, body, files, _ = case
        binds = [self.ws.write(name, data) for name, data in files.items()]
        ini = "[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=\r\nUser=tarvex-test\r\n[SMTP]\r\nPort=%d\r\n" % self.server.port
        if charset:
            ini += "[Mail]\r\nCharset=%s\r\n" % charset
        self.ws.write("tarvex.INI", ini.encode("cp932"))
        before = len(self.server.messages)
        run = self.ws.run(args=[self.ws.write("m.txt", macro(subject, to, body, binds))])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(len(self.server.messages), before + 1)
        return self.server.messages[-1], run

    def check_python(self, got, case):
        name, subject, to, body, files, charset = case
        msg = got.message
        self.assertEqual(str(msg["Subject"]), text(subject))
        shown = [(a.display_name, a.addr_spec) for a in msg["To"].addresses]
        expected = [email.utils.parseaddr(text(t)) for t in to]
        self.assertEqual(shown, expected)
        parts = list(msg.iter_parts()) if msg.is_multipart() else [msg]
        self.assertEqual(parts[0].get_content_charset(), charset)
        # Text in base64 is in the canonical form, CR LF line ends; Python keeps them.
        lines = parts[0].get_content().splitlines()
        while lines and not lines[0]:
            del lines[0]
        while lines and not lines[-1]:
            del lines[-1]
        self.assertEqual(lines, [text(x) for x in body])
        got_files = {}
        for part in parts[1:]:
            got_files[part.get_filename()] = part.get_payload(decode=True)
            self.assertEqual(str(part["Content-Description"]), part.get_filename())
        self.assertEqual(got_files, files)
        self.assertEqual(msg.defects, [])
        if charset == "utf-8":
            self.assertEqual(parts[0]["Content-Transfer-Encoding"], "base64")
        return msg

    def check_extended_names(self, got, case):
        """Every filename*= parameter decodes to the name of its part's filename=."""
        files = case[4]
        raw = got.raw.decode("ascii")
        values = re.findall(r"filename\*=([^'\s;]+)''([^\s;]+)", raw)
        self.assertEqual(sorted(urllib.parse.unquote_to_bytes(v).decode(cs) for cs, v in values),
                         sorted(n for n in files if not n.isascii()))

    def check_snail(self, got, case):
        name, subject, to, body, files, charset = case
        out, err = snail(got.raw)
        self.assertEqual(err, "", out)
        self.assertIn("\nSubject: %s\n" % text(subject), out)
        shown_to = re.search(r"(?m)^To: (.*)$", out)
        self.assertTrue(shown_to, out)
        self.assertEqual([x.strip() for x in shown_to.group(1).split(",")], [text(t).strip() for t in to])
        shown = out.split("\n")
        wanted = [text(x) for x in body]
        starts = [i for i in range(len(shown)) if shown[i:i + len(wanted)] == wanted]
        self.assertTrue(starts, out)
        # Each attachment: its description, then its file name.
        for fname in files:
            self.assertIn("[-- %s --]\n[-- %s --]\n" % (fname, fname), out)

    def test_table(self):
        for case in CASES:
            with self.subTest(case[0]):
                got, _ = self.send(case)
                self.check_python(got, case)
                self.check_extended_names(got, case)
                self.check_snail(got, case)

    def test_plain_messages_are_byte_identical_to_earlier_releases(self):
        for index, case in enumerate(PLAIN, 1):
            with open(os.path.join(DATA, "plain%d.eml" % index), "rb") as f:
                expected = f.read()
            for charset in (None, "auto", "iso-2022-jp"):
                with self.subTest(case[0], charset=charset):
                    got, _ = self.send(case, charset)
                    self.assertEqual(mask(got.raw), expected)
                    self.check_python(got, case)
                    self.check_snail(got, case)

    def test_utf8_setting_sends_every_message_as_utf8(self):
        for case in (*PLAIN, CASES[3], CASES[5]):
            with self.subTest(case[0]):
                got, _ = self.send(case, "utf-8")
                utf8 = case[:5] + ("utf-8",)
                self.check_python(got, utf8)
                self.check_extended_names(got, utf8)
                self.check_snail(got, utf8)

    def test_iso2022jp_setting_keeps_the_earlier_bytes(self):
        # What the program always sent: raw 8-bit katakana inside ISO-2022-JP, one
        # word per run.
        got, _ = self.send(CASES[0], "iso-2022-jp")
        raw = got.raw
        self.assertIn(b"charset=iso-2022-jp", raw)
        self.assertIn("ﾃｽﾄ ﾒｰﾙ".encode("cp932"), raw.split(b"\r\n\r\n", 1)[1])
        got, _ = self.send(CASES[3], "iso-2022-jp")
        header = got.raw.split(b"\r\n\r\n", 1)[0].decode("ascii")
        self.assertIn("To: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= =?ISO-2022-JP?B?GyRCQkBPOhsoQg==?= <taro@example.jp>",
                      header)
        out, _ = snail(got.raw)
        self.assertIn("\nTo: 山田太郎 <taro@example.jp>,", out)  # the blank is lost
        # File names are the exception: a UTF-8 word and filename*=UTF-8'' whatever the setting.
        got, _ = self.send(CASES[5], "iso-2022-jp")
        self.assertIn(b"filename*=UTF-8''", got.raw)
        self.assertNotIn(b"filename=", got.raw)
        self.check_python(got, CASES[5][:5] + ("iso-2022-jp",))

    def test_unknown_setting_stops_the_send_and_is_kept(self):
        ini = ("[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=\r\nUser=t\r\n[SMTP]\r\nPort=%d\r\n[Mail]\r\nCharset=latin1\r\n"
               % self.server.port)
        self.ws.write("tarvex.INI", ini.encode("ascii"))
        _, subject, to, body, _, _ = PLAIN[0]
        run = self.ws.run(args=[self.ws.write("m.txt", macro(subject, to, body))])
        self.assertEqual(run.status, 78, run.stderr)
        self.assertIn('Unknown [Mail] Charset value "latin1"', run.stderr)
        self.assertEqual(self.server.messages, [])
        self.assertIn("\r\nCharset=latin1\r\n", run.ini)  # written back as it was

    def test_dump_shows_the_chosen_charset(self):
        # The dump holds the header as it would go out: its Content-Type names the
        # charset chosen for the message.
        for case, charset in ((PLAIN[0], "iso-2022-jp"), (CASES[0], "utf-8")):
            with self.subTest(case[0]):
                _, subject, to, body, _, _ = case
                dump = self.ws.path("check.eml")
                run = self.ws.run(args=["--dump", dump, "--no-send", self.ws.write("m.txt", macro(subject, to, body))])
                self.assertEqual(run.status, 0, run.stderr)
                with open(dump, "rb") as f:
                    header = f.read().split(b"\r\n\r\n", 1)[0].decode("ascii")
                self.assertIn("Content-Type: text/plain; charset=%s" % charset, header)


if __name__ == "__main__":
    unittest.main(verbosity=2)
