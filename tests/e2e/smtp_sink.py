"""A real SMTP server for the end-to-end tests: aiosmtpd on 127.0.0.1.

Usage: smtp_sink.py OUTDIR [PORT] [--cert PEM --key PEM] [--starttls]
                   [--require-starttls] [--implicit-tls] [--login USER:PASSWORD] [--size BYTES]
Prints "PORT <n>" once it accepts connections, then stores every message it
accepts as OUTDIR/msgN.eml (the bytes as received), msgN.rcpt (one envelope
recipient a line) and msgN.from. OUTDIR/commands.log gets every line the server
read outside a message's text, as "tls <line>" or "clear <line>", and for every
login attempt "login ok <user>" or "login refused <user>".
--starttls offers STARTTLS, --require-starttls refuses other commands before
it, --implicit-tls speaks TLS from the first byte (all with --cert and --key);
--login requires that login, over TLS only; --only-auth-login offers AUTH
LOGIN alone; --size announces that SIZE limit (bytes); --echo-failed-login answers a refused
login with the credentials it was sent, --echo-credentials every reply after a login that passed. Ends when its standard input closes, or after ten minutes at the
latest.
"""
import argparse
import base64
import logging
import os
import socket
import ssl
import sys
import threading
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult


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


class Recorder:
    """Appends to OUTDIR/commands.log, one line at a time."""

    def __init__(self, outdir):
        self.path = os.path.join(outdir, "commands.log")
        self.lock = threading.Lock()

    def add(self, line):
        with self.lock, open(self.path, "a", encoding="utf-8", errors="replace") as f:
            f.write(line + "\n")


class RecordingSMTP(SMTP):
    """Records every line it reads, except a message's text, and whether it
    came over TLS."""

    def __init__(self, *args, recorder, **kwargs):
        super().__init__(*args, **kwargs)
        self.recorder = recorder
        self.in_data = False
        self.reader_wrapped = False
        data = self._smtp_methods["DATA"]

        async def smtp_data(arg):
            self.in_data = True
            try:
                return await data(arg)
            finally:
                self.in_data = False
        self._smtp_methods["DATA"] = smtp_data

    async def push(self, status):
        # A careless server's habit: what the login sent, repeated after it.
        echoed = getattr(self, "echoed", None)
        if echoed and isinstance(status, str) and not status.startswith(("334", "235")):
            status = "%s %s" % (status, echoed)
        await super().push(status)

    def connection_made(self, transport):
        super().connection_made(transport)
        if self.reader_wrapped:
            return  # the same reader goes on after STARTTLS
        self.reader_wrapped = True
        reader = self._reader
        readuntil = reader.readuntil

        async def recorded(separator=b"\n"):
            line = await readuntil(separator)
            if not self.in_data:
                secure = self.transport.get_extra_info("ssl_object") is not None
                text = line.rstrip(b"\r\n").decode("utf-8", "replace")
                self.recorder.add(("tls " if secure else "clear ") + text)
            return line
        reader.readuntil = recorded


class RecordingController(Controller):
    def __init__(self, *args, recorder, **kwargs):
        self.recorder = recorder
        super().__init__(*args, **kwargs)

    def factory(self):
        return RecordingSMTP(self.handler, recorder=self.recorder, **self.SMTP_kwargs)


def login_checker(user, password, recorder, echo=False, echo_after=False):
    def check(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        # The bytes the test gave on the command line, whatever the locale decoded them as.
        ok = auth_data.login == os.fsencode(user) and auth_data.password == os.fsencode(password)
        recorder.add(("login ok " if ok else "login refused ") + login)
        plain = base64.b64encode(b"\0" + auth_data.login + b"\0" + auth_data.password).decode()
        if echo_after and ok:
            server.echoed = "%s %s %s" % (plain, base64.b64encode(auth_data.password).decode(),
                                          auth_data.password.decode("utf-8", "replace"))
        # Not handled here: the server answers a refusal with its own 535,
        # or, as a careless server does, with what it was sent.
        message = None
        if echo and not ok:
            message = "535 5.7.8 refused %s %s %s" % (plain, base64.b64encode(auth_data.password).decode(),
                                                       auth_data.password.decode("utf-8", "replace"))
        return AuthResult(success=ok, handled=False, message=message)
    return check


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    # The server's own cautions (login without STARTTLS where TLS comes first,
    # deprecations) and its reports of the handshakes a test makes fail are
    # no test's business.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    parser = argparse.ArgumentParser()
    parser.add_argument("outdir")
    parser.add_argument("port", nargs="?", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--login")
    parser.add_argument("--only-auth-login", action="store_true")
    parser.add_argument("--size", type=int, default=200 * 1024 * 1024)
    parser.add_argument("--echo-failed-login", action="store_true")
    parser.add_argument("--echo-credentials", action="store_true")
    options = parser.parse_args()
    port = options.port or free_port()
    handler = Store(options.outdir)
    recorder = Recorder(options.outdir)
    extra = {}
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        if options.implicit_tls:
            extra["ssl_context"] = context
        if options.starttls:
            extra["tls_context"] = context
            extra["require_starttls"] = options.require_starttls
    if options.login:
        user, _, password = options.login.partition(":")
        # aiosmtpd counts only STARTTLS as TLS; with TLS from the first byte
        # every connection is encrypted anyway.
        extra.update(authenticator=login_checker(user, password, recorder, options.echo_failed_login,
                                                   options.echo_credentials),
                     auth_required=True, auth_require_tls=not options.implicit_tls)
        if options.only_auth_login:
            extra["auth_exclude_mechanism"] = ["PLAIN"]
    controller = RecordingController(handler, hostname="127.0.0.1", port=port, recorder=recorder,
                                     data_size_limit=options.size, decode_data=False, **extra)
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
