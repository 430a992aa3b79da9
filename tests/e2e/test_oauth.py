"""OAuth 2.0 submission against a real SMTP server (aiosmtpd with handlers for the
XOAUTH2 and OAUTHBEARER mechanisms): the exact initial response, the server's error
challenge and the client's answer to it, a refused token, the token taken from a
password command, a failing password command, and the token kept out of the trace,
stderr and the settings file."""

import base64
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Workspace  # noqa: E402
from test_tls import USER, Keeper, Server, macro, make_cert  # noqa: E402

from aiosmtpd.smtp import MISSING, AuthResult  # noqa: E402

TOKEN = "ya29.a0-T0ken_with.dots-and~tilde"
ERROR_CHALLENGE = b'{"status":"401","schemes":"bearer","scope":"https://mail.example/"}'


class OAuthKeeper(Keeper):
    """Accepts TOKEN for USER by XOAUTH2 and OAUTHBEARER; keeps every initial response
    and every answer to the error challenge that a wrong one gets."""

    def __init__(self, port):
        super().__init__()
        self.port = port
        self.initial = []
        self.answers = []

    def expected(self, mechanism, token):
        if mechanism == "XOAUTH2":
            return b"user=%s\x01auth=Bearer %s\x01\x01" % (USER.encode(), token.encode())
        return b"n,a=%s,\x01host=127.0.0.1\x01port=%d\x01auth=Bearer %s\x01\x01" % (
            USER.encode(), self.port, token.encode())

    async def check(self, server, mechanism, args):
        blob = base64.b64decode(args[1]) if len(args) > 1 else b""
        self.initial.append((mechanism, blob))
        ok = blob == self.expected(mechanism, TOKEN)
        self.attempts.append((mechanism, ok))
        if ok:
            return AuthResult(success=True)
        self.answers.append((mechanism, await server.challenge_auth(ERROR_CHALLENGE)))
        return AuthResult(success=False, handled=False)

    async def auth_XOAUTH2(self, server, args):
        return await self.check(server, "XOAUTH2", args)

    async def auth_OAUTHBEARER(self, server, args):
        return await self.check(server, "OAUTHBEARER", args)


class OAuthServer(Server):
    def __init__(self, cert, exclude=()):
        super().__init__("starttls", cert, exclude)
        self.keeper = OAuthKeeper(self.port)
        self.controller.handler = self.keeper
        self.controller.SMTP_kwargs["authenticator"] = self.keeper.authenticate


class EndlessKeeper(OAuthKeeper):
    """Answers every line of an XOAUTH2 exchange with one more challenge (50 at most,
    so that a client that never stops cannot hang the test) and keeps the lines."""

    async def auth_XOAUTH2(self, server, args):
        for _ in range(50):
            answer = await server.challenge_auth(b"more, please")
            self.answers.append(("XOAUTH2", answer))
            if answer is MISSING:  # the client cancelled with "*"
                return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False)


class EndlessServer(OAuthServer):
    def __init__(self, cert):
        super().__init__(cert)
        self.keeper = EndlessKeeper(self.port)
        self.controller.handler = self.keeper
        self.controller.SMTP_kwargs["authenticator"] = self.keeper.authenticate


class OAuthSubmission(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="tarvex-oauth-")
        cls.cert = make_cert(cls.certs, "good", "localhost", "DNS:localhost,IP:127.0.0.1")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def run_with(self, server, auth, password="", command=None, args=("-v",)):
        """A run with the password given in the macro, or with a password command."""
        with Workspace() as ws:
            ws.write("token.txt", (TOKEN + "\n").encode())
            text = ("[ConInf]\r\nMailAdr=me@example.jp\r\n[SMTP]\r\nPort=%d\r\nSecurity=starttls\r\nAuth=%s\r\n"
                    "CAFile=%s\r\n") % (server.port, auth, self.cert[0])
            if command is not None:
                text += "PasswordCommand=%s\r\n" % command
            ws.write("tarvex.INI", text.encode("cp932"))
            run = ws.run(macro(password=password), args=list(args))
            # Nothing of the token may show on stderr (the trace included), and a
            # command's token never reaches the settings file. (A password given in
            # the password field is kept there, as the field always is.)
            if command is not None:
                self.assertNotIn(TOKEN, run.ini or "")
            self.assertNotIn(TOKEN, run.stderr)
            self.assertNotIn(base64.b64encode(TOKEN.encode()).decode()[:16], run.stderr)
            return run

    def test_token_accepted_by_each_mechanism(self):
        # Auth, where the token comes from (macro password or command), mechanism used
        for auth, source in [("xoauth2", "password"), ("oauthbearer", "password"),
                             ("XOAuth2", "command"), ("oauthbearer", "command")]:
            with self.subTest(auth=auth, source=source), OAuthServer(self.cert) as server:
                if source == "password":
                    run = self.run_with(server, auth, password=TOKEN)
                else:
                    run = self.run_with(server, auth, command="cat token.txt; echo second line")
                self.assertEqual(run.status, 0, run.stderr)
                mechanism = auth.upper()
                self.assertEqual(server.keeper.initial, [(mechanism, server.keeper.expected(mechanism, TOKEN))])
                self.assertEqual(server.keeper.answers, [])
                self.assertEqual(len(server.keeper.messages), 1)
                self.assertTrue(server.keeper.messages[0].authenticated)
                self.assertIn("AUTH %s ****" % mechanism, run.stderr)  # the trace shows it masked

    def test_refused_token_answers_the_error_challenge_and_exits_69(self):
        for auth, answer in [("xoauth2", b""), ("oauthbearer", b"\x01")]:
            with self.subTest(auth), OAuthServer(self.cert) as server:
                run = self.run_with(server, auth, password=TOKEN + "-expired")
                self.assertEqual(run.status, 69, run.stderr)
                self.assertIn("Authentication failed", run.stderr)
                self.assertEqual(server.keeper.answers, [(auth.upper(), answer)])
                self.assertEqual(server.keeper.messages, [])

    def test_endless_challenges_end_in_a_final_failure(self):
        # A server that asks for ever: the client answers the challenge its mechanism
        # has, cancels the exchange and gives up for good (69), never "try again" (75).
        with EndlessServer(self.cert) as server:
            run = self.run_with(server, "xoauth2", password=TOKEN)
            self.assertEqual(run.status, 69, run.stderr)
            self.assertIn("Authentication failed", run.stderr)
            self.assertEqual(server.keeper.answers, [("XOAUTH2", b""), ("XOAUTH2", MISSING)])
            self.assertEqual(server.keeper.messages, [])

    def test_auto_never_sends_the_password_as_a_token(self):
        # A server that offers only the token mechanisms: auto has nothing to send a password with.
        with OAuthServer(self.cert, exclude=["PLAIN", "LOGIN"]) as server:
            run = self.run_with(server, "auto", password="a password")
            self.assertEqual(run.status, 69, run.stderr)
            self.assertIn("AUTH PLAIN or LOGIN not offered by the server", run.stderr)
            self.assertEqual(server.keeper.initial, [])
        # A token mechanism the server does not offer is refused before anything is sent.
        with OAuthServer(self.cert, exclude=["XOAUTH2"]) as server:
            run = self.run_with(server, "xoauth2", password=TOKEN)
            self.assertEqual(run.status, 69, run.stderr)
            self.assertIn("AUTH XOAUTH2 not offered by the server", run.stderr)
            self.assertEqual(server.keeper.initial, [])

    def test_failing_password_command_stops_the_run_with_78(self):
        # command, text expected on stderr
        cases = [("echo 'token store locked' >&2; exit 3", "token store locked"),
                 ("true", "PasswordCommand"),
                 ("echo; cat token.txt", "PasswordCommand")]
        for command, text in cases:
            with self.subTest(command), OAuthServer(self.cert) as server:
                run = self.run_with(server, "xoauth2", command=command)
                self.assertEqual(run.status, 78, run.stderr)
                self.assertIn(text, run.stderr)
                self.assertEqual(server.keeper.initial, [])
                self.assertEqual(server.keeper.messages, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
