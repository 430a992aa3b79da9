"""Runs the demo: starts a local SMTP server, lets tarvex send examples/demo.txt
headless, and prints what arrived, decoded."""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from tarvex_e2e import SmtpServer  # noqa: E402

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
binary = os.path.join(root, "build", "tarvex")
macro = os.path.join(root, "examples", "demo.txt")

with SmtpServer() as server, tempfile.TemporaryDirectory() as work:
    ini = os.path.join(work, "tarvex.INI")
    with open(ini, "wb") as f:
        f.write(b"[SMTP]\r\nPort=%d\r\n" % server.port)
    print("SMTP server listening on 127.0.0.1:%d" % server.port)
    print("running: tarvex --headless examples/demo.txt")
    run = subprocess.run([binary, "--headless", macro], cwd=root, capture_output=True, timeout=120,
                         env=dict(os.environ, TARVEX_INI=ini))
    sys.stderr.write(run.stderr.decode("utf-8", "replace"))
    print("tarvex exited with status %d" % run.returncode)
    if not server.messages:
        print("no message arrived")
        sys.exit(1)
    for m in server.messages:
        msg = m.message
        print("\n=== envelope: from %s to %s" % (m.mail_from, ", ".join(m.rcpt_tos)))
        print("=== raw header as it arrived")
        print(m.raw.split(b"\r\n\r\n", 1)[0].decode("ascii", "replace"))
        print("=== decoded")
        for name in ("From", "To", "CC", "Subject", "Date", "Message-ID"):
            if msg[name] is not None:
                print("%s: %s" % (name, msg[name]))
        for part in msg.walk():
            if part.is_multipart():
                continue
            if part.get_filename():
                data = part.get_payload(decode=True)
                print("--- attachment %s (%d bytes)" % (part.get_filename(), len(data)))
                print(data.decode("utf-8", "replace"))
            else:
                print("--- body (%s)" % part.get_content_charset())
                print(part.get_content())
    sys.exit(run.returncode)
