"""A minimal SMTP sink for the side-by-side send benchmark: answers every command
with a plain success, reads the data in large blocks until the final dot and throws
it away, so the sink costs as little as possible and is the same for every client.

Usage: discard_sink.py   (prints "PORT <n>", serves until killed)"""

import socket
import sys
import threading


def serve(conn):
    conn.sendall(b"220 sink ready\r\n")
    pending = b""
    in_data = False
    while True:
        try:
            chunk = conn.recv(1 << 20)
        except OSError:  # the client reset the connection
            break
        if not chunk:
            break
        pending += chunk
        while True:
            if in_data:
                end = pending.find(b"\r\n.\r\n")
                if end < 0:
                    pending = pending[-4:]  # keep what could start the end mark
                    break
                pending = pending[end + 5:]
                in_data = False
                conn.sendall(b"250 discarded\r\n")
                continue
            nl = pending.find(b"\n")
            if nl < 0:
                break
            line, pending = pending[:nl + 1], pending[nl + 1:]
            verb = line[:4].upper()
            if verb == b"EHLO":
                conn.sendall(b"250-sink\r\n250 8BITMIME\r\n")
            elif verb == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                in_data = True
                pending = b"\r\n" + pending  # the end mark may follow at once
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                conn.close()
                return
            else:
                conn.sendall(b"250 ok\r\n")
    conn.close()


def main():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    print("PORT %d" % s.getsockname()[1], flush=True)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
