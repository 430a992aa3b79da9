"""Faults of the server at every step of the dialogue, against the headless program.

A scripted server of our own speaks SMTP on loopback. For each step (greeting, HELO,
RSET, MAIL, the first and the second RCPT, DATA, the first header line, the first
body line, the end of the data, QUIT) and each fault (close, reset, stall, garbage,
a 4xx, a 5xx, a 70,000-byte line) one cell runs the program with a macro that sends
one message to two recipients with an attachment. Every cell must end with the exit
status of the table, print the error, never say "Success" for a message the server
did not accept, leave the temporary folder empty, and a second run against the same
server (its next connection, without a fault) must deliver the message.

Decisions the table holds: a reply line without a reply code (garbage) and a lost
or stalled connection are temporary failures (75); a reply line too long to read
ends the run as an internal error (70); a refused HELO is final (69) whatever its
code. A refused recipient (4xx or 5xx) is reported on stderr and the send goes on
with the other one, which the server accepts: the run ends with 0. Once the end of the data
was accepted, any fault at QUIT leaves the run successful (0): the message is there,
and an error status would make the caller send it twice."""

import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Workspace  # noqa: E402

STEPS = ["greeting", "HELO", "RSET", "MAIL", "RCPT1", "RCPT2", "DATA", "mid-header", "mid-body", "end-of-data",
         "QUIT"]
FAULTS = ["close", "reset", "stall", "garbage", "4xx", "5xx", "long-line"]
REPLY_FAULTS = {
    "garbage": b"this is no reply at all\r\n",
    "4xx": b"451 4.3.0 try again later\r\n",
    "5xx": b"554 5.7.1 refused here\r\n",
    "long-line": b"250 " + b"x" * 70000 + b"\r\n",
}
NORMAL = {"HELO": b"250 fault.example\r\n", "RSET": b"250 reset\r\n", "MAIL": b"250 sender ok\r\n",
          "RCPT": b"250 recipient ok\r\n", "DATA": b"354 go ahead\r\n", "end-of-data": b"250 queued as 1\r\n",
          "QUIT": b"221 bye\r\n"}


def expected_status(step, fault):
    if step == "QUIT" or (step.startswith("RCPT") and fault in ("4xx", "5xx")):
        return 0
    if fault == "5xx" or (step == "HELO" and fault == "4xx"):
        return 69  # a refused HELO is final, whatever its code
    if fault == "long-line":
        return 70
    return 75


class _Stop(Exception):
    pass


class FaultServer:
    """Serves one connection after another; the first one gets the fault, every later
    one a plain dialogue. Keeps the messages whose end of data it accepted (250)."""

    def __init__(self, step, fault):
        self.step, self.fault = step, fault
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.accepted = []  # one entry per message accepted: (connection number, data)
        self.connections = 0
        self.error = None
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)

    def _loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            n = self.connections
            conn.settimeout(30)
            try:
                self._dialogue(conn, n, self.step if n == 1 else None)
            except _Stop:
                pass
            except OSError:
                pass  # the client went away after a fault
            except Exception as e:  # noqa: BLE001 - kept for the test to report
                self.error = repr(e)
            finally:
                conn.close()

    def _fault_here(self, conn, at, fault_step):
        """Runs the fault when this is its step. Returns the reply fault's line to send
        instead of the normal reply, or None; raises _Stop when the dialogue ends."""
        if at != fault_step:
            return None
        if self.fault == "close":
            conn.shutdown(socket.SHUT_RDWR)
            raise _Stop()
        if self.fault == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raise _Stop()
        if self.fault == "stall":
            # Reads and drops whatever comes until the client gives up.
            while conn.recv(65536):
                pass
            raise _Stop()
        return REPLY_FAULTS[self.fault]

    def _dialogue(self, conn, number, fault_step):
        f = conn.makefile("rb")
        conn.sendall(self._fault_here(conn, "greeting", fault_step) or b"220 fault.example ready\r\n")
        rcpt = 0
        while True:
            line = f.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"QUIT":
                conn.sendall(self._fault_here(conn, "QUIT", fault_step) or NORMAL["QUIT"])
                return
            if verb in (b"HELO", b"RSET", b"MAIL"):
                step = verb.decode()
            elif verb == b"RCPT":
                rcpt += 1
                step = "RCPT%d" % rcpt
            elif verb == b"DATA":
                step = "DATA"
            else:
                conn.sendall(b"500 what\r\n")
                continue
            reply = self._fault_here(conn, step, fault_step)
            conn.sendall(reply or NORMAL.get(step[:4], b"250 ok\r\n"))
            if step == "DATA" and reply is None:
                self._data(conn, f, number, fault_step)

    def _data(self, conn, f, number, fault_step):
        data = b""
        early = None  # a reply fault sent in the middle of the data answers it
        lines = 0
        body_line = None  # the number of the first line after the header's end
        while True:
            line = f.readline()
            if not line:
                raise _Stop()
            if line == b".\r\n":
                break
            data += line
            lines += 1
            if body_line is None and line == b"\r\n":
                body_line = lines + 1
            at = "mid-header" if lines == 1 else "mid-body" if lines == body_line else None
            if at and early is None:
                early = self._fault_here(conn, at, fault_step)
                if early:
                    conn.sendall(early)
        if early:
            return
        reply = self._fault_here(conn, "end-of-data", fault_step) or NORMAL["end-of-data"]
        conn.sendall(reply)
        if reply == NORMAL["end-of-data"]:
            self.accepted.append((number, data))


def macro(attachment):
    lines = ["uname:", "fault-test", "server:", "127.0.0.1", "to:", "one@example.jp", "two@example.jp",
             "subject:", "故障試験", "reply-to:", "me@example.jp", "body:", "本文の一行目", "二行目",
             "bind:", attachment, "action:", "send"]
    return "".join(line + "\r\n" for line in lines).encode("cp932")


def run_cell(step, fault):
    """Both runs of one cell; returns a list of problems (empty: the cell holds)."""
    problems = []
    server = FaultServer(step, fault)
    try:
        with Workspace() as ws:
            tmp = ws.path("tmp")
            os.mkdir(tmp)
            ws.settings(port=server.port, user="fault-test")
            attachment = ws.write("添付.txt", "添付の中身\n".encode("utf-8"))
            ws.write("fault.txt", macro(attachment))
            env = {"TMPDIR": tmp}
            first = ws.run(args=["--timeout", "1", ws.path("fault.txt")], env=env, timeout=60)
            want = expected_status(step, fault)
            if first.status != want:
                problems.append("exit %s, want %s; stderr: %s" % (first.status, want, first.stderr.strip()[:300]))
            accepted_first = any(n == 1 for n, _ in server.accepted)
            if want != 0:
                if accepted_first:
                    problems.append("the server accepted the message, yet the cell expects a failure")
                if "Success" in first.stderr:
                    problems.append("said Success for a message that was not accepted")
                if not first.stderr.strip():
                    problems.append("no error on stderr")
            elif not accepted_first:
                problems.append("exit 0 but the message did not arrive")
            elif step.startswith("RCPT") and 'Recipient "' not in first.stderr:
                problems.append("the refused recipient was not reported")
            if os.listdir(tmp):
                problems.append("temporary files left: %s" % os.listdir(tmp))
            second = ws.run(args=["--timeout", "5", ws.path("fault.txt")], env=env, timeout=60)
            if second.status != 0:
                problems.append("next send: exit %s; stderr: %s" % (second.status, second.stderr.strip()[:300]))
            if not any(n > 1 for n, _ in server.accepted):
                problems.append("next send: no message arrived on a fresh connection")
            if os.listdir(tmp):
                problems.append("temporary files left after the next send: %s" % os.listdir(tmp))
            if server.error:
                problems.append("server: " + server.error)
            return first.status, problems
    finally:
        server.close()


class FaultMatrix(unittest.TestCase):
    def test_every_step_and_fault(self):
        cells = [(s, f) for s in STEPS for f in FAULTS]
        with ThreadPoolExecutor(max_workers=int(os.environ.get("TARVEX_FAULT_JOBS", "16"))) as pool:
            results = dict(zip(cells, pool.map(lambda c: run_cell(*c), cells)))
        # The table of exit statuses, for the log.
        print("\n%-12s" % "step" + "".join("%10s" % f for f in FAULTS), file=sys.stderr)
        for s in STEPS:
            print("%-12s" % s + "".join("%10s" % results[(s, f)][0] for f in FAULTS), file=sys.stderr)
        for (s, f), (_, problems) in results.items():
            with self.subTest(step=s, fault=f):
                self.assertEqual(problems, [])


if __name__ == "__main__":
    unittest.main()
