"""IPv6 and dual stack against a real SMTP server (aiosmtpd): a server on ::1 reached
by the literal, bare and in brackets, and by a name that resolves to ::1 only; a
name with an IPv6 and an IPv4 address reaches the server on whichever family it
listens; the EHLO names the machine by its IPv6 address literal. The names are test
entries of /etc/hosts, added (as root) for the test and removed afterwards."""

import contextlib
import os
import shutil
import socket
import ssl
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import Received, Workspace  # noqa: E402
from test_tls import make_cert  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

HOSTS = "/etc/hosts"
MARK = "# tarvex ipv6 test"


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port(address):
    with socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def host_entries(entries):
    """Adds "address name" lines to /etc/hosts for the block; afterwards every line this
    test added is removed again and the rest of the file is left as it was."""
    if os.geteuid() != 0 or not os.access(HOSTS, os.W_OK):
        raise unittest.SkipTest("test names in /etc/hosts need root: not root here, skipped")
    with open(HOSTS, "a") as f:
        f.write("".join("%s %s %s\n" % (address, name, MARK) for address, name in entries))
    try:
        yield
    finally:
        with open(HOSTS) as f:
            kept = [line for line in f if not line.rstrip("\n").endswith(MARK)]
        with open(HOSTS, "w") as f:
            f.write("".join(kept))


class Keeper:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        got = Received(envelope)
        got.hello = session.host_name
        got.peer = session.peer[0]
        self.messages.append(got)
        return "250 OK"


@contextlib.contextmanager
def server_on(address, port=None, **kwargs):
    keeper = Keeper()
    controller = Controller(keeper, hostname=address, port=port or free_port(address), **kwargs)
    controller.start()
    try:
        yield controller, keeper
    finally:
        controller.stop()


def mail_macro(host):
    return ["uname:", "tester", "server:", host, "to:", "taro@example.jp", "subject:", "IPv6",
            "reply-to:", "me@example.jp", "body:", "六番目の版", "action:", "send", "end"]


@unittest.skipUnless(has_ipv6_loopback(), "no IPv6 loopback on this machine")
class Ipv6(unittest.TestCase):
    def send(self, host, port, settings=""):
        with Workspace() as ws:
            ws.write("tarvex.INI", ("[SMTP]\r\nPort=%d\r\n%s" % (port, settings)).encode("cp932"))
            run = ws.run(mail_macro(host), args=["-v"])
            self.assertEqual(run.status, 0, run.stderr)
            self.assertNotIn("Null Remote Address", run.stderr)
            return run

    def test_literal_bare_and_in_brackets(self):
        with server_on("::1") as (controller, keeper):
            for host in ("::1", "[::1]"):
                with self.subTest(host):
                    self.send(host, controller.port)
            self.assertEqual([m.peer for m in keeper.messages], ["::1", "::1"])
            self.assertEqual(keeper.messages[0].hello, "tester")  # HELO keeps the user identifier

    def test_names_resolving_to_ipv6_only_and_to_both(self):
        entries = [("::1", "tarvex-v6only.test"), ("::1", "tarvex-dual.test"), ("127.0.0.1", "tarvex-dual.test")]
        with host_entries(entries):
            with server_on("::1") as (controller, keeper):
                self.send("tarvex-v6only.test", controller.port)
                self.send("tarvex-dual.test", controller.port)
                self.assertEqual([m.peer for m in keeper.messages], ["::1", "::1"])
            # The same name with the server on IPv4 only: the IPv6 address is refused and
            # the next one taken.
            with server_on("127.0.0.1") as (controller, keeper):
                self.send("tarvex-dual.test", controller.port)
                self.assertEqual([m.peer for m in keeper.messages], ["127.0.0.1"])
        with open(HOSTS) as f:
            self.assertNotIn(MARK, f.read())

    def test_ehlo_names_the_machine_by_its_ipv6_literal(self):
        folder = tempfile.mkdtemp(prefix="tarvex-ipv6-")
        try:
            cert = make_cert(folder, "v6", "localhost", "IP:::1")
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ctx.load_cert_chain(*cert)
            with server_on("::1", tls_context=ctx, require_starttls=True) as (controller, keeper):
                self.send("[::1]", controller.port, "Security=starttls\r\nCAFile=%s\r\n" % cert[0])
                hello = keeper.messages[0].hello
                # A machine with a fully qualified name gives that instead.
                self.assertTrue(hello == "[IPv6:::1]" or "." in hello, hello)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
