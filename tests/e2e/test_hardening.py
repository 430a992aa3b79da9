"""A run under stress from outside: a termination signal in every phase of a send,
a settings folder locked by another process, a core dump provoked while connected,
a symbolic link of another user in a shared sticky folder, a settings file shared
through its group, and twenty runs at once on one settings file, each with a result
file of its own.

The signal table runs one case per phase: a server (or a lock, or a password
command) holds the run in that phase, SIGTERM comes, and the run must end within a
second with exit status 75, its temporary folder empty and [Result] Status=75 saved.
The host lookup case needs a network and mount namespace of its own (a resolver
that never answers) and is skipped where namespaces cannot be made."""

import contextlib
import fcntl
import os
import pwd
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import BINARY, SmtpServer, Workspace, cp932_macro, free_port, result_section  # noqa: E402

PASSWORD = "Secret-Pwd-4711"
SLEEP = "60.4711"  # the password command's sleep, a length no other process uses


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("cp932", "replace")


def make_cert(folder):
    cert, key = os.path.join(folder, "c.pem"), os.path.join(folder, "c.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


class StallServer:
    """One connection on loopback, held in one phase: 'greeting' (no greeting),
    'tls' (no answer to the client's hello), 'auth' (no answer to AUTH, inside TLS),
    'data' (reads the data at about 300 KB/s), 'reply' (no answer to the final '.').
    reached is set once the run is in that phase."""

    def __init__(self, phase, cert=None):
        self.phase, self.cert = phase, cert
        self.reached = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.sock.close()
        self.thread.join(5)

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(30)
        try:
            if self.phase == "auth":
                ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
                ctx.load_cert_chain(*self.cert)
                conn = ctx.wrap_socket(conn, server_side=True)
            self._dialogue(conn)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def _drain(self, conn, pause=0.0):
        while conn.recv(16384):
            time.sleep(pause)

    def _dialogue(self, conn):
        if self.phase in ("greeting", "tls"):
            self.reached.set()
            return self._drain(conn)
        f = conn.makefile("rb")
        conn.sendall(b"220 stall.example\r\n")
        for line in f:
            word = line[:4].upper()
            if word in (b"EHLO", b"HELO"):
                conn.sendall(b"250-stall.example\r\n250 AUTH PLAIN LOGIN\r\n")
            elif word == b"AUTH":
                self.reached.set()
                return self._drain(conn)
            elif word == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                if self.phase == "data":
                    got = 0
                    while True:
                        chunk = f.read1(16384)
                        if not chunk:
                            return
                        got += len(chunk)
                        if got > 256 * 1024:
                            self.reached.set()
                        time.sleep(0.05)
                tail = b""
                while not tail.endswith(b"\r\n.\r\n"):
                    chunk = f.read1(65536)
                    if not chunk:
                        return
                    tail = (tail + chunk)[-5:]
                self.reached.set()
                return self._drain(conn)
            elif word == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")


class FullBacklog:
    """A listener whose queue is full: a connect to it waits for ever."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(0)
        self.port = self.sock.getsockname()[1]
        self.clients = []
        for _ in range(4):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(("127.0.0.1", self.port))
            self.clients.append(c)
        time.sleep(0.2)
        self.reached = threading.Event()

    def close(self):
        for c in self.clients + [self.sock]:
            c.close()


def settings_text(port, host="127.0.0.1", security="none", auth="none", command=""):
    return ("[ConInf]\r\nIPAdr=%s\r\nMailAdr=me@example.jp\r\nUser=hard-test\r\nPwd=%s\r\n[SMTP]\r\nPort=%d\r\n"
            "Security=%s\r\nAuth=%s\r\nVerifyCert=0\r\nPasswordCommand=%s\r\n"
            % (host, PASSWORD, port, security, auth, command)).encode("cp932")


def send_macro(ws, binds=(), host="127.0.0.1"):
    lines = ["uname:", "hard-test", "server:", host, "to:", "one@example.jp", "subject:", "試験",
             "reply-to:", "me@example.jp", "body:", "本文", "bind:"] + list(binds) + ["action:", "send"]
    return ws.write("macro.txt", cp932_macro(lines))


def start(ws, macro, args=(), prefix=(), env=None):
    tmp = ws.path("tmp")
    os.makedirs(tmp, exist_ok=True)
    os.chmod(tmp, 0o1777)  # also for a run as another user
    e = dict(os.environ, TARVEX_INI=ws.ini, TMPDIR=tmp)
    e.update(env or {})
    return subprocess.Popen(list(prefix) + [BINARY, "--headless"] + list(args) + [macro], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=e, cwd=ws.dir)


class SignalInEveryPhase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="tarvex-hard-")
        cls.cert = make_cert(cls.certs)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.certs])

    def terminate_and_check(self, ws, proc, reached, saved=True, wait=10):
        self.assertTrue(reached(wait), "the run never reached the phase")
        time.sleep(0.2)
        self.assertIsNone(proc.poll(), "the run ended before the signal")
        sent = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        try:
            _, err = proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            self.fail("still running 10 s after SIGTERM")
        took = time.monotonic() - sent
        err = err.decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 75, err)
        self.assertLess(took, 1.0, "exit %.2f s after SIGTERM" % took)
        self.assertEqual(os.listdir(ws.path("tmp")), [])
        self.assertNotIn(PASSWORD, err)
        if saved:
            r = result_section(read_text(ws.ini))
            self.assertEqual(r.get("Status"), "75")
            self.assertIn("interrupted by SIGTERM", r.get("Error", ""))
        return err

    def run_phase(self, phase):
        with Workspace() as ws:
            binds = []
            server = None
            if phase == "connect":
                server = FullBacklog()
            elif phase in ("greeting", "tls", "auth", "data", "reply"):
                server = StallServer(phase, self.cert)
            port = server.port if server else 25
            security = "tls" if phase in ("tls", "auth") else "none"
            auth = "plain" if phase in ("auth", "password") else "none"
            command = ""
            if phase == "password":
                security = "tls"
                command = "touch %s; exec sleep %s" % (ws.path("started"), SLEEP)
            if phase == "data":
                binds = [ws.write("big.bin", os.urandom(8 << 20))]
            ws.write("tarvex.INI", settings_text(port, security=security, auth=auth, command=command))
            macro = send_macro(ws, binds)
            lock = None
            if phase == "lock":
                lock = os.open(ws.dir, os.O_RDONLY | os.O_DIRECTORY)
                fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                proc = start(ws, macro)
                if phase == "password":
                    reached = lambda t: wait_for(lambda: os.path.exists(ws.path("started")), t)  # noqa: E731
                elif phase in ("lock", "connect"):
                    reached = lambda t: time.sleep(1.0) is None  # noqa: E731
                else:
                    reached = server.reached.wait
                err = self.terminate_and_check(ws, proc, reached, saved=phase != "lock")
                if phase == "password":
                    # The command's group went with the run.
                    self.assertTrue(wait_for(lambda: not sleepers(), 0.5), "the password command runs on")
                if phase == "lock":
                    self.assertIn(ws.dir, err)
            finally:
                if lock is not None:
                    os.close(lock)
                if server:
                    server.close()

    def test_every_phase(self):
        for phase in ["connect", "greeting", "tls", "auth", "password", "lock", "data", "reply"]:
            with self.subTest(phase):
                self.run_phase(phase)

    def test_host_lookup(self):
        with Workspace() as ws:
            resolv = ws.write("resolv.conf", b"nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
            ws.write("tarvex.INI", settings_text(25, host="mail.stall.tarvex.test"))
            macro = send_macro(ws, host="mail.stall.tarvex.test")
            marker = ws.path("asked")
            # A resolver that takes the question and never answers, in a namespace
            # where 127.0.0.1:53 is free and /etc/resolv.conf points at it.
            listener = ("import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                        "s.bind(('127.0.0.1',53));open(sys.argv[1],'w').write('ready');s.settimeout(20);s.recv(512);"
                        "open(sys.argv[1],'a').write('asked');import time;time.sleep(5)")
            shell = ("ip link set lo up && mount --bind %s /etc/resolv.conf && "
                     "(/usr/bin/python3 -c \"%s\" %s </dev/null >/dev/null 2>&1 &) && while [ ! -s %s ]; do sleep 0.05; done; exec \"$@\""
                     % (resolv, listener, marker, marker))
            probe = subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True)
            if probe.returncode != 0:
                self.skipTest("no network and mount namespace can be made here (unshare: %s)"
                              % probe.stderr.decode().strip())
            proc = start(ws, macro, prefix=["unshare", "--net", "--mount", "sh", "-c", shell, "sh"])
            try:
                self.terminate_and_check(ws, proc, lambda t: wait_for(
                    lambda: os.path.exists(marker) and "asked" in read_text(marker), t))
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.communicate()


def wait_for(cond, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


def sleepers():
    """True while the password command of the table (its sleep) still runs."""
    out = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
    return any(line.strip() == "sleep " + SLEEP for line in out.splitlines())


@contextlib.contextmanager
def held_in_greeting():
    """A workspace whose settings point at a server that never greets, with a send
    macro: (server, workspace, macro)."""
    server = StallServer("greeting")
    try:
        with Workspace() as ws:
            ws.write("tarvex.INI", settings_text(server.port))
            yield server, ws, send_macro(ws)
    finally:
        server.close()


class PasswordCommandLimit(unittest.TestCase):
    def test_the_time_out_bounds_the_password_command(self):
        with Workspace() as ws:
            ws.write("tarvex.INI", settings_text(25, security="tls", auth="plain",
                                                 command="sleep %s & exec sleep %s" % (SLEEP, SLEEP)))
            proc = start(ws, send_macro(ws), args=["--timeout", "0.5"])
            _, err = proc.communicate(timeout=30)
            err = err.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 78, err)
            self.assertIn("PasswordCommand did not finish within 500 ms", err)
            # Both sleeps of its group went with it.
            self.assertTrue(wait_for(lambda: not sleepers(), 1.0), "the password command runs on")


class StartedProgramsEnvironment(unittest.TestCase):
    def test_a_large_macro_leaves_the_password_command_the_callers_environment(self):
        # A macro of several megabytes once made the program start itself anew with
        # a heap setting in its environment, which every program it started inherited.
        with Workspace() as ws:
            seen = ws.path("seen.txt")
            ws.write("tarvex.INI", settings_text(free_port(), security="tls", auth="plain",
                                                 command="env > %s; echo secret" % seen))
            lines = ["uname:", "hard-test", "server:", "127.0.0.1", "to:", "one@example.jp", "subject:", "試験",
                     "reply-to:", "me@example.jp", "body:"] + ["本文" * 500] * 5000 + ["action:", "send"]
            macro = ws.write("macro.txt", cp932_macro(lines))
            self.assertGreater(os.path.getsize(macro), 5 << 20)
            env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
            proc = subprocess.Popen([BINARY, "--headless", macro], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=dict(env, TARVEX_INI=ws.ini), cwd=ws.dir)
            proc.communicate(timeout=60)
            with open(seen) as f:
                names = [line.split("=", 1)[0] for line in f]
            self.assertIn("TARVEX_INI", names)  # the command ran with the caller's environment
            self.assertNotIn("GLIBC_TUNABLES", names)


class Settings(unittest.TestCase):
    def test_a_lock_held_by_another_process_stops_the_run_before_sending(self):
        with held_in_greeting() as (server, ws, macro):
            before = read_text(ws.ini)
            lock = os.open(ws.dir, os.O_RDONLY | os.O_DIRECTORY)
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                proc = start(ws, macro, args=["--result", ws.path("r.ini")])
                _, err = proc.communicate(timeout=30)
            finally:
                os.close(lock)
            err = err.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 73, err)
            self.assertIn(ws.ini, err)
            self.assertIn("locked by another process", err)
            self.assertFalse(server.reached.is_set(), "connected although the result could not be saved")
            self.assertEqual(read_text(ws.ini), before)
            # The caller's own result is there all the same.
            r = result_section(read_text(ws.path("r.ini")))
            self.assertEqual(r.get("Status"), "73")
            self.assertIn("locked by another process", r.get("Error"))

    def test_a_lock_taken_after_the_mail_was_accepted_is_said_and_the_run_exits_0(self):
        with SmtpServer() as server, Workspace() as ws:
            ws.write("tarvex.INI", settings_text(server.port))
            before = read_text(ws.ini)
            proc = start(ws, send_macro(ws), args=["--result", ws.path("r.ini")])
            # The lock is taken once the server has the mail (the run then pauses a second).
            with server.keeper.arrived:
                self.assertTrue(server.keeper.arrived.wait_for(lambda: server.messages, 30))
            lock = os.open(ws.dir, os.O_RDONLY | os.O_DIRECTORY)
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                _, err = proc.communicate(timeout=30)
            finally:
                os.close(lock)
            err = err.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 0, err)
            self.assertIn(ws.ini, err)
            self.assertIn("locked by another process", err)
            self.assertIn("(the mail was sent)", err)
            self.assertEqual(read_text(ws.ini), before)
            # The caller's own result says what the exit status says.
            r = result_section(read_text(ws.path("r.ini")))
            self.assertEqual((r.get("Status"), r.get("Error")), ("0", ""))

    def test_no_core_file_holds_the_password(self):
        # The run is held in the greeting (connected, the password read), then hit
        # by SIGSEGV under an unlimited core limit in a folder where a core file
        # would land with the default pattern.
        with held_in_greeting() as (server, ws, macro):
            # (A sanitized build leaves the signal to the kernel as a normal one does.)
            proc = start(ws, macro, prefix=["sh", "-c", "ulimit -c unlimited && exec \"$@\"", "sh"],
                         env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0"})
            self.assertTrue(server.reached.wait(10))
            with open("/proc/%d/limits" % proc.pid) as f:
                core = [line for line in f if line.startswith("Max core file size")][0]
            self.assertEqual(core.split()[4:6], ["0", "0"], core)
            proc.send_signal(signal.SIGSEGV)
            proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, -signal.SIGSEGV)
            for name in os.listdir(ws.dir):
                if name.startswith("core"):
                    with open(ws.path(name), "rb") as f:
                        self.assertNotIn(PASSWORD.encode(), f.read(), name)

    def test_a_foreign_link_in_a_sticky_folder_is_not_followed(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make a link of another user")
        with Workspace() as ws:
            shared = ws.path("shared")
            os.mkdir(shared)
            os.chmod(shared, 0o1777)
            target = ws.write("root-owned.conf", b"keep me\n")
            link = os.path.join(shared, "tarvex.INI")
            os.symlink(target, link)
            os.lchown(link, 65534, 65534)
            macro = send_macro(ws)
            proc = start(ws, macro, env={"TARVEX_INI": link})
            _, err = proc.communicate(timeout=30)
            err = err.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 73, err)
            self.assertIn("symbolic link of another user", err)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"keep me\n")
            # The runner's own link in the same folder is followed as before.
            os.lchown(link, 0, 0)
            ws.write("root-owned.conf", settings_text(1))
            proc = start(ws, macro, args=["--no-send", "--dump", ws.path("d.eml")], env={"TARVEX_INI": link})
            _, err = proc.communicate(timeout=30)
            self.assertEqual(proc.returncode, 0, err)
            self.assertEqual(result_section(read_text(target)).get("Status"), "0")

    def test_a_group_shared_file_keeps_its_owner(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run as two other users")
        owner, runner, group = 65534, 65533, 65532
        with Workspace() as ws:
            ws.write("tarvex.INI", settings_text(1))
            os.chown(ws.ini, owner, group)
            os.chmod(ws.ini, 0o660)
            macro = send_macro(ws)
            os.chmod(macro, 0o644)
            os.chmod(ws.dir, 0o777)
            proc = start(ws, macro, args=["--no-send", "--dump", ws.path("d.eml")],
                         prefix=["setpriv", "--reuid=%d" % runner, "--regid=%d" % runner,
                                 "--groups=%d" % group, "--"])
            _, err = proc.communicate(timeout=30)
            self.assertEqual(proc.returncode, 0, err)
            st = os.stat(ws.ini)
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (owner, group, 0o660))
            self.assertEqual(result_section(read_text(ws.ini)).get("Status"), "0")


class ResultFile(unittest.TestCase):
    def test_twenty_runs_at_once_each_read_their_own_status(self):
        with Workspace() as ws:
            ws.write("tarvex.INI", settings_text(1))
            good = send_macro(ws)
            # Every third run fails its send (no subject): exit 65.
            bad = ws.write("bad.txt", cp932_macro(["to:", "one@example.jp", "reply-to:", "me@example.jp",
                                                   "body:", "x", "action:", "send"]))
            procs = []
            for i in range(20):
                args = ["--no-send", "--dump", ws.path("d%d.eml" % i), "--result", ws.path("r%d.ini" % i)]
                procs.append(start(ws, bad if i % 3 == 0 else good, args=args))
            for i, proc in enumerate(procs):
                _, err = proc.communicate(timeout=60)
                want = 65 if i % 3 == 0 else 0
                with self.subTest(run=i):
                    self.assertEqual(proc.returncode, want, err)
                    r = result_section(read_text(ws.path("r%d.ini" % i)))
                    self.assertEqual(r.get("Status"), str(want))
                    self.assertEqual(set(r), {"MailRes", "ErrMes", "Status", "Error", "Refused", "Missing", "Warning"})
            self.assertEqual(sorted(n for n in os.listdir(ws.dir) if n.startswith(".")), [])
            self.assertIn(result_section(read_text(ws.ini)).get("Status"), ("0", "65"))

    def test_a_result_file_that_cannot_be_written_stops_the_run_first(self):
        with held_in_greeting() as (server, ws, macro):
            os.makedirs(ws.path("a-folder"))
            for name in ("missing-folder/r.ini", "a-folder"):
                proc = start(ws, macro, args=["--result", ws.path(name)])
                _, err = proc.communicate(timeout=30)
                err = err.decode("utf-8", "replace")
                with self.subTest(name):
                    self.assertEqual(proc.returncode, 73, err)
                    self.assertIn(ws.path(name), err)
                    self.assertFalse(os.path.exists(ws.path("missing-folder")))
            self.assertFalse(server.reached.is_set())


if __name__ == "__main__":
    unittest.main()
