"""A real SMTP server for the SMTP component's end-to-end test.

Usage: smtp_sink.py OUTDIR COUNT
Starts aiosmtpd on 127.0.0.1, prints "PORT <n>", waits (at most 60 s) for COUNT
messages, then writes what Python's email package makes of them to OUTDIR:
summary.txt (envelope, headers, parts; one "key=value" a line) and the decoded
payload of part J of message I as msg<I>-part<J>.bin. Prints "DONE" and exits.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tarvex_e2e import SmtpServer  # noqa: E402


def summary(index, m, outdir):
    msg = m.message
    lines = ["message=%d" % index,
             "mail_from=%s" % m.mail_from,
             "rcpt_tos=%s" % ",".join(m.rcpt_tos),
             "defects=%d" % len(msg.defects)]
    for name in ("From", "To", "CC", "Bcc", "Subject", "X-Mailer", "Date", "Mime-Version"):
        lines.append("header %s=%s" % (name, msg.get(name, "<none>")))
    lines.append("content_type=%s" % msg.get_content_type())
    parts = list(msg.iter_parts()) if msg.is_multipart() else [msg]
    for j, part in enumerate(parts, 1):
        lines.append("part%d type=%s filename=%s defects=%d" % (
            j, part.get_content_type(), part.get_filename(), len(part.defects)))
        if part.get_content_maintype() == "text":
            text = part.get_payload(decode=True).decode("ascii").replace("\r\n", "\n")
            lines.append("part%d text=%r" % (j, text))
        else:
            with open(os.path.join(outdir, "msg%d-part%d.bin" % (index, j)), "wb") as f:
                f.write(part.get_payload(decode=True))
    return lines


def main():
    outdir, count = sys.argv[1], int(sys.argv[2])
    with SmtpServer() as server:
        print("PORT %d" % server.port, flush=True)
        keeper = server.keeper
        deadline = time.monotonic() + 60
        with keeper.arrived:
            while len(keeper.messages) < count and time.monotonic() < deadline:
                keeper.arrived.wait(deadline - time.monotonic())
            # The message is kept before its 250 reply goes out: stopping now would
            # cut the client off. Wait for its QUIT (a short while at most).
            deadline = min(deadline, time.monotonic() + 10)
            while keeper.quits < 1 and time.monotonic() < deadline:
                keeper.arrived.wait(deadline - time.monotonic())
        messages = list(keeper.messages)
    out = []
    for i, m in enumerate(messages, 1):
        out += summary(i, m, outdir)
    with open(os.path.join(outdir, "summary.txt"), "w") as f:
        f.write("\n".join(out) + "\n")
    print("DONE", flush=True)


if __name__ == "__main__":
    main()
