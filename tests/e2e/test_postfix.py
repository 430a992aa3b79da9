"""Against the mail system's own test server, smtp-sink, with its fault options: a
server that answers 421 and closes, refuses a command for now (4xx) or for good
(5xx), goes away without a word after the end of the data, or waits too long to
answer it. Each row checks the exit status, [Result] and whether a message arrived.
smtp-sink comes with the postfix package (scripts/setup.sh installs it); without it,
or without root (smtp-sink drops to the user "nobody"), the tests say so and skip."""

import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Workspace, free_port  # noqa: E402
from test_fault_matrix import result_section  # noqa: E402

SMTP_SINK = shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"


class Sink:
    """smtp-sink on a free loopback port with the given fault options; every message
    it reads to the end is dumped to a file of its own in a folder of its own."""

    def __init__(self, options):
        self.dir = tempfile.mkdtemp(prefix="tarvex-sink-")
        os.chmod(self.dir, 0o777)  # smtp-sink writes as "nobody"
        self.port = free_port()
        self.proc = subprocess.Popen(
            [SMTP_SINK, "-u", "nobody", "-d", os.path.join(self.dir, "msg."), *options,
             "127.0.0.1:%d" % self.port, "16"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("smtp-sink ended: %s" % self.proc.stderr.read().decode(errors="replace"))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.recv(100)
                break
            except OSError:
                time.sleep(0.05)

    def messages(self):
        return glob.glob(os.path.join(self.dir, "msg.*"))

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def sink_usable():
    if not os.path.exists(SMTP_SINK):
        return "smtp-sink is not installed (the postfix package; scripts/setup.sh installs it)"
    if os.geteuid() != 0:
        return "smtp-sink must start as root to drop to the user nobody"
    return None


@unittest.skipIf(sink_usable(), sink_usable() or "")
class SinkFaults(unittest.TestCase):
    # name, smtp-sink options, exit status, message dumped, texts stderr must hold,
    # [Result] Refused
    ROWS = [
        ("plain", [], 0, True, [], ""),
        # EHLO refused for good (500): the same server is greeted with HELO.
        ("EHLO refused, HELO follows", ["-f", "EHLO"], 0, True, [], ""),
        ("421 and close after RCPT", ["-Q", "RCPT"], 75, False, ["421"], ""),
        ("every recipient refused for now", ["-r", "RCPT"], 75, False, ["All recipients refused"],
         "one@example.jp 450 4.3.0 Error: command failed; two@example.jp 450 4.3.0 Error: command failed"),
        ("every recipient refused for good", ["-f", "RCPT"], 69, False, ["All recipients refused"],
         "one@example.jp 500 5.3.0 Error: command failed; two@example.jp 500 5.3.0 Error: command failed"),
        ("DATA refused for good", ["-f", "DATA"], 69, False, ["500 5.3.0"], ""),
        ("gone without a word after the end of the data", ["-q", "."], 75, None, ["sent without an answer"], ""),
        ("no answer in time after the end of the data", ["-W", ".:4"], 75, None, ["sent without an answer"], ""),
    ]

    def test_faults(self):
        for name, options, status, dumped, stderr, refused in self.ROWS:
            with self.subTest(name):
                sink = Sink(options)
                try:
                    with Workspace() as ws:
                        ws.settings(port=sink.port)
                        run = ws.run(["uname:", "sink-test", "server:", "127.0.0.1", "to:",
                                      "one@example.jp,two@example.jp", "subject:", "件名", "reply-to:", "me@example.jp",
                                      "body:", "本文", "action:", "send"], args=["--timeout", "2"])
                        self.assertEqual(run.status, status, run.stderr)
                        for text in stderr:
                            self.assertIn(text, run.stderr)
                        result = result_section(run.ini)
                        self.assertEqual(result.get("Status"), str(status))
                        self.assertEqual(result.get("Refused", ""), refused)
                        self.assertEqual(bool(result.get("Error")), status != 0)
                        # After the end of the data the message may or may not be there:
                        # that is the point of the rows with None.
                        if dumped is not None:
                            time.sleep(0.2)
                            self.assertEqual(len(sink.messages()), 1 if dumped else 0)
                finally:
                    sink.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
