"""Secure submission against a real SMTP server (aiosmtpd): STARTTLS on a plain port,
TLS from the first byte, AUTH PLAIN and LOGIN, certificate checks, a large attachment
through TLS, and the exit statuses of every refusal. Certificates are made here with
the openssl command line."""

import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Received, Workspace, free_port  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult, LoginPassword  # noqa: E402

USER, PASSWORD = "user@example.jp", "秘密-pass"


def make_cert(folder, name, cn, san):
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + cn,
                    "-addext", "subjectAltName=" + san, "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


class Keeper:
    """Keeps every message with how it came: over TLS or not, authenticated or not,
    the EHLO/HELO argument, and the mechanisms and logins tried."""

    def __init__(self):
        self.messages = []
        self.attempts = []

    def authenticate(self, server, session, envelope, mechanism, data):
        ok = isinstance(data, LoginPassword) and data.login == USER.encode() and \
            data.password == PASSWORD.encode("cp932")
        self.attempts.append((mechanism, ok))
        return AuthResult(success=ok, handled=False)

    async def handle_DATA(self, server, session, envelope):
        got = Received(envelope)
        got.tls = server.transport.get_extra_info("ssl_object") is not None
        got.authenticated = bool(session.authenticated)
        got.hello = session.host_name
        self.messages.append(got)
        return "250 OK"


class Server:
    """An aiosmtpd server on 127.0.0.1: mode "starttls" (plain port offering STARTTLS,
    which it requires), "tls" (TLS from the first byte) or "plain" (no TLS at all)."""

    def __init__(self, mode, cert, exclude=(), auth_required=False):
        self.keeper = Keeper()
        self.port = free_port()
        kwargs = dict(authenticator=self.keeper.authenticate, auth_exclude_mechanism=list(exclude),
                      auth_required=auth_required, data_size_limit=0)
        if mode != "plain":
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ctx.load_cert_chain(*cert)
            if mode == "starttls":
                kwargs.update(tls_context=ctx, require_starttls=True)
            else:
                # The server cannot tell that the socket is already encrypted; AUTH is
                # still only ever sent inside TLS here.
                kwargs.update(ssl_context=ctx, auth_require_tls=False)
        self.controller = Controller(self.keeper, hostname="127.0.0.1", port=self.port, **kwargs)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def macro(server="127.0.0.1", binds=(), password=PASSWORD):
    lines = ["uname:", USER, "upwd:", password, "server:", server, "to:", "taro@example.jp",
             "subject:", "TLS", "reply-to:", "me@example.jp", "body:", "暗号化された本文"]
    if binds:
        lines += ["bind:", *binds]
    return lines + ["action:", "send", "end"]


class SecureSubmission(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="tarvex-tls-")
        cls.good = make_cert(cls.certs, "good", "localhost", "DNS:localhost,IP:127.0.0.1")
        cls.other = make_cert(cls.certs, "other", "other.example", "DNS:other.example")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def run_with(self, server, security, auth="none", verify=1, cafile=None, host="127.0.0.1", binds=(),
                 password=PASSWORD):
        with Workspace() as ws:
            text = ("[ConInf]\r\nMailAdr=me@example.jp\r\n[SMTP]\r\nPort=%d\r\nSecurity=%s\r\nAuth=%s\r\n"
                    "VerifyCert=%d\r\nCAFile=%s\r\n") % (server.port, security, auth, verify,
                                                        cafile if cafile is not None else self.good[0])
            ws.write("tarvex.INI", text.encode("cp932"))
            return ws.run(macro(host, [ws.write(n, d) for n, d in binds], password))

    def test_delivered_inside_tls(self):
        # mode, server options, Security, Auth, host, mechanism expected (None: no AUTH)
        cases = [
            ("starttls", {}, "starttls", "none", "localhost", None),
            ("starttls", {}, "STARTTLS", "auto", "127.0.0.1", "PLAIN"),
            ("starttls", {"exclude": ["PLAIN"], "auth_required": True}, "starttls", "auto", "localhost", "LOGIN"),
            ("tls", {}, "tls", "none", "127.0.0.1", None),
            ("tls", {"auth_required": True}, "tls", "auto", "localhost", "PLAIN"),
            ("tls", {"exclude": ["PLAIN"]}, "tls", "auto", "127.0.0.1", "LOGIN"),
        ]
        for mode, options, security, auth, host, mechanism in cases:
            name = "%s %s %s %s" % (mode, security, auth, options)
            with self.subTest(name), Server(mode, self.good, **options) as server:
                run = self.run_with(server, security, auth, host=host)
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(len(server.keeper.messages), 1)
                got = server.keeper.messages[0]
                self.assertTrue(got.tls)
                self.assertEqual(got.authenticated, mechanism is not None)
                self.assertEqual(server.keeper.attempts, [(mechanism, True)] if mechanism else [])
                # EHLO names this machine, never the user identifier.
                self.assertNotEqual(got.hello, USER)
                self.assertTrue("." in got.hello or got.hello.startswith("["), got.hello)
                self.assertIn("暗号化された本文", got.message.get_content())
                self.assertIn("Security=%s\r\nAuth=%s\r\n" % (security, auth), run.ini)

    def test_refusals_and_their_exit_statuses(self):
        # mode, server options, Security, Auth, settings, exit status, text in stderr
        cases = [
            ("starttls", {}, "starttls", "auto", {"password": "wrong"}, 69, "Authentication failed"),
            ("tls", {}, "tls", "auto", {"password": "wrong"}, 69, "Authentication failed"),
            ("plain", {}, "starttls", "none", {}, 69, "STARTTLS not offered by the server"),
            ("starttls", {"exclude": ["PLAIN", "LOGIN"]}, "starttls", "auto", {}, 69,
             "AUTH PLAIN or LOGIN not offered by the server"),
            ("starttls", {}, "starttls", "none", {"cafile": ""}, 69,
             "Server certificate not trusted: self-signed certificate"),
            ("tls", {}, "tls", "none", {"cafile": ""}, 69, "Server certificate not trusted: self-signed certificate"),
            ("tls", {}, "tls", "none", {"cafile": "other", "other": True}, 69,
             "Server certificate is for another host, not 127.0.0.1"),
            ("plain", {}, "tls", "none", {}, 69, "TLS handshake failed"),
            ("plain", {}, "none", "auto", {}, 70, "SMTP AUTH needs Security starttls or tls"),
            ("plain", {}, "startls", "none", {}, 78, 'Unknown [SMTP] Security value "startls"'),
        ]
        for mode, options, security, auth, extra, status, text in cases:
            name = "%s %s %s %s" % (mode, security, auth, extra)
            cert = self.other if extra.get("other") else self.good
            cafile = {"": "", "other": self.other[0]}.get(extra.get("cafile"), self.good[0])
            with self.subTest(name), Server(mode, cert, **options) as server:
                run = self.run_with(server, security, auth, cafile=cafile, password=extra.get("password", PASSWORD))
                self.assertEqual(run.status, status, run.stderr)
                self.assertIn(text, run.stderr)
                self.assertEqual(server.keeper.messages, [])
                if "password" in extra:
                    self.assertEqual([ok for _, ok in server.keeper.attempts], [False])

    def test_certificate_checks(self):
        # VerifyCert 0 accepts the untrusted and the other host's certificate alike.
        for cert in (self.good, self.other):
            with self.subTest(cert[0]), Server("tls", cert) as server:
                run = self.run_with(server, "tls", verify=0, cafile="")
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(len(server.keeper.messages), 1)
        # The other host's certificate is trusted through CAFile and valid for its own name.
        with Server("tls", self.other) as server:
            run = self.run_with(server, "tls", cafile=self.other[0], host="localhost")
            self.assertEqual(run.status, 69, run.stderr)
            self.assertIn("for another host, not localhost", run.stderr)

    def test_five_megabyte_attachment_through_tls(self):
        data = os.urandom(5 * 1024 * 1024)
        for mode in ("starttls", "tls"):
            with self.subTest(mode), Server(mode, self.good) as server:
                run = self.run_with(server, mode, "auto", binds=[("big.bin", data)])
                self.assertEqual(run.status, 0, run.stderr)
                got = server.keeper.messages[0]
                parts = [p for p in got.message.walk() if not p.is_multipart()]
                self.assertEqual(parts[1].get_filename(), "big.bin")
                self.assertEqual(parts[1].get_payload(decode=True), data)

    def test_none_keeps_the_plain_dialogue(self):
        # The settings of an old file: no TLS, HELO with the user identifier, no AUTH.
        with Server("plain", self.good) as server, Workspace() as ws:
            ws.write("tarvex.INI", ("[ConInf]\r\nMailAdr=me@example.jp\r\n[SMTP]\r\nPort=%d\r\n" % server.port)
                     .encode("cp932"))
            run = ws.run(macro())
            self.assertEqual(run.status, 0, run.stderr)
            got = server.keeper.messages[0]
            self.assertEqual((got.tls, got.authenticated, got.hello), (False, False, USER))
            self.assertIn("Security=none\r\nAuth=none\r\nVerifyCert=1\r\nCAFile=\r\nPasswordCommand=\r\n", run.ini)


if __name__ == "__main__":
    unittest.main(verbosity=2)
