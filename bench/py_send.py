"""The Python peer of the side-by-side send benchmark: builds the same message as the
macro (Japanese subject and body, one attachment if given) with the email package
and sends it with smtplib. Usage: py_send.py PORT [ATTACHMENT]"""

import os
import smtplib
import sys
from email.message import EmailMessage


def main():
    port, path = int(sys.argv[1]), sys.argv[2] if len(sys.argv) > 2 else None
    msg = EmailMessage()
    msg["From"] = "me@example.jp"
    msg["To"] = "taro@example.jp"
    msg["Subject"] = "ベンチマーク"
    msg.set_content("本文の一行目\n", charset="iso-2022-jp")
    if path:
        with open(path, "rb") as f:
            msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                               filename=os.path.basename(path))
    with smtplib.SMTP("127.0.0.1", port) as s:
        s.send_message(msg)


if __name__ == "__main__":
    main()
