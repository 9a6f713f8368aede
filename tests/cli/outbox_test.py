"""The outbox from the command line, run as a script and the timer run it.

Usage: outbox_test.py FAXMAIL
"""
import datetime
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from aiosmtpd.controller import Controller  # noqa: E402
from check_message import check  # noqa: E402
from smtp_sink import Store, free_port  # noqa: E402
from scripted_smtp import ScriptedSmtp  # noqa: E402

FAXMAIL = None
GATEWAY = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example"
QUEUED = 7


class Outbox(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        home = self.tmp.name
        self.outdir = os.path.join(home, "mail")
        os.mkdir(self.outdir)
        self.env = {"PATH": os.environ.get("PATH", ""), "HOME": home, "LC_ALL": os.environ.get("LC_ALL", "C.UTF-8"),
                    "XDG_CONFIG_HOME": os.path.join(home, "config"), "XDG_DATA_HOME": os.path.join(home, "data")}
        # The sanitizer build's options (tools/test --sanitize) reach the program.
        self.env.update({k: v for k, v in os.environ.items() if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS")})
        self.copies = os.path.join(home, "data", "Morvane", "faxmail", "outbox")
        self.doc = os.path.join(home, "scan.pdf")
        with open(self.doc, "wb") as f:
            f.write(b"%PDF-1.4 the page as queued\n" * 100)

    def settings(self, port):
        os.makedirs(os.path.join(self.env["XDG_CONFIG_HOME"], "Morvane"), exist_ok=True)
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "Morvane", "faxmail.conf"), "w") as f:
            f.write("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % port)

    def run_faxmail(self, *args, clock=None, timeout=60):
        env = dict(self.env)
        command = [FAXMAIL, *args]
        if clock:  # the clock moved by libfaketime ("+2h")
            command = ["faketime", "-f", clock, *command]
            env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                              text=True)

    def listed(self):
        result = self.run_faxmail("outbox", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return [json.loads(line) for line in result.stdout.splitlines()]

    def real_server(self, port):
        server = Controller(Store(self.outdir), hostname="127.0.0.1", port=port, decode_data=False)
        server.start()
        self.addCleanup(server.stop)

    def delivered(self):
        return sorted(n for n in os.listdir(self.outdir) if n.endswith(".eml"))

    def send(self, *options):
        return self.run_faxmail("send", "--number", "001-212-5551234", *options, self.doc)

    def test_queued_while_the_server_is_down_then_flushed_once_with_the_copy(self):
        port = free_port()
        self.settings(port)
        result = self.send("--queue")
        self.assertEqual(result.returncode, QUEUED, result.stderr)
        self.assertIn("传真已放入发件箱", result.stderr)
        [entry] = self.listed()
        self.assertEqual((entry["state"], entry["tries"], entry["numbers"], entry["files"][0]["name"]),
                         ("queued", 1, "001-212-5551234", "scan.pdf"))
        self.assertEqual(result.stdout, "%d\n" % entry["id"])
        queued = os.path.join(self.tmp.name, "as-queued.pdf")
        os.link(self.doc, queued)
        os.unlink(self.doc)
        with open(self.doc, "wb") as f:
            f.write(b"changed after queueing")
        self.real_server(port)
        # Due a minute after the failure: nothing before.
        self.assertEqual(self.run_faxmail("outbox", "--flush").returncode, 0)
        self.assertEqual(self.delivered(), [])
        for _ in range(2):
            result = self.run_faxmail("outbox", "--flush", clock="+2m")
            self.assertEqual(result.returncode, 0, result.stderr)
        [message] = self.delivered()
        problems = check(os.path.join(self.outdir, message[:-4]), {
            "rcpt": [GATEWAY], "from": "me@example.com",
            "attachments": [{"name": "scan.pdf", "path": queued}]})
        self.assertEqual(problems, [])
        self.assertEqual(self.listed(), [])
        self.assertEqual(os.listdir(self.copies), [])
        history = self.run_faxmail("history", "--json").stdout.splitlines()
        tries = [(r["outcome"], r["outbox_id"]) for r in map(json.loads, reversed(history))]
        self.assertEqual(tries, [("failed", entry["id"]), ("sent", entry["id"])])

    def test_what_each_refusal_leaves_in_the_outbox(self):
        cases = [
            ([("RCPT", "451 4.3.0 try again later\r\n")], QUEUED, "queued"),
            ([("DATA", "451 4.3.0 try again later\r\n")], QUEUED, "queued"),
            ([("RCPT", "550 5.1.1 no such user\r\n")], 3, None),
            ([(".", None)], 5, None),
        ]
        for replies, status, state in cases:
            with self.subTest(replies=replies):
                server = ScriptedSmtp(replies)
                self.addCleanup(server.stop)
                self.settings(server.port)
                before = {e["id"] for e in self.listed()}
                result = self.send("--queue")
                self.assertEqual(result.returncode, status, result.stderr)
                added = [e["state"] for e in self.listed() if e["id"] not in before]
                self.assertEqual(added, [state] if state else [])

    def test_ten_flushes_at_once_deliver_one_message(self):
        port = free_port()
        self.settings(port)
        self.assertEqual(self.send("--at", "+0").returncode, QUEUED)
        self.real_server(port)
        flushes = [subprocess.Popen([FAXMAIL, "outbox", "--flush"], env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(10)]
        for flush in flushes:
            _, err = flush.communicate(timeout=120)
            self.assertEqual(flush.returncode, 0, err)
        self.assertEqual(len(self.delivered()), 1)
        self.assertEqual(self.listed(), [])

    def test_a_flush_killed_in_the_middle_leaves_the_fax_due(self):
        # A server that accepts and never greets: the flush waits in the middle of its send.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        silent.settimeout(30)
        port = silent.getsockname()[1]
        self.settings(port)
        self.assertEqual(self.send("--at", "+0").returncode, QUEUED)
        flush = subprocess.Popen([FAXMAIL, "outbox", "--flush"], env=self.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        connection, _ = silent.accept()
        self.assertEqual([e["state"] for e in self.listed()], ["sending"])
        flush.send_signal(signal.SIGKILL)
        flush.wait(timeout=30)
        connection.close()
        silent.close()
        self.real_server(port)
        result = self.run_faxmail("outbox", "--flush")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(self.delivered()), 1)
        self.assertEqual(self.listed(), [])

    def test_sent_later_goes_out_at_its_time(self):
        port = free_port()
        self.settings(port)
        self.real_server(port)
        at = (datetime.datetime.now() + datetime.timedelta(hours=2)).strftime("%Y-%m-%d %H:%M")
        self.assertEqual(self.send("--at", at).returncode, QUEUED)
        self.assertEqual(self.run_faxmail("outbox", "--flush", clock="+1h").returncode, 0)
        self.assertEqual(self.delivered(), [])
        self.assertEqual(self.run_faxmail("outbox", "--flush", clock="+3h").returncode, 0)
        self.assertEqual(len(self.delivered()), 1)

    def test_a_fax_deleted_from_the_outbox_takes_its_copies(self):
        self.settings(free_port())
        self.assertEqual(self.send("--at", "+60").returncode, QUEUED)
        [entry] = self.listed()
        self.assertEqual(self.run_faxmail("outbox", "--delete", str(entry["id"])).returncode, 0)
        self.assertEqual((self.listed(), os.listdir(self.copies)), ([], []))
        self.assertEqual(self.run_faxmail("outbox", "--delete", str(entry["id"])).returncode, 1)


if __name__ == "__main__":
    FAXMAIL = sys.argv.pop(1)
    unittest.main()
