#!/usr/bin/python3
"""Local measurement, not part of CI: sends every message of the charset table
(tests/e2e/test_charset.py) through a Postfix on loopback twice, once with Tarvex
and once built by Python's email package and sent with smtplib, and scores each
delivered copy with SpamAssassin (local tests only, -L). Prints one line per message
with both scores and the rules that fire on Tarvex's copy but not on Python's.

Needs a Postfix on 127.0.0.1:25 that delivers example.jp into the Maildir named by
--maildir (scripts/spam_postfix.sh sets one up) and the spamassassin command.

Usage: scripts/spam_compare.py [--tarvex build/tarvex] [--maildir DIR] [CHARSET]
"""

import argparse
import email.policy
import email.utils
import glob
import os
import re
import smtplib
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import test_charset  # noqa: E402


def delivered(maildir, before):
    """Waits for one new message in the Maildir and returns its bytes."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        files = set(glob.glob(os.path.join(maildir, "new", "*")))
        new = sorted(files - before)
        if new:
            with open(new[0], "rb") as f:
                return new[0], f.read()
        time.sleep(0.2)
    raise RuntimeError("nothing delivered into " + maildir)


def score(raw):
    proc = subprocess.run(["spamassassin", "-L", "-t"], input=raw, capture_output=True, timeout=300)
    head = proc.stdout.split(b"\n\n", 1)[0].decode("ascii", "replace")
    status = re.search(r"^X-Spam-Status: (\w+), score=(-?[\d.]+) required=[\d.]+ tests=(.*?)(?:\s+autolearn|\s+version|$)",
                       re.sub(r"\n\s+", " ", head), re.M)
    if not status:
        raise RuntimeError("no X-Spam-Status:\n" + head)
    rules = sorted(r.strip() for r in status.group(3).split(",") if r.strip() not in ("", "none"))
    return float(status.group(2)), rules


def send_tarvex(binary, case, charset):
    _, subject, to, body, files, _ = case
    with tempfile.TemporaryDirectory() as d:
        binds = []
        for name, data in files.items():
            path = os.path.join(d, name)
            with open(path, "wb") as f:
                f.write(data)
            binds.append(path)
        ini = os.path.join(d, "tarvex.INI")
        text = "[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=\r\nUser=localhost\r\n[SMTP]\r\nPort=25\r\n"
        if charset:
            text += "[Mail]\r\nCharset=%s\r\n" % charset
        with open(ini, "wb") as f:
            f.write(text.encode("ascii"))
        macro = os.path.join(d, "m.txt")
        with open(macro, "wb") as f:
            f.write(test_charset.macro(subject, to, body, binds, sender="me@example.jp"))
        env = dict(os.environ, TARVEX_INI=ini, TMPDIR=d)
        proc = subprocess.run([binary, "--headless", macro], capture_output=True, env=env, timeout=120)
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr.decode("utf-8", "replace"))


def send_python(case):
    _, subject, to, body, files, _ = case
    text = test_charset.text
    msg = EmailMessage(policy=email.policy.SMTP)
    msg["From"] = "me@example.jp"
    msg["To"] = ", ".join(text(t) for t in to)
    msg["Subject"] = text(subject)
    msg["Date"] = email.utils.formatdate(localtime=True)
    msg["Message-ID"] = email.utils.make_msgid(domain="example.jp")
    msg.set_content("\n".join(text(x) for x in body) + "\n")
    for name, data in files.items():
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    with smtplib.SMTP("127.0.0.1", 25) as s:
        s.send_message(msg)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tarvex", default=os.path.join(HERE, "..", "build", "tarvex"))
    ap.add_argument("--maildir", default="/var/tmp/tarvex-spam/inbox")
    ap.add_argument("charset", nargs="?", default=None)
    args = ap.parse_args()
    print("%-42s %7s %7s  %s" % ("message", "Tarvex", "Python", "rules on Tarvex's copy only"))
    for case in test_charset.CASES + test_charset.PLAIN:
        results = []
        for sender in ("tarvex", "python"):
            before = set(glob.glob(os.path.join(args.maildir, "new", "*")))
            if sender == "tarvex":
                send_tarvex(args.tarvex, case, args.charset)
            else:
                send_python(case)
            path, raw = delivered(args.maildir, before)
            os.rename(path, os.path.join(args.maildir, "cur", os.path.basename(path) + ":2,S"))
            results.append(score(raw))
        (t_score, t_rules), (p_score, p_rules) = results
        only = [r for r in t_rules if r not in p_rules]
        print("%-42s %7.1f %7.1f  %s" % (case[0], t_score, p_score, " ".join(only) or "-"))
        print("%-42s %7s %7s  all: %s | %s" % ("", "", "", ",".join(t_rules), ",".join(p_rules)))


if __name__ == "__main__":
    main()
