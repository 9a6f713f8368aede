"""A real SMTP server for the end-to-end tests: aiosmtpd on 127.0.0.1.

Usage: smtp_sink.py OUTDIR [PORT]
Prints "PORT <n>" once it accepts connections, then stores every message it
accepts as OUTDIR/msgN.eml (the bytes as received), msgN.rcpt (one envelope
recipient a line) and msgN.from. Ends when its standard input closes, or after
ten minutes at the latest.
"""
import os
import socket
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP


class Store:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            base = os.path.join(self.outdir, "msg%d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".rcpt", "w") as f:
            f.write("\n".join(envelope.rcpt_tos))
        with open(base + ".from", "w") as f:
            f.write(envelope.mail_from)
        os.rename(base + ".eml.part", base + ".eml")  # complete files only
        return "250 OK stored"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    outdir = sys.argv[1]
    port = int(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2] != "0" else free_port()
    handler = Store(outdir)
    controller = Controller(handler, hostname="127.0.0.1", port=port,
                            data_size_limit=200 * 1024 * 1024, decode_data=False)
    controller.start()
    print("PORT %d" % port, flush=True)
    deadline = time.time() + 600
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    while not done.is_set() and time.time() < deadline:
        done.wait(0.2)
    controller.stop()


if __name__ == "__main__":
    main()
