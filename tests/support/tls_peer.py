"""A TLS server for the socket component's tests, on 127.0.0.1.

Usage: tls_peer.py CERT KEY [--max-version 1.2|1.1] [--close-notify whole|partial]
Prints "PORT <n>" once it listens. On each connection: the handshake, then
"220 tls ready" CR LF sent in the same write as the handshake's last flight
(so the client finds it already buffered when its handshake ends), then
everything received goes back until the client closes. --max-version caps
the protocol; 1.1 is below what any client here accepts. --close-notify: the
first line received is not echoed; the server sends close_notify instead
(after half a reply line with "partial") and keeps the connection open.
Ends when its standard input closes, or after five minutes at the latest.
"""
import argparse
import socket
import ssl
import sys
import threading
import time
import warnings


def make_context(cert, key, max_version):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if max_version == "1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    elif max_version == "1.1":
        warnings.simplefilter("ignore", DeprecationWarning)
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
    return context


def flush(conn, outgoing):
    data = outgoing.read()
    if data:
        conn.sendall(data)


def end_session(conn, tls, outgoing, partial):
    """close_notify without closing the connection, as a broken server might."""
    if partial:
        tls.write(b"250-half a repl")
    try:
        tls.unwrap()
    except ssl.SSLWantReadError:
        pass  # the client's close_notify is not awaited
    flush(conn, outgoing)
    time.sleep(20)


def serve(conn, context, close_notify=None):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)
    conn.settimeout(60)
    try:
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                flush(conn, outgoing)
                data = conn.recv(65536)
                if not data:
                    return
                incoming.write(data)
        tls.write(b"220 tls ready\r\n")
        flush(conn, outgoing)
        while True:
            data = conn.recv(65536)
            if not data:
                return
            incoming.write(data)
            if close_notify:
                try:
                    if b"\n" in tls.read(65536):
                        return end_session(conn, tls, outgoing, close_notify == "partial")
                except ssl.SSLWantReadError:
                    pass
                continue
            while True:
                try:
                    tls.write(tls.read(65536))
                except ssl.SSLWantReadError:
                    break
            flush(conn, outgoing)
    except ssl.SSLError:
        try:
            flush(conn, outgoing)  # the alert that says why, as any server sends it
        except OSError:
            pass  # the client has gone already
    except OSError:
        pass  # the client went away
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cert")
    parser.add_argument("key")
    parser.add_argument("--max-version")
    parser.add_argument("--close-notify", choices=["whole", "partial"])
    options = parser.parse_args()
    context = make_context(options.cert, options.key, options.max_version)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.2)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    deadline = time.time() + 300
    while not done.is_set() and time.time() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, context, options.close_notify), daemon=True).start()


if __name__ == "__main__":
    main()
