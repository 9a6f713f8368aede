"""A scripted SMTP server for the command line's tests, on 127.0.0.1.

Answers each command line by the first prefix of REPLIES it starts with
(defaults: a server that accepts everything; None for the end mark closes
without a reply), optionally in TLS from the first
byte, and records every line it reads (a message's text as one "<text>").
"""
import socket
import ssl
import threading

DEFAULTS = [
    ("EHLO", "250-scripted\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 10485760\r\n"),
    ("HELO", "250 hello\r\n"),
    ("AUTH", "235 2.7.0 accepted\r\n"),
    ("RSET", "250 ok\r\n"),
    ("MAIL", "250 ok\r\n"),
    ("RCPT", "250 ok\r\n"),
    ("DATA", "354 go ahead\r\n"),
    (".", "250 queued\r\n"),
    ("QUIT", "221 bye\r\n"),
]


class ScriptedSmtp(threading.Thread):
    def __init__(self, replies=(), greeting="220 scripted ready\r\n", tls=None):
        super().__init__(daemon=True)
        self.replies = list(replies) + DEFAULTS
        self.greeting = greeting
        self.tls = tls  # an ssl.SSLContext for TLS from the first byte
        self.lines = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.start()

    def reply(self, line):
        for prefix, answer in self.replies:
            if line.upper().startswith(prefix):
                return answer
        return "500 unknown\r\n"

    def run(self):
        # Each connection on its own thread: a second one (a probe) must not
        # wait for the first.
        try:
            while True:
                connection, _ = self.listener.accept()
                threading.Thread(target=self.serve, args=(connection,), daemon=True).start()
        except OSError:
            pass

    def stop(self):
        self.listener.close()

    def serve(self, connection):
        try:
            connection.settimeout(30)
            if self.tls:
                connection = self.tls.wrap_socket(connection, server_side=True)
            stream = connection.makefile("rb")
            connection.sendall(self.greeting.encode())
            while True:
                raw = stream.readline()
                if not raw:
                    break
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                self.lines.append(line)
                answer = self.reply(line)
                connection.sendall(answer.encode())
                if line.upper() == "DATA" and answer.startswith("354"):
                    while stream.readline() not in (b".\r\n", b""):
                        pass
                    self.lines.append("<text>")
                    end = self.reply(".")
                    if end is None:  # no reply to the end mark: the connection closes
                        break
                    connection.sendall(end.encode())
                if line.upper() == "QUIT":
                    break
            connection.close()
        except (OSError, ssl.SSLError):
            pass
