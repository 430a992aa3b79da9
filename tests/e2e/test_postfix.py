"""Against a real mail server: a private Postfix instance started here (its own
configuration and queue in a temporary folder, free loopback ports, Maildir delivery
for the domain example.jp, an access table that answers 450 for one address,
smtpd_recipient_limit=3 and message_size_limit; submission with STARTTLS and with
implicit TLS, AUTH through a private Dovecot with a passwd-file user), and the mail
system's own test server, smtp-sink, with its fault options: a server that answers 421
and closes, refuses a command for now (4xx) or for good (5xx), goes away without a word
after the end of the data, or waits too long to answer it. Each case checks the exit
status, [Result] and what reached the Maildirs (or the sink). Postfix and smtp-sink
come with the postfix package, Dovecot with dovecot-core (scripts/setup.sh installs
both); without them, or without root (they start as root and drop their privileges),
the tests say so and skip."""

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
from test_tls import make_cert  # noqa: E402

SMTP_SINK = shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"
POSTFIX = shutil.which("postfix") or "/usr/sbin/postfix"
DOVECOT = shutil.which("dovecot") or "/usr/sbin/dovecot"
SASL_USER, SASL_PASSWORD = "user@example.jp", "s3cret-pass"

# Submission: STARTTLS required, then AUTH through Dovecot; implicit TLS on another
# port. Only an authenticated client may send there.
SECURE_MASTER_CF = """\
127.0.0.1:{submission} inet n - n - - smtpd -o smtpd_tls_security_level=encrypt -o smtpd_sasl_auth_enable=yes
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
127.0.0.1:{smtps} inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_sasl_auth_enable=yes
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
tlsmgr unix - - n 1000? 1 tlsmgr
"""

SECURE_MAIN_CF = """\
smtpd_tls_cert_file = {dir}/cert.pem
smtpd_tls_key_file = {dir}/cert.key
smtpd_sasl_type = dovecot
smtpd_sasl_path = {dir}/dovecot/auth
"""

# Dovecot as the authentication service only: a passwd-file user, no mail protocol.
DOVECOT_CONF = """\
base_dir = {dir}/dovecot/run
state_dir = {dir}/dovecot/state
log_path = {dir}/dovecot/log
protocols = none
listen = 127.0.0.1
ssl = no
auth_mechanisms = plain login
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {dir}/dovecot/users
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}}
service auth {{
  unix_listener {dir}/dovecot/auth {{
    mode = 0666
  }}
}}
"""
MAILBOXES = ["one", "two", "three", "four", "five", "later", "me"]
SIZE_LIMIT = 200000

MASTER_CF = """\
127.0.0.1:{port} inet n - n - - smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
local unix - n n - - local
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = postfix.test
mydomain = postfix.test
myorigin = postfix.test
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
alias_maps =
alias_database =
biff = no
virtual_mailbox_domains = example.jp
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = texthash:{dir}/conf/mailboxes
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
smtpd_recipient_restrictions = check_recipient_access texthash:{dir}/conf/access, permit_mynetworks,
    reject_unauth_destination
smtpd_recipient_limit = 3
message_size_limit = {size_limit}
"""


class Postfix:
    """A private Postfix instance: configuration, queue, log and Maildirs below one
    temporary folder, listening on a free loopback port."""

    def __init__(self, secure=False):
        import grp
        import pwd
        self.dir = tempfile.mkdtemp(prefix="tarvex-postfix-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        self.secure = secure
        conf = os.path.join(self.dir, "conf")
        for sub in ("conf", "queue", "data", "mail"):
            os.mkdir(os.path.join(self.dir, sub))
        nobody = pwd.getpwnam("nobody")
        nogroup = grp.getgrgid(nobody.pw_gid).gr_gid
        os.chown(os.path.join(self.dir, "data"), pwd.getpwnam("postfix").pw_uid, -1)
        os.chown(os.path.join(self.dir, "mail"), nobody.pw_uid, nogroup)
        main, master = MAIN_CF, MASTER_CF
        if secure:
            main += SECURE_MAIN_CF
            master += SECURE_MASTER_CF
            self.submission, self.smtps = free_port(), free_port()
            self.cert = make_cert(self.dir, "cert", "localhost", "DNS:localhost,IP:127.0.0.1")[0]
            dovecot = os.path.join(self.dir, "dovecot")
            for sub in ("", "run", "state"):
                os.makedirs(os.path.join(dovecot, sub), exist_ok=True)
            with open(os.path.join(dovecot, "users"), "w") as f:
                f.write("%s:{PLAIN}%s\n" % (SASL_USER, SASL_PASSWORD))
            with open(os.path.join(dovecot, "dovecot.conf"), "w") as f:
                f.write(DOVECOT_CONF.format(dir=self.dir))
            # Its processes stay: their output goes nowhere, so that nothing waits for it.
            subprocess.run([DOVECOT, "-c", os.path.join(dovecot, "dovecot.conf")], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        with open(os.path.join(conf, "main.cf"), "w") as f:
            f.write(main.format(dir=self.dir, uid=nobody.pw_uid, gid=nogroup, size_limit=SIZE_LIMIT))
        with open(os.path.join(conf, "master.cf"), "w") as f:
            f.write(master.format(port=self.port, submission=getattr(self, "submission", 0),
                                  smtps=getattr(self, "smtps", 0)))
        with open(os.path.join(conf, "mailboxes"), "w") as f:
            f.write("".join("%s@example.jp %s/\n" % (box, box) for box in MAILBOXES))
        with open(os.path.join(conf, "access"), "w") as f:
            f.write("later@example.jp 450 4.2.0 try again later\n")
        self.conf = conf
        try:
            subprocess.run([POSTFIX, "-c", conf, "start"], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            self._wait_ready()
        except BaseException:
            self.close()
            raise

    def _wait_ready(self):
        deadline = time.monotonic() + 20
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                    if s.recv(100).startswith(b"220"):
                        break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("Postfix did not answer: %s" % self.log())
            time.sleep(0.1)

    def log(self):
        try:
            with open(os.path.join(self.dir, "maillog"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def smtpd_warnings(self):
        """What the server warned of about the dialogue (nothing, for a sound client)."""
        return [line for line in self.log().splitlines() if "/smtpd[" in line and "warning:" in line]

    def session(self):
        """The server's count of the commands of the last session that greeted
        ("... ehlo=1 mail=1 ..."); the server may write it a moment after the run ends."""
        deadline = time.monotonic() + 5
        while True:
            lines = [line for line in self.log().splitlines() if " disconnect from " in line and "ehlo=" in line]
            if lines or time.monotonic() > deadline:
                return lines[-1] + " " if lines else ""
            time.sleep(0.1)

    def delivered(self, box):
        """The messages in a Maildir (its new/ folder), as bytes."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.dir, "mail", box, "new", "*"))):
            with open(path, "rb") as f:
                out.append(f.read())
        return out

    def wait_delivered(self, boxes, seconds=15):
        """Waits until each of boxes holds at least one message; returns the counts of all."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not all(self.delivered(b) for b in boxes):
            time.sleep(0.1)
        return {box: len(self.delivered(box)) for box in MAILBOXES}

    def close(self):
        subprocess.run([POSTFIX, "-c", self.conf, "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        if self.secure:
            subprocess.run([DOVECOT, "-c", os.path.join(self.dir, "dovecot", "dovecot.conf"), "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


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


def unusable(program, package):
    """Why program cannot run here (None when it can): not installed, or no root, which
    the servers need to start and drop their privileges."""
    if not os.path.exists(program):
        return "%s is not installed (the %s package; scripts/setup.sh installs it)" % (program, package)
    if os.geteuid() != 0:
        return "%s must start as root" % program
    return None


def postfix_usable():
    return unusable(POSTFIX, "postfix")


def send(port, to, body="本文", settings="", user="postfix-test", password=""):
    """One send to the recipients of to (a list) on the loopback port; returns the run."""
    with Workspace() as ws:
        ws.settings(port=port)
        if settings:
            with open(ws.ini, "ab") as f:
                f.write(settings.encode())
        return ws.run(["uname:", user, "upwd:", password, "server:", "127.0.0.1", "to:", ",".join(to),
                       "subject:", "件名", "reply-to:", "me@example.jp", "body:", body, "action:", "send"],
                      args=["--timeout", "10"])


@unittest.skipIf(postfix_usable(), postfix_usable() or "")
class RealPostfix(unittest.TestCase):
    def setUp(self):
        self.postfix = Postfix()

    def tearDown(self):
        try:
            self.assertEqual(self.postfix.smtpd_warnings(), [])
        finally:
            self.postfix.close()

    def test_over_the_recipient_limit_everyone_gets_the_mail_once(self):
        # Six recipients for a server that takes three per message, one of them
        # greylisted: two messages, each of the other five gets it exactly once.
        to = ["%s@example.jp" % b for b in ("one", "two", "later", "three", "four", "five")]
        run = send(self.postfix.port, to)
        self.assertEqual(run.status, 0, run.stderr)
        counts = self.postfix.wait_delivered(["one", "two", "three", "four", "five"])
        self.assertEqual(counts, {"one": 1, "two": 1, "three": 1, "four": 1, "five": 1, "later": 0, "me": 0},
                         self.postfix.log()[-2000:])
        result = result_section(run.ini)
        self.assertEqual(result["Status"], "0")
        self.assertRegex(result["Refused"], r"^later@example\.jp 450 4\.2\.0 .*try again later$")
        self.assertIn("Subject: =?ISO-2022-JP?B?", self.postfix.delivered("one")[0].decode("ascii", "replace"))

    def test_only_a_greylisted_recipient_is_a_temporary_failure_without_data(self):
        run = send(self.postfix.port, ["later@example.jp"])
        self.assertEqual(run.status, 75, run.stderr)
        self.assertIn("All recipients refused", run.stderr)
        # The server counts the commands of the session: recipients, but no DATA.
        session = self.postfix.session()
        self.assertIn(" rcpt=0/1 ", session)
        self.assertNotIn(" data=", session)
        self.assertEqual(result_section(run.ini)["Status"], "75")

    def test_larger_than_the_size_limit_is_refused_before_it_is_sent(self):
        run = send(self.postfix.port, ["one@example.jp"], body="x" * (SIZE_LIMIT + 1000))
        self.assertEqual(run.status, 69, run.stderr)
        self.assertIn("larger than the server accepts", run.stderr)
        self.assertIn("> %d octets" % SIZE_LIMIT, run.stderr)
        # Nothing of the send reached the server: no MAIL, so no transaction at all.
        session = self.postfix.session()
        self.assertIn(" ehlo=1 ", session)
        self.assertNotIn(" mail=", session)
        self.assertEqual(self.postfix.delivered("one"), [])

    def test_notify_success_brings_a_delivery_report_to_the_sender(self):
        run = send(self.postfix.port, ["two@example.jp"], settings="[Mail]\r\nNotify=success\r\nReturn=headers\r\n")
        self.assertEqual(run.status, 0, run.stderr)
        counts = self.postfix.wait_delivered(["two", "me"])
        self.assertEqual((counts["two"], counts["me"]), (1, 1), self.postfix.log()[-2000:])
        report = self.postfix.delivered("me")[0].decode("ascii", "replace")
        self.assertIn("multipart/report", report)
        self.assertIn("Action: delivered", report)
        # ENVID is the message's Message-ID.
        message_id = [line for line in self.postfix.delivered("two")[0].decode("ascii", "replace").splitlines()
                      if line.lower().startswith("message-id:")][0].split(":", 1)[1].strip()
        self.assertIn("Original-Envelope-Id: " + message_id, report)


def secure_usable():
    return postfix_usable() or unusable(DOVECOT, "dovecot-core")


@unittest.skipIf(secure_usable(), secure_usable() or "")
class SecurePostfix(unittest.TestCase):
    def setUp(self):
        self.postfix = Postfix(secure=True)
        self.expected_warning = None  # the one warning a case provokes on purpose

    def tearDown(self):
        try:
            warnings = self.postfix.smtpd_warnings()
            self.assertEqual([w for w in warnings if not self.expected_warning or self.expected_warning not in w], [])
        finally:
            self.postfix.close()

    def submit(self, port, security, password=SASL_PASSWORD):
        settings = "Security=%s\r\nAuth=auto\r\nCAFile=%s\r\n" % (security, self.postfix.cert)
        return send(port, ["one@example.jp"], settings=settings, user=SASL_USER, password=password)

    def test_submission_with_starttls_and_sasl(self):
        run = self.submit(self.postfix.submission, "starttls")
        self.assertEqual(run.status, 0, run.stderr + self.postfix.log()[-1500:])
        self.assertEqual(self.postfix.wait_delivered(["one"])["one"], 1)
        self.assertIn("sasl_username=" + SASL_USER, self.postfix.log())

    def test_implicit_tls_and_sasl(self):
        run = self.submit(self.postfix.smtps, "tls")
        self.assertEqual(run.status, 0, run.stderr + self.postfix.log()[-1500:])
        self.assertEqual(self.postfix.wait_delivered(["one"])["one"], 1)

    def test_wrong_password_is_a_final_failure(self):
        self.expected_warning = "authentication failed"
        run = self.submit(self.postfix.submission, "starttls", password="wrong")
        self.assertEqual(run.status, 69, run.stderr)
        self.assertIn("Authentication failed", run.stderr)
        self.assertEqual(result_section(run.ini)["Status"], "69")
        self.assertEqual(self.postfix.delivered("one"), [])


def sink_usable():
    return unusable(SMTP_SINK, "postfix")


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
