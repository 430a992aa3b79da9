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
or stalled connection are temporary failures (75); a reply line too long to read, or
a reply of endless continuation lines, ends the run as an internal error (70); a reply
whose continuation lines come too slowly for the time-out is a time-out (75); a
multi-line reply whose lines carry different codes breaks the dialogue (70), or leaves
the mail's fate open once the whole message was sent (75); a HELO refused with 5xx is
final (69), with 4xx temporary (75). A refused recipient (4xx or 5xx) is
reported on stderr and in [Result] Refused, and the send goes on with the other one,
which the server accepts: the run ends with 0. During the data a server that stops
reading is a time-out (75), one that refuses early and closes is refused (69). Once
the end of the data was accepted, any fault at QUIT leaves the run successful (0):
the message is there, and an error status would make the caller send it twice. Every
run writes [Result] Status (the exit status), Error (empty after success), Refused
and Missing.

The scenario table below the matrix holds the runs that need more than one fault or
another setting: greylisting, settings files that are read-only, full, marked with a
byte-order mark or hold bad values, a missing attachment, a file name with a line
break, an overlong address and a signal in the middle of a large send."""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import BINARY, Workspace, result_section  # noqa: E402

STEPS = ["greeting", "HELO", "RSET", "MAIL", "RCPT1", "RCPT2", "DATA", "mid-header", "mid-body", "end-of-data",
         "QUIT"]
FAULTS = ["close", "reset", "stall", "garbage", "4xx", "5xx", "long-line", "multi", "mixed-5xx", "endless", "slow"]
# Faults of the data transfer only (the server's answers during header and body).
DATA_FAULTS = ["stop-reading", "early-5xx"]
DATA_STEPS = ["mid-header", "mid-body"]
# Reply faults: the bytes sent instead of the normal reply; None: the normal reply
# with two continuation lines in front (the code of every line the normal one's).
REPLY_FAULTS = {
    "garbage": b"this is no reply at all\r\n",
    "4xx": b"451 4.3.0 try again later\r\n",
    "5xx": b"554 5.7.1 refused here\r\n",
    "long-line": b"250 " + b"x" * 70000 + b"\r\n",
    "multi": None,
    "mixed-5xx": b"250-this line looks fine\r\n250-and so does this\r\n554 5.7.1 but the last refuses\r\n",
}
NORMAL = {"HELO": b"250 fault.example\r\n", "RSET": b"250 reset\r\n", "MAIL": b"250 sender ok\r\n",
          "RCPT": b"250 recipient ok\r\n", "DATA": b"354 go ahead\r\n", "end-of-data": b"250 queued as 1\r\n",
          "QUIT": b"221 bye\r\n"}


def expected_status(step, fault):
    if step == "QUIT" or fault == "multi" or (step.startswith("RCPT") and fault in ("4xx", "5xx")):
        return 0
    if fault == "mixed-5xx":
        # Lines with different codes break the dialogue; once the whole message is out
        # (the reply answers its end) the mail's fate is open instead.
        return 75 if step in DATA_STEPS + ["end-of-data"] else 70
    if fault in ("5xx", "early-5xx"):
        return 69
    if fault in ("long-line", "endless"):
        return 70
    return 75


def refused_text(step, fault):
    """What [Result] Refused holds after a cell: the refused recipient with its reply."""
    if not step.startswith("RCPT") or fault not in ("4xx", "5xx"):
        return ""
    who = "one@example.jp" if step == "RCPT1" else "two@example.jp"
    line = {"4xx": "451 4.3.0 try again later", "5xx": "554 5.7.1 refused here"}[fault]
    return who + " " + line


class _Stop(Exception):
    pass


class FaultServer:
    """Serves one connection after another; the first one gets the fault, every later
    one a plain dialogue. Keeps the messages whose end of data it accepted (250)."""

    def __init__(self, step, fault, replies=None):
        # replies: the first connection's reply (bytes) per step, for the scenarios.
        self.step, self.fault, self.replies = step, fault, replies or {}
        self.stall_seconds = 2.5
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.accepted = []  # one entry per message accepted: (connection number, data)
        self.connections = 0
        self.verbs = []  # the command verbs of every connection, in order
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
        if fault_step and at in self.replies:
            return self.replies[at]
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
        if self.fault == "stop-reading":
            # Reads nothing more for longer than the client's time-out (1 s), then
            # goes, so that the next connection is served.
            time.sleep(self.stall_seconds)
            raise _Stop()
        if self.fault == "early-5xx":
            # Refuses the message before it is complete and closes with data unread.
            conn.sendall(b"554 5.3.4 message refused early\r\n")
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raise _Stop()
        if self.fault in ("endless", "slow"):
            # Continuation lines without end, fast or one every 0.3 s (more than the
            # run's time-out of 1 s in all, less than it each); ends when the client goes.
            prefix = b"220" if at == "greeting" else b"250"
            for _ in range(5000 if self.fault == "endless" else 40):
                conn.sendall(prefix + b"-more of the same\r\n")
                if self.fault == "slow":
                    time.sleep(0.3)
            raise _Stop()
        return REPLY_FAULTS[self.fault]

    def _dialogue(self, conn, number, fault_step):
        f = conn.makefile("rb")
        greeting = b"220 fault.example ready\r\n"
        if self.fault == "multi" and fault_step == "greeting":
            greeting = multi_line(greeting)
        conn.sendall(self._fault_here(conn, "greeting", fault_step) or greeting)
        rcpt = 0
        while True:
            line = f.readline()
            if not line:
                return
            verb = line[:4].upper()
            self.verbs.append(verb.decode("ascii", "replace"))
            if verb == b"QUIT":
                conn.sendall(self._fault_here(conn, "QUIT", fault_step) or NORMAL["QUIT"])
                return
            if verb in (b"EHLO", b"HELO"):
                # The greeting step, whichever command greets, unless a scenario
                # answers EHLO on its own.
                step = "EHLO" if verb == b"EHLO" and "EHLO" in self.replies else "HELO"
            elif verb in (b"RSET", b"MAIL"):
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
            normal = NORMAL.get(step[:4], b"250 ok\r\n")
            if self.fault == "multi" and step == fault_step:
                normal = multi_line(normal)
            conn.sendall(reply or normal)
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
        normal = NORMAL["end-of-data"]
        if self.fault == "multi" and fault_step == "end-of-data":
            normal = multi_line(normal)
        reply = self._fault_here(conn, "end-of-data", fault_step) or normal
        conn.sendall(reply)
        if reply == normal:
            self.accepted.append((number, data))


def multi_line(reply):
    """The reply with two continuation lines of its code in front."""
    return reply[:3] + b"-first of three lines\r\n" + reply[:3] + b"-second of three\r\n" + reply


def result_problems(run, error_expected, refused="", missing=""):
    """What is wrong with [Result] after a run (the issue's keys, the old ones kept)."""
    r = result_section(run.ini)
    problems = []
    for key in ("MailRes", "ErrMes", "Status", "Error", "Refused", "Missing"):
        if key not in r:
            problems.append("[Result] %s missing" % key)
    if r.get("Status") != str(run.status):
        problems.append("[Result] Status=%r for exit %s" % (r.get("Status"), run.status))
    if bool(r.get("Error")) != error_expected:
        problems.append("[Result] Error=%r" % r.get("Error"))
    if r.get("Refused", "") != refused:
        problems.append("[Result] Refused=%r, want %r" % (r.get("Refused"), refused))
    if missing not in r.get("Missing", "") or (not missing and r.get("Missing")):
        problems.append("[Result] Missing=%r, want %r" % (r.get("Missing"), missing))
    return problems


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
            elif refused_text(step, fault) and 'Recipient "' not in first.stderr:
                problems.append("the refused recipient was not reported")
            problems += result_problems(first, want != 0, refused_text(step, fault))
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
        cells = [(s, f) for s in STEPS for f in FAULTS if s not in DATA_STEPS or f in FAULTS[:7]]
        cells += [(s, f) for s in DATA_STEPS for f in DATA_FAULTS]
        with ThreadPoolExecutor(max_workers=int(os.environ.get("TARVEX_FAULT_JOBS", "16"))) as pool:
            results = dict(zip(cells, pool.map(lambda c: run_cell(*c), cells)))
        # The table of exit statuses, for the log.
        faults = FAULTS + DATA_FAULTS
        print("\n%-12s" % "step" + "".join("%13s" % f for f in faults), file=sys.stderr)
        for s in STEPS:
            print("%-12s" % s + "".join("%13s" % (results[(s, f)][0] if (s, f) in results else "")
                                        for f in faults), file=sys.stderr)
        for (s, f), (_, problems) in results.items():
            with self.subTest(step=s, fault=f):
                self.assertEqual(problems, [])


# ---- scenarios -------------------------------------------------------------------------

MISSING_FIELD = "必須項目を記入してください"


def scenario_macro(ws, to="one@example.jp,two@example.jp", binds=(), sender="me@example.jp", user="fault-test"):
    lines = (["uname:", user] if user else []) + [
        "server:", "127.0.0.1", "to:", to, "subject:", "故障試験", "reply-to:", sender, "body:", "本文",
        "bind:"] + list(binds) + ["action:", "send"]
    return ws.write("scenario.txt", "".join(line + "\r\n" for line in lines).encode("cp932"))


def attachment_names(server):
    """The file names of the attachments of the first message the server accepted."""
    import email
    import email.policy
    for _, data in server.accepted[:1]:
        message = email.message_from_bytes(data, policy=email.policy.default)
        return [part.get_filename() for part in message.iter_attachments()]
    return []


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def as_nobody():
    os.setgid(65534)
    os.setuid(65534)


# Each row: name, the first connection's replies by step, how the settings file is
# made (None: the usual one), the macro's arguments, the exit status, whether the
# message is delivered, [Result] Refused and Missing, texts stderr must hold, and an
# extra check of the workspace after the run.
SCENARIOS = [
    dict(name="every recipient greylisted",
         replies={"RCPT1": b"450 4.2.0 greylisted\r\n", "RCPT2": b"450 4.2.0 greylisted\r\n",
                  "DATA": b"503 5.5.1 no valid recipients\r\n"},
         status=75, refused="one@example.jp 450 4.2.0 greylisted; two@example.jp 450 4.2.0 greylisted"),
    dict(name="every recipient refused for good",
         replies={"RCPT1": b"550 5.1.1 no such user\r\n", "RCPT2": b"553 5.1.3 bad address\r\n",
                  "DATA": b"554 5.5.1 no valid recipients\r\n"},
         status=69, refused="one@example.jp 550 5.1.1 no such user; two@example.jp 553 5.1.3 bad address"),
    dict(name="refused for good and greylisted",
         replies={"RCPT1": b"550 5.1.1 no such user\r\n", "RCPT2": b"450 4.2.0 greylisted\r\n",
                  "DATA": b"503 5.5.1 no valid recipients\r\n"},
         status=75, refused="one@example.jp 550 5.1.1 no such user; two@example.jp 450 4.2.0 greylisted"),
    dict(name="one recipient greylisted", replies={"RCPT1": b"450 4.2.0 greylisted\r\n"},
         status=0, delivered=True, refused="one@example.jp 450 4.2.0 greylisted"),
    dict(name="two-line reply to MAIL, then the message refused",
         replies={"MAIL": b"250-sender\r\n250 ok\r\n", "end-of-data": b"554 5.7.1 rejected as spam\r\n"},
         status=69, stderr=["554 5.7.1 rejected as spam"]),
    dict(name="two-line refusal of one recipient, then the message refused",
         replies={"RCPT1": b"550-5.1.1 no such\r\n550 5.1.1 user here\r\n",
                  "end-of-data": b"554 5.7.1 rejected as spam\r\n"},
         status=69, refused="one@example.jp 550 5.1.1 no such 5.1.1 user here",
         stderr=['Recipient "one@example.jp"', "554 5.7.1 rejected as spam"]),
    dict(name="bad Security value", settings="Security=bogus\r\n", status=78, connections=0,
         stderr=["Security", "bogus"]),
    dict(name="bad Auth value", settings="Auth=sometimes\r\n", status=78, connections=0, stderr=["Auth", "sometimes"]),
    dict(name="bad VerifyCert value", settings="VerifyCert=maybe\r\n", status=78, connections=0,
         stderr=["VerifyCert", "maybe"]),
    dict(name="port out of range", port=68188, status=78, connections=0, stderr=["Port", "68188"]),
    dict(name="settings file with a byte-order mark", bom=True, status=0, delivered=True,
         check=lambda run, server: [] if run.ini.count("[SMTP]") == 1 else ["[SMTP] twice: " + run.ini]),
    dict(name="sender of blanks", macro=dict(sender="   "), status=65, connections=0, errmes=MISSING_FIELD),
    dict(name="overlong address", macro=dict(to="x" * 1500 + "@example.jp"), status=65, connections=0,
         stderr=["To"]),
    dict(name="missing and non-regular attachments", binds=["missing.txt", "fifo", "ok.txt"], status=0,
         delivered=True, missing="missing.txt", stderr=["missing.txt", "fifo"],
         check=lambda run, server: [] if "fifo" in result_section(run.ini).get("Missing", "") else ["no fifo"]),
    dict(name="file name with a line break and a quote", binds=['say "hi"\nthere.txt'], status=0, delivered=True,
         check=lambda run, server: attachment_names(server) == ['say "hi"there.txt'] or
         ["attachment names %r" % attachment_names(server)]),
    # Replies that make no sense where they come: never a success.
    dict(name="DATA answered 250", replies={"DATA": b"250 ok\r\n"}, status=70,
         stderr=["Protocol error at DATA"]),
    dict(name="the end of data answered 354", replies={"end-of-data": b"354 go ahead\r\n"}, status=75,
         stderr=["sent without an answer"]),
    dict(name="EHLO not understood: HELO follows", replies={"EHLO": b"502 5.5.1 not implemented\r\n"}, status=0, delivered=True,
         check=lambda run, server: [] if server.verbs[:2] == ["EHLO", "HELO"] else ["verbs %r" % server.verbs]),
    dict(name="Hello=HELO keeps the old greeting", settings="Hello=HELO\r\n", status=0, delivered=True,
         check=lambda run, server: [] if server.verbs[0] == "HELO" else ["verbs %r" % server.verbs]),
    dict(name="Notify asked of a server without DSN", settings="[Mail]\r\nNotify=success,failure\r\n", status=0,
         delivered=True, stderr=["no delivery status notifications"]),
    dict(name="bad Notify value", settings="[Mail]\r\nNotify=always\r\n", status=78, connections=0,
         stderr=["Notify", "always"]),
    dict(name="bad Hello value", settings="Hello=hallo\r\n", status=78, connections=0, stderr=["Hello", "hallo"]),
    dict(name="HELO refused for now", replies={"HELO": b"450 4.7.1 try later\r\n"}, status=75,
         stderr=["450 4.7.1 try later"], not_stderr=["Authentication failed"]),
    dict(name="HELO refused for an empty user name", user="", macro=dict(user=""),
         replies={"HELO": b"501 5.5.4 HELO needs a name\r\n"},
         status=69, stderr=["HELO needs a user name"], not_stderr=["Authentication failed"]),
]


def run_scenario(row):
    problems = []
    server = FaultServer("-", None, row.get("replies"))
    try:
        with Workspace() as ws:
            tmp = ws.path("tmp")
            os.mkdir(tmp)
            ws.settings(port=row.get("port", server.port), user=row.get("user", "fault-test"))
            if row.get("settings"):
                with open(ws.ini, "ab") as f:
                    f.write(row["settings"].encode())
            if row.get("bom"):
                text = "[SMTP]\r\nPort=%d\r\n[ConInf]\r\nIPAdr=127.0.0.1\r\nUser=fault-test\r\n" % server.port
                ws.write("tarvex.INI", b"\xef\xbb\xbf" + text.encode())
            binds = []
            for name in row.get("binds", []):
                if name == "fifo":
                    os.mkfifo(ws.path(name))
                elif name != "missing.txt":
                    ws.write(name, b"attached\n")
                binds.append(ws.path(name))
            macro_path = scenario_macro(ws, binds=binds, **row.get("macro", {}))
            run = ws.run(args=["--timeout", "2", macro_path], env={"TMPDIR": tmp}, timeout=60)
            if run.status != row["status"]:
                problems.append("exit %s, want %s; stderr: %s" % (run.status, row["status"], run.stderr.strip()[:300]))
            delivered = any(n == 1 for n, _ in server.accepted)
            if delivered != row.get("delivered", False):
                problems.append("delivered: %s" % delivered)
            if "connections" in row and server.connections != row["connections"]:
                problems.append("%d connections, want %d" % (server.connections, row["connections"]))
            for text in row.get("stderr", []):
                if text not in run.stderr:
                    problems.append("stderr lacks %r: %s" % (text, run.stderr.strip()[:300]))
            for text in row.get("not_stderr", []):
                if text in run.stderr:
                    problems.append("stderr says %r" % text)
            if run.status != 0 and "Success" in run.stderr:
                problems.append("said Success")
            problems += result_problems(run, run.status != 0, row.get("refused", ""), row.get("missing", ""))
            if row.get("errmes"):
                r = result_section(run.ini)
                if (r.get("ErrMes"), r.get("Error")) != (row["errmes"], row["errmes"]):
                    problems.append("ErrMes=%r Error=%r" % (r.get("ErrMes"), r.get("Error")))
            if os.listdir(tmp):
                problems.append("temporary files left: %s" % os.listdir(tmp))
            if row.get("check"):
                found = row["check"](run, server)
                problems += [] if found is True else found
            if server.error:
                problems.append("server: " + server.error)
    finally:
        server.close()
    return problems


class Scenarios(unittest.TestCase):
    def test_each_row(self):
        with ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(run_scenario, SCENARIOS))
        for row, problems in zip(SCENARIOS, results):
            with self.subTest(row["name"]):
                self.assertEqual(problems, [])

    def test_read_only_settings_file_stops_before_sending(self):
        server = FaultServer("-", None)
        try:
            with Workspace() as ws:
                ws.settings(port=server.port, user="fault-test")
                before = read_bytes(ws.ini)
                macro_path = scenario_macro(ws)
                os.chmod(ws.dir, 0o755)
                os.chmod(ws.ini, 0o444)
                os.chmod(macro_path, 0o644)
                # Root may write any file: the run is made as an unprivileged user.
                proc = subprocess.run([BINARY, "--headless", macro_path], capture_output=True, timeout=60,
                                      env=dict(os.environ, TARVEX_INI=ws.ini, TMPDIR="/tmp"),
                                      preexec_fn=as_nobody if os.geteuid() == 0 else None)
                self.assertEqual(proc.returncode, 73, proc.stderr)
                self.assertEqual(server.connections, 0)
                self.assertEqual(read_bytes(ws.ini), before)
        finally:
            server.close()

    def test_full_file_system_after_acceptance_exits_0(self):
        server = FaultServer("-", None)
        with Workspace() as ws:
            mnt = ws.path("small")
            os.mkdir(mnt)
            if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tarvex-full", mnt],
                                                   capture_output=True).returncode != 0:
                server.close()
                self.skipTest("no small file system could be mounted here")
            try:
                ini = os.path.join(mnt, "tarvex.INI")
                text = "[ConInf]\r\nIPAdr=127.0.0.1\r\nUser=fault-test\r\n[SMTP]\r\nPort=%d\r\n" % server.port
                with open(ini, "wb") as f:
                    f.write(text.encode())
                subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(mnt, "fill"), "bs=4k"], capture_output=True)
                macro_path = scenario_macro(ws)
                run = subprocess.run([BINARY, "--headless", macro_path], capture_output=True, timeout=60,
                                     env=dict(os.environ, TARVEX_INI=ini, TMPDIR=ws.dir))
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertTrue(any(n == 1 for n, _ in server.accepted))
                self.assertIn(b"tarvex.INI", run.stderr)
                self.assertEqual(read_bytes(ini), text.encode())
            finally:
                subprocess.run(["umount", mnt], capture_output=True)
                server.close()

    def test_sigterm_during_a_large_send(self):
        server = FaultServer("mid-body", "stop-reading")
        server.stall_seconds = 20
        try:
            with Workspace() as ws:
                tmp = ws.path("tmp")
                os.mkdir(tmp)
                ws.settings(port=server.port, user="fault-test")
                big = ws.write("big.bin", os.urandom(24 << 20))
                macro_path = scenario_macro(ws, binds=[big])
                proc = subprocess.Popen([BINARY, "--headless", macro_path], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE,
                                        env=dict(os.environ, TARVEX_INI=ws.ini, TMPDIR=tmp))
                # Until the data transfer runs (the server stops reading in the body and
                # the program's socket fills up).
                deadline = time.time() + 30
                while time.time() < deadline and server.connections == 0:
                    time.sleep(0.05)
                time.sleep(3.0)
                proc.send_signal(signal.SIGTERM)
                _, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, 75, err)
                self.assertEqual(os.listdir(tmp), [])
                r = result_section(read_bytes(ws.ini).decode("cp932"))
                self.assertEqual(r.get("Status"), "75")
                self.assertIn("interrupted", r.get("Error", ""))
        finally:
            server.close()


if __name__ == "__main__":
    unittest.main()
