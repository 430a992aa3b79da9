"""Shared pieces of the end-to-end tests: a real SMTP server (aiosmtpd) that keeps
what arrives, macro files written in CP932, and a headless run of the program."""

import email
import email.policy
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

from aiosmtpd.controller import Controller

BINARY = os.environ.get("TARVEX_BINARY", os.path.join(os.path.dirname(__file__), "..", "..", "build", "tarvex"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Received:
    def __init__(self, envelope):
        self.mail_from = envelope.mail_from
        self.rcpt_tos = list(envelope.rcpt_tos)
        self.raw = envelope.original_content or envelope.content
        self.message = email.message_from_bytes(self.raw, policy=email.policy.default)


class _Keeper:
    def __init__(self):
        self.messages = []
        self.quits = 0
        self.arrived = threading.Condition()

    async def handle_DATA(self, server, session, envelope):
        with self.arrived:
            self.messages.append(Received(envelope))
            self.arrived.notify_all()
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        with self.arrived:
            self.quits += 1
            self.arrived.notify_all()
        return "221 Bye"


class SmtpServer:
    """An aiosmtpd server on 127.0.0.1 that keeps every message it accepts."""

    def __init__(self):
        self.keeper = _Keeper()
        self.port = free_port()
        self.controller = Controller(self.keeper, hostname="127.0.0.1", port=self.port, decode_data=False)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()

    @property
    def messages(self):
        return self.keeper.messages


def cp932_macro(lines):
    """A macro file's bytes: each line in CP932, ended by CR LF."""
    return "".join(line + "\r\n" for line in lines).encode("cp932")


def result_section(ini):
    """The keys of [Result] in the settings file's text."""
    keys, inside = {}, False
    for line in (ini or "").splitlines():
        if line.startswith("["):
            inside = line.strip() == "[Result]"
        elif inside and "=" in line:
            k, v = line.split("=", 1)
            keys.setdefault(k.strip(), v.strip())
    return keys


class Run:
    def __init__(self, proc, ini_path):
        self.status = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr.decode("utf-8", "replace")
        self.ini = None
        if os.path.exists(ini_path):
            with open(ini_path, "rb") as f:
                data = f.read()
                # A byte-order mark the caller's editor put there stays; the text is behind it.
                self.ini = data[3:].decode("cp932") if data.startswith(b"\xef\xbb\xbf") else data.decode("cp932")


class Workspace:
    """A temporary folder with a settings file of its own for one run of the program."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tarvex-e2e-")
        self.ini = os.path.join(self.dir, "tarvex.INI")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def settings(self, host="127.0.0.1", port=25, sender="", user="tarvex-test"):
        text = "[ConInf]\r\nIPAdr=%s\r\nMailAdr=%s\r\nUser=%s\r\n[SMTP]\r\nPort=%d\r\n" % (host, sender, user, port)
        self.write("tarvex.INI", text.encode("cp932"))

    def run(self, macro_lines=None, args=None, timeout=60, env=None):
        argv = [BINARY, "--headless"]
        if macro_lines is not None:
            argv.append(self.write("macro.txt", cp932_macro(macro_lines)))
        argv += args or []
        # English on stderr, whatever the caller's locale (a test names another in env).
        e = dict(os.environ, TARVEX_INI=self.ini, TMPDIR=self.dir, LC_ALL="", LC_MESSAGES="", LANG="C.UTF-8")
        e.update(env or {})
        proc = subprocess.run(argv, capture_output=True, timeout=timeout, cwd=self.dir, env=e)
        return Run(proc, self.ini)


class ServerCase(unittest.TestCase):
    """A test with a fresh SMTP server and a workspace whose settings point at it."""

    def setUp(self):
        self.server = SmtpServer().__enter__()
        self.ws = Workspace().__enter__()
        self.ws.settings(port=self.server.port)

    def tearDown(self):
        self.ws.__exit__(None, None, None)
        self.server.__exit__(None, None, None)
