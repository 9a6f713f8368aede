"""Runs the built command line as a script would, against a real SMTP server.

Usage: cli_test.py FAXMAIL
"""
import email
import hashlib
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from aiosmtpd.controller import Controller  # noqa: E402
from check_message import check  # noqa: E402
from smtp_sink import Store, free_port  # noqa: E402

FAXMAIL = None
GATEWAY = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example"


class CommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.outdir = os.path.join(cls.tmp.name, "mail")
        os.mkdir(cls.outdir)
        cls.port = free_port()
        cls.server = Controller(Store(cls.outdir), hostname="127.0.0.1", port=cls.port, decode_data=False)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.home = tempfile.mkdtemp(dir=self.tmp.name)
        self.env = {"PATH": os.environ.get("PATH", ""), "HOME": self.home, "LC_ALL": "C.UTF-8",
                    "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
                    "XDG_DATA_HOME": os.path.join(self.home, "data")}
        self.history_file = os.path.join(self.home, "data", "Morvane", "faxmail", "history.sqlite")

    def save_settings(self, text):
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "Morvane")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "faxmail.conf"), "w") as f:
            f.write(text)

    def document(self, name, size, seed):
        path = os.path.join(self.home, name)
        with open(path, "wb") as f:
            f.write(random.Random(seed).randbytes(size))
        return path

    def history(self):
        result = self.faxmail("history", "--limit", "0", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return [json.loads(line) for line in result.stdout.splitlines()]

    def received_message_ids(self, names):
        ids = []
        for name in names:
            with open(os.path.join(self.outdir, name), "rb") as f:
                ids.append(email.message_from_binary_file(f)["Message-ID"])
        return ids

    def faxmail(self, *args, timeout=30):
        return subprocess.run([FAXMAIL, *args], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, text=True)

    def test_send_takes_saved_settings_and_options_override_them(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=saved@example.com\n[smtp]\nport=%d\n" % self.port)
        before = set(os.listdir(self.outdir))
        docs = [self.document("page1.tif", 3000, 1), self.document("page2.pdf", 70000, 2)]
        result = self.faxmail("send", "--number", "001-212-5551234", "--from", "me@example.com", *docs)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("已与传真服务器连接上", result.stderr)
        stored = sorted(set(os.listdir(self.outdir)) - before)
        emls = [n for n in stored if n.endswith(".eml")]
        self.assertEqual(len(emls), 1)
        base = os.path.join(self.outdir, stored[0].split(".")[0])
        problems = check(base, {"rcpt": [GATEWAY], "from": "me@example.com",
                                "attachments": [{"name": os.path.basename(p), "path": p} for p in docs]})
        self.assertEqual(problems, [])
        # Second line: the Message-ID the server received and its reply to the end of the message.
        message_id = self.received_message_ids(emls)[0]
        self.assertEqual(result.stdout, GATEWAY + "\n" + message_id + " 250 OK stored\n")
        [record] = self.history()
        digests = [hashlib.sha256(open(p, "rb").read()).hexdigest() for p in docs]
        self.assertEqual((record["outcome"], record["message_id"], record["reply"], record["front_end"]),
                         ("sent", message_id, "250 OK stored", "command line"))
        self.assertEqual((record["number_typed"], record["number"], record["gateways"], record["sender"],
                          record["server"], record["port"], record["protection"]),
                         ("001-212-5551234", "12125551234", [GATEWAY], "me@example.com", "127.0.0.1", self.port, "none"))
        self.assertEqual([(f["name"], f["size"], f["sha256"]) for f in record["files"]],
                         [("page1.tif", 3000, digests[0]), ("page2.pdf", 70000, digests[1])])
        self.assertGreater(record["message_size"], 73000)
        self.assertNotIn("password", json.dumps(record))

    def test_refusals_and_usage_errors(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        doc = self.document("page.tif", 100, 3)
        cases = [
            (["send", "--number", "001-212", doc], 1, "传真号码的形式必须为"),
            (["send", "--number", "009-999-1234567", doc], 1, "目前不能发送免费传真"),
            (["send", "--number", "001-212-5551234", os.path.join(self.home, "missing.pdf")], 1, "Cannot open file"),
            (["send", "--number", "001-212-5551234", "--port", "0", doc], 2, "--port"),
            (["send", "--number", "001-212-5551234", "--security", "ssl3", doc], 2, "--security"),
            (["send", "--bogus", doc], 2, "--bogus"),
            (["send", doc], 2, "--number"),
            (["coverage", "009-999-1234567"], 1, "目前不能发送免费传真"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                result = self.faxmail(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stderr)
                self.assertEqual(result.stdout, "")
        # Each send attempt is recorded; usage errors are not attempts.
        outcomes = [(r["number_typed"], r["outcome"]) for r in reversed(self.history())]
        self.assertEqual(outcomes, [("001-212", "refused"), ("009-999-1234567", "refused"),
                                    ("001-212-5551234", "failed")])

    def test_concurrent_sends_are_all_recorded(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        doc = self.document("page.tif", 20000, 5)
        procs = [subprocess.Popen([FAXMAIL, "send", "--number", "001-212-555123%d" % i, doc], env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for i in range(5)]
        ids = set()
        for proc in procs:
            out, err = proc.communicate(timeout=60)
            self.assertEqual(proc.returncode, 0, err)
            ids.add(out.splitlines()[1].split(" ")[0])
        records = self.history()
        self.assertEqual(sorted(r["number_typed"] for r in records), ["001-212-555123%d" % i for i in range(5)])
        self.assertEqual({r["message_id"] for r in records if r["outcome"] == "sent"}, ids)
        self.assertEqual(len(ids), 5)

    def test_a_damaged_history_is_set_aside_and_the_send_goes_on(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        os.makedirs(os.path.dirname(self.history_file))
        with open(self.history_file, "wb") as f:
            f.write(b"this is not a database" * 300)
        result = self.faxmail("send", "--number", "001-212-5551234", self.document("page.tif", 100, 6))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("发送记录文件已损坏或无法读取", result.stderr)
        aside = [n for n in os.listdir(os.path.dirname(self.history_file)) if ".damaged-" in n]
        self.assertEqual(len(aside), 1)
        self.assertEqual([r["outcome"] for r in self.history()], ["sent"])

    def test_coverage_names_the_gateway_of_a_covered_number(self):
        result = self.faxmail("coverage", "001-212-5551234")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(GATEWAY, result.stdout)

    def test_ctrl_c_stops_a_send_to_a_silent_server_at_once(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        silent.settimeout(10)
        doc = self.document("page.tif", 100, 4)
        proc = subprocess.Popen([FAXMAIL, "send", "--number", "001-212-5551234", "--server", "127.0.0.1",
                                 "--from", "me@example.com", "--port", str(silent.getsockname()[1]), doc],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            connection, _ = silent.accept()  # the greeting never comes
            time.sleep(0.2)
            start = time.monotonic()
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=5)
            self.assertLess(time.monotonic() - start, 1.0)
            self.assertEqual(proc.returncode, 130, err)
            try:  # the connection was dropped: closed or reset, nothing sent
                self.assertEqual(connection.recv(100), b"")
            except ConnectionResetError:
                pass
            connection.close()
        finally:
            proc.kill()
            proc.wait()
            silent.close()
        self.assertEqual([r["outcome"] for r in self.history()], ["stopped"])

    def test_a_killed_send_leaves_its_record_unfinished(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        silent.settimeout(10)
        proc = subprocess.Popen([FAXMAIL, "send", "--number", "001-212-5551234", "--server", "127.0.0.1",
                                 "--from", "me@example.com", "--port", str(silent.getsockname()[1]),
                                 self.document("page.tif", 100, 7)],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            connection, _ = silent.accept()
            proc.kill()
            proc.wait(timeout=5)
            connection.close()
        finally:
            proc.kill()
            proc.wait()
            silent.close()
        [record] = self.history()
        self.assertEqual((record["outcome"], record["ended"], record["number_typed"]),
                         ("unfinished", "", "001-212-5551234"))


if __name__ == "__main__":
    FAXMAIL = sys.argv.pop(1)
    unittest.main()
