"""A scripted IMAP server over TLS from the start, for the watch's tests, on 127.0.0.1.

Usage: imap_peer.py CERT KEY FETCH [gone]
Prints "PORT <n>" once it listens. Greets, accepts any login, has one message
(UID 5) in every folder and answers UID FETCH with the bytes of the file
FETCH as they stand (its untagged lines, CR LF and literals included), then OK.
With "gone", a search by UID alone finds nothing: the message was deleted
after the folder's search. Ends when its standard input closes, or after five
minutes at the latest.
"""
import socket
import ssl
import sys
import threading
import time


def serve(conn, fetch_reply, gone):
    reader = conn.makefile("rb")
    conn.sendall(b"* OK [CAPABILITY IMAP4rev1] ready\r\n")
    for line in reader:
        words = line.rstrip(b"\r\n").split(b" ")
        tag, command = words[0], b" ".join(words[1:3]).upper()
        if command.startswith(b"CAPABILITY"):
            reply = b"* CAPABILITY IMAP4rev1\r\n"
        elif command.startswith(b"EXAMINE"):
            reply = b"* 1 EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY 7] ok\r\n* OK [UIDNEXT 6] ok\r\n"
        elif command.startswith(b"UID SEARCH"):
            reply = b"* SEARCH\r\n" if gone and b"SINCE" not in line.upper() else b"* SEARCH 5\r\n"
        elif command.startswith(b"UID FETCH"):
            reply = fetch_reply
        elif command.startswith(b"LOGOUT"):
            conn.sendall(b"* BYE bye\r\n" + tag + b" OK done\r\n")
            break
        else:
            reply = b""
        conn.sendall(reply + tag + b" OK done\r\n")
    conn.close()


def main():
    cert, key, fetch_file = sys.argv[1:4]
    gone = sys.argv[4:5] == ["gone"]
    with open(fetch_file, "rb") as f:
        fetch_reply = f.read()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)

    def accept():
        while True:
            raw, _ = listener.accept()
            try:
                conn = context.wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError):
                raw.close()
                continue
            threading.Thread(target=serve, args=(conn, fetch_reply, gone), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    deadline = time.time() + 300
    while time.time() < deadline and sys.stdin.read(1):
        pass


if __name__ == "__main__":
    main()
