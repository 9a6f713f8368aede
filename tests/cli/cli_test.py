"""Runs the built command line as a script would, against a real SMTP server.

Usage: cli_test.py FAXMAIL
"""
import os
import pty
import random
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import fcntl

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
                    "XDG_CONFIG_HOME": os.path.join(self.home, "config")}

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

    def faxmail(self, *args, timeout=30):
        return subprocess.run([FAXMAIL, *args], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, text=True)

    def test_send_takes_saved_settings_and_options_override_them(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=saved@example.com\n[smtp]\nport=%d\n" % self.port)
        before = set(os.listdir(self.outdir))
        docs = [self.document("page1.tif", 3000, 1), self.document("page2.pdf", 70000, 2)]
        result = self.faxmail("send", "--number", "001-212-5551234", "--from", "me@example.com", *docs)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, GATEWAY + "\n")
        self.assertIn("已与传真服务器连接上", result.stderr)
        stored = sorted(set(os.listdir(self.outdir)) - before)
        self.assertEqual(len([n for n in stored if n.endswith(".eml")]), 1)
        base = os.path.join(self.outdir, stored[0].split(".")[0])
        problems = check(base, {"rcpt": [GATEWAY], "from": "me@example.com",
                                "attachments": [{"name": os.path.basename(p), "path": p} for p in docs]})
        self.assertEqual(problems, [])

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

    def test_no_command_ends_by_an_uncaught_exception(self):
        for number in ["001--1234567", "abc-212-1", "001-99999999999-1"]:
            with self.subTest(number=number):
                result = self.faxmail("coverage", number)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("国家号和区号必须是数字", result.stderr)
                self.assertEqual(result.stdout, "")

    def test_a_closed_output_changes_nothing_of_the_send(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        doc = self.document("page.tif", 100, 5)
        cases = [("stdout", "001-212-5551234", 0, 1), ("stderr", "001-212-5551234", 0, 1),
                 ("both", "001-212-5551234", 0, 1), ("both", "009-999-1234567", 1, 0)]
        for closed, number, status, delivered in cases:
            with self.subTest(closed=closed, number=number):
                before = len([n for n in os.listdir(self.outdir) if n.endswith(".eml")])
                reader, writer = os.pipe()
                os.close(reader)  # as "| head -1" after its line
                try:
                    out = writer if closed in ("stdout", "both") else subprocess.DEVNULL
                    err = writer if closed in ("stderr", "both") else subprocess.DEVNULL
                    result = subprocess.run([FAXMAIL, "send", "--number", number, doc], env=self.env,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=30)
                finally:
                    os.close(writer)
                self.assertEqual(result.returncode, status)
                after = len([n for n in os.listdir(self.outdir) if n.endswith(".eml")])
                self.assertEqual(after - before, delivered)

    def prompting(self, port, extra_env=None):
        """Starts a send that logs in and so asks for the password on a terminal of its own."""
        master, slave = os.openpty()

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        env = dict(self.env, **(extra_env or {}))
        proc = subprocess.Popen([FAXMAIL, "send", "--number", "001-212-5551234", "--server", "127.0.0.1",
                                 "--port", str(port), "--security", "starttls", "--user", "me@example.com",
                                 "--from", "me@example.com", self.document("page.tif", 100, 6)],
                                env=env, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True, preexec_fn=take_terminal, text=True)
        os.close(slave)
        return master, proc

    def test_the_password_prompt_is_interrupted_or_refuses_an_empty_password(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(0.3)
        try:
            for typed, status, text in [(b"\x03", 130, "已中断"), (b"\r", 1, "密码不能为空")]:
                with self.subTest(typed=typed):
                    master, proc = self.prompting(listener.getsockname()[1])
                    try:
                        shown = b""
                        deadline = time.monotonic() + 10
                        while "的密码".encode() not in shown and time.monotonic() < deadline:
                            if select.select([master], [], [], 0.5)[0]:
                                shown += os.read(master, 1000)
                        os.write(master, typed)
                        out, err = proc.communicate(timeout=5)
                        self.assertEqual(proc.returncode, status, err)
                        self.assertIn(text, err)
                        with self.assertRaises(socket.timeout):  # nothing was sent: no connection
                            listener.accept()[0].close()
                    finally:
                        proc.kill()
                        proc.wait()
                        os.close(master)
        finally:
            listener.close()

    def test_the_password_variable_is_gone_once_read(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        silent.settimeout(10)
        secret = "pw-%d-secret" % random.Random().randrange(10 ** 9)
        master, proc = self.prompting(silent.getsockname()[1], {"FAXMAIL_PASSWORD": secret})
        try:
            connection, _ = silent.accept()  # the password has been read by now
            with open("/proc/%d/environ" % proc.pid, "rb") as f:
                environment = f.read()
            self.assertNotIn(secret.encode(), environment)
            self.assertNotIn(b"FAXMAIL_PASSWORD=" + secret.encode(), environment)
            connection.close()
        finally:
            proc.kill()
            proc.wait()
            os.close(master)
            silent.close()

    def test_options_before_the_command_are_a_usage_error(self):
        doc = self.document("page.tif", 100, 7)
        for args in [["-n", "001-212-5551234", "send", doc], ["--server", "127.0.0.1", "send", "-n", "001-212-5551234", doc]]:
            with self.subTest(args=args):
                result = self.faxmail(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("选项要写在命令之后", result.stderr)

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


if __name__ == "__main__":
    FAXMAIL = sys.argv.pop(1)
    unittest.main()
