"""Runs the built command line as a script would, against a real SMTP server.

Usage: cli_test.py FAXMAIL
"""
import email
import hashlib
import json
import locale
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
from scripted_smtp import ScriptedSmtp  # noqa: E402
import email  # noqa: E402
import email.policy  # noqa: E402
import ssl  # noqa: E402

FAXMAIL = None
HERE = os.path.dirname(os.path.abspath(__file__))
GATEWAY = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example"


def locale_bytes(arg):
    """An argument as a shell in this locale passes it; UTF-8 where the locale cannot hold it."""
    if isinstance(arg, bytes):
        return arg
    try:
        return os.fsencode(arg)
    except UnicodeEncodeError:
        return arg.encode("utf-8")


class CommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.outdir = os.path.join(cls.tmp.name, "mail")
        os.mkdir(cls.outdir)
        cls.port = free_port()
        cls.server = Controller(Store(cls.outdir), hostname="127.0.0.1", port=cls.port, decode_data=False)
        cls.server.start()
        # Throwaway certificates: localhost and 127.0.0.1 from a test authority.
        cls.certs = os.path.join(cls.tmp.name, "certs")
        os.mkdir(cls.certs)
        subprocess.run(["bash", os.path.join(HERE, "..", "support", "make_certs.sh"), cls.certs], check=True,
                       capture_output=True, timeout=60)
        cls.authority = os.path.join(cls.certs, "authority.pem")
        cls.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cls.tls.load_cert_chain(os.path.join(cls.certs, "server.pem"), os.path.join(cls.certs, "server.key"))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.home = tempfile.mkdtemp(dir=self.tmp.name)
        # The locale the suite runs this file in (C, zh_CN.UTF-8, zh_CN.GBK): strings given
        # to the program are encoded in it, as a user's shell would.
        self.env = {"PATH": os.environ.get("PATH", ""), "HOME": self.home, "LC_ALL": os.environ.get("LC_ALL", "C.UTF-8"),
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
        return subprocess.run([FAXMAIL, *map(locale_bytes, args)], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout, text=True)

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
                         ("001-212-5551234", "+1 212-555-1234", [GATEWAY], "me@example.com", "127.0.0.1", self.port, "none"))
        self.assertEqual([(f["name"], f["size"], f["sha256"]) for f in record["files"]],
                         [("page1.tif", 3000, digests[0]), ("page2.pdf", 70000, digests[1])])
        self.assertGreater(record["message_size"], 73000)
        self.assertNotIn("password", json.dumps(record))

    def test_refusals_and_usage_errors(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        doc = self.document("page.tif", 100, 3)
        silent_fifo, busy_fifo = os.path.join(self.home, "silent.pdf"), os.path.join(self.home, "busy.pdf")
        for fifo in (silent_fifo, busy_fifo):
            os.mkfifo(fifo)
        writer = os.open(busy_fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer that has bytes waiting
        os.write(writer, b"%PDF" * 1000)
        self.addCleanup(os.close, writer)
        cases = [
            (["send", "--number", "001-212", doc], 1, "传真号码的形式必须为"),
            (["send", "--number", "001-212-5551234", "--server", "", "--from", "ŝ@example.com", doc], 1,
             "邮件服务器或电子邮件不能为空白"),
            (["send", "--number", "009-999-1234567", doc], 1, "目前不能发送免费传真"),
            (["send", "--number", "001-212-5551234", os.path.join(self.home, "missing.pdf")], 1, "Cannot open file"),
            # Files without end: refused before anything reads them.
            (["send", "--number", "001-212-5551234", "/dev/zero"], 1, "Cannot open file /dev/zero"),
            (["send", "--number", "001-212-5551234", silent_fifo], 1, "Cannot open file"),
            (["send", "--number", "001-212-5551234", busy_fifo], 1, "Cannot open file"),
            (["send", "--number", "001-212-5551234", self.home], 1, "Cannot open file"),
            (["send", "--number", "001-212-5551234", "--port", "0", doc], 2, "--port"),
            (["send", "--number", "001-212-5551234", "--security", "ssl3", doc], 2, "--security"),
            (["send", "--bogus", doc], 2, "--bogus"),
            (["send", doc], 2, "--number"),
            (["send", "--number", "001-212-5551234", "--port", "25", "--port", "26", doc], 2, "--port"),
            (["send", "--number", "001-212-5551234", "--timeout", "soon", doc], 2, "--timeout"),
            (["check", "--number", "001-212-5551234"], 2, "--number"),
            (["coverage", "009-999-1234567"], 1, "目前不能发送免费传真"),
            (["coverage", "001-212-" + "5" * 10000], 1, "填入号码后的传真网关地址不是可用的邮件地址"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                result = self.faxmail(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stderr)
                self.assertEqual(result.stdout, "")
        # Each send attempt is recorded; usage errors are not attempts.
        outcomes = [(r["number_typed"], r["outcome"]) for r in reversed(self.history())]
        self.assertEqual(outcomes, [("001-212", "refused"), ("009-999-1234567", "refused")] +
                         [("001-212-5551234", "refused")] * 5)

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

    def test_file_names_arrive_as_receivers_should_show_them(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        # (bytes on the disk, the name a receiver shows)
        names = [(b"caf\xe9.pdf", "caf\ufffd.pdf"),                       # Latin-1: only the byte replaced
                 ("传真.pdf".encode(), "传真.pdf"),                           # UTF-8, in any locale
                 ("文件.doc".encode() + b"\xfea", "文件.doc\ufffda"),       # one undecodable byte
                 (b"=?UTF-8?B?Li4vLi4vZXZpbC5leGU=?=", "=?UTF-8?B?Li4vLi4vZXZpbC5leGU=?=")]  # shown literally
        paths = []
        for i, (raw, _) in enumerate(names):
            path = os.path.join(os.fsencode(self.home), raw)
            with open(path, "wb") as f:
                f.write(random.Random(i).randbytes(1000 + i))
            paths.append(path)
        before = set(os.listdir(self.outdir))
        result = subprocess.run([FAXMAIL, "send", "--number", "001-212-5551234", *paths], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        base = os.path.join(self.outdir, sorted(set(os.listdir(self.outdir)) - before)[0].split(".")[0])
        problems = check(base, {"rcpt": [GATEWAY], "munpack": True,
                                "attachments": [{"name": shown, "path": path} for (_, shown), path in zip(names, paths)]})
        self.assertEqual(problems, [])

    def test_receiving_filters_take_each_kind_of_fax_for_mail(self):
        """SpamAssassin with its local rules, as a gateway's mail host runs it, on each
        kind of fax as it arrives; the gateways stay out of every header."""
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        pdf, tiff = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n", b"II*\x00\x08\x00\x00\x00"
        london = "remote-printer.the_following_address@442071234567.iddd.faxgateway.example"
        # (kind, documents as (name, first bytes), more options, the gateways)
        kinds = [("a PDF", [("scan.pdf", pdf)], [], [GATEWAY]),
                 ("a TIFF", [("page.tif", tiff)], [], [GATEWAY]),
                 ("a Chinese file name", [("传真.pdf", pdf)], [], [GATEWAY]),
                 ("two numbers", [("page.tif", tiff)], ["-n", "0044-20-71234567"], [GATEWAY, london]),
                 ("a Chinese subject", [("scan.pdf", pdf)], ["--subject", "国际传真"], [GATEWAY])]
        for seed, (kind, documents, options, gateways) in enumerate(kinds):
            with self.subTest(kind):
                paths = []
                for name, signature in documents:  # named in UTF-8, whatever this locale
                    paths.append(os.path.join(os.fsencode(self.home), name.encode()))
                    with open(paths[-1], "wb") as f:
                        f.write(signature + random.Random(seed).randbytes(20000))
                before = set(os.listdir(self.outdir))
                result = self.faxmail("send", "-n", "001-212-5551234", *options, *paths)
                self.assertEqual(result.returncode, 0, result.stderr)
                base = os.path.join(self.outdir, sorted(set(os.listdir(self.outdir)) - before)[0].split(".")[0])
                label = "%s, %s" % (kind, self.env["LC_ALL"])
                problems = check(base, {"rcpt": gateways, "rcpt_hidden": True, "munpack": True, "spam": label,
                                        "headers": {"To": "undisclosed-recipients:;"}, "no_headers": ["CC", "Bcc"],
                                        "attachments": [{"name": name, "path": path}
                                                        for (name, _), path in zip(documents, paths)]})
                self.assertEqual(problems, [])

    def test_a_password_from_the_environment_logs_in_as_typed(self):
        user, password = "josé用户", "café密码"
        certs = self.certs  # the class's: a second authority would overwrite the one other tests trust
        outdir = os.path.join(self.home, "tls-mail")
        os.mkdir(outdir)
        # The server compares the UTF-8 bytes it is given here, whatever this locale.
        sink = subprocess.Popen([sys.executable, "-W", "ignore", os.path.join(HERE, "..", "e2e", "smtp_sink.py"), outdir,
                                 "--cert", os.path.join(certs, "server.pem"), "--key", os.path.join(certs, "server.key"),
                                 "--implicit-tls", "--login", ("%s:%s" % (user, password)).encode()],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            port = int(sink.stdout.readline().split()[1])
            env = dict(self.env, FAXMAIL_PASSWORD=password)
            result = subprocess.run([FAXMAIL, "send", "--number", "001-212-5551234", "--server", "localhost",
                                     "--from", "me@example.com", "--port", str(port), "--security", "tls",
                                     "--user", user, "--ca-file", os.path.join(certs, "authority.pem"),
                                     self.document("p.tif", 100, 6)],
                                    env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(outdir, "commands.log"), encoding="utf-8") as f:
                self.assertIn("login ok " + user, f.read().splitlines())
        finally:
            sink.stdin.close()
            sink.wait(timeout=10)

    def test_the_commands_load_neither_the_windows_nor_the_watch_nor_the_places(self):
        # What the dynamic loader maps before the program runs, as ldd lists it.
        loaded = subprocess.run([FAXMAIL], env=dict(self.env, LD_TRACE_LOADED_OBJECTS="1"), capture_output=True,
                                text=True, timeout=30).stdout
        for library in ["libQt6Widgets", "libQt6Gui", "libetpan", "libgeocoding", "libqt6keychain", "libQt6DBus"]:
            with self.subTest(library=library):
                self.assertNotIn(library, loaded)
        # Without a command it becomes the windows' program, which finds no display here.
        result = self.faxmail()
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("没有图形显示，无法打开窗口", result.stderr)

    def test_the_c_locale_gets_readable_chinese(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n")
        env = dict(self.env, LANG="C")
        del env["LC_ALL"]
        result = subprocess.run([FAXMAIL, "send", "--number", "001-212", self.document("p.tif", 10, 5)], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertIn("传真号码的形式必须为", result.stderr.decode("utf-8"))

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
                        while "的密码".encode(locale.getpreferredencoding(False)) not in shown and time.monotonic() < deadline:
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

    def test_a_damaged_setting_stops_the_send_unless_an_option_gives_it(self):
        doc = self.document("page.tif", 100, 8)
        cases = [("[smtp]\nsecurity=STARTTLS\n", [], 1, "smtp/security=STARTTLS"),
                 ("[smtp]\nport=abc\n", [], 1, "smtp/port=abc"),
                 ("[fax]\ngatewayPattern=fax@gw.example.org\n", [], 1, "fax/gatewayPattern=fax@gw.example.org"),
                 ("[smtp]\nport=abc\n", ["--port", str(self.port)], 0, "")]
        for damage, options, status, text in cases:
            with self.subTest(damage=damage, options=options):
                self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n" + damage.replace(
                    "[smtp]\n", "[smtp]\nport=%d\n" % self.port if "port=" not in damage else "[smtp]\n"))
                before = len([n for n in os.listdir(self.outdir) if n.endswith(".eml")])
                result = self.faxmail("send", "--number", "001-212-5551234", *options, doc)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stderr)
                if status:
                    self.assertIn(os.path.join(self.env["XDG_CONFIG_HOME"], "Morvane", "faxmail.conf"), result.stderr)
                after = len([n for n in os.listdir(self.outdir) if n.endswith(".eml")])
                self.assertEqual(after - before, 1 - status)

    def test_coverage_names_the_gateway_of_a_covered_number(self):
        result = self.faxmail("coverage", "001-212-5551234")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(GATEWAY, result.stdout)

    def test_coverage_says_what_was_understood_and_the_home_country_follows_the_locale(self):
        result = self.faxmail("coverage", "+1 (212) 555-1234")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "+1 212-555-1234  美国 New York, NY\n可以发送，网关地址：" + GATEWAY + "\n")
        # C names no territory: a national number needs its country code; zh_CN makes it Chinese.
        # Both locales print UTF-8, whichever locale this file runs in.
        def coverage_in(locale):
            result = subprocess.run([FAXMAIL, "coverage", "010-12345678"], env=dict(self.env, LC_ALL=locale),
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
            return result.returncode, result.stdout.decode(), result.stderr.decode()
        code, out, err = coverage_in("C.UTF-8")
        self.assertEqual((code, out), (1, ""))
        self.assertIn("请在号码前加上国家代码", err)
        code, out, err = coverage_in("zh_CN.UTF-8")
        self.assertEqual((code, out), (1, ""))
        self.assertTrue(err.startswith("+86 10 1234 5678  北京市\n对不起"), err)

    def test_ctrl_c_and_sigterm_stop_a_send_to_a_silent_server_at_once(self):
        for sig, status in [(signal.SIGINT, 130), (signal.SIGTERM, 143)]:
            with self.subTest(sig):
                self.stop_a_send_to_a_silent_server(sig, status)
        self.assertEqual([r["outcome"] for r in self.history()], ["stopped", "stopped"])

    def stop_a_send_to_a_silent_server(self, sig, status):
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
            proc.send_signal(sig)
            out, err = proc.communicate(timeout=5)
            self.assertLess(time.monotonic() - start, 1.0)
            self.assertEqual(proc.returncode, status, err)
            try:  # the connection was dropped: closed or reset, nothing sent
                self.assertEqual(connection.recv(100), b"")
            except ConnectionResetError:
                pass
            connection.close()
        finally:
            proc.kill()
            proc.wait()
            silent.close()

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
        self.assertEqual((record["outcome"], record["ended"], record["message_id"], record["confirmation"],
                          record["number_typed"]), ("unfinished", None, None, None, "001-212-5551234"))

    def scripted(self, replies=(), greeting="220 scripted ready\r\n", tls=False):
        server = ScriptedSmtp(replies, greeting, self.tls if tls else None)
        self.addCleanup(server.stop)
        return server

    def send_to(self, server, *extra, timeout=40):
        doc = self.document("page.tif", 3000, 5)
        return self.faxmail("send", "--number", "001-212-5551234", "--server", "localhost", "--from",
                            "me@example.com", "--port", str(server.port), *extra, doc, timeout=timeout)

    def test_each_failure_exits_by_kind_and_names_the_setting_to_change(self):
        self.env["FAXMAIL_PASSWORD"] = "s3cret"
        tls = ["--security", "tls", "--ca-file", self.authority, "--user", "me"]
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_port = closed.getsockname()[1]
        closed.close()
        # (server replies, greeting, TLS, options, status, texts, a command that must not have gone out)
        cases = [
            ("lookup failed", None, ["--server", "no..such.host"], 3, ["找不到邮件服务器 no..such.host", "（--server）"]),
            ("refused", None, ["--server", "127.0.0.1", "--port", str(closed_port)], 3,
             ["端口 %d 拒绝了连接" % closed_port, "（--port）"]),
            ("greeting 421", ([], "421 4.3.2 busy\r\n", False), [], 3, ["暂时无法处理", "（421 4.3.2 busy）"]),
            ("sender 553", ([("MAIL", "553 5.7.1 not yours\r\n")], None, False), [], 3,
             ["拒绝了发信人地址", "“您的电子邮件”（--from）", "永久的拒绝", "（553 5.7.1 not yours）"]),
            ("recipient 450", ([("RCPT", "450 4.2.1 try later\r\n")], None, False), [], 3,
             ["传真号码 001-212-5551234", "（--gateway）", "暂时的拒绝", "（450 4.2.1 try later）"], "DATA"),
            ("530 wants TLS", ([("MAIL", "530 5.7.0 Must issue a STARTTLS command first\r\n")], None, False), [], 4,
             ["要求先建立加密连接", "“安全连接”（--security）"]),
            # Postfix's submission port refuses RSET already.
            ("530 at RSET", ([("RSET", "530 5.7.0 Must issue a STARTTLS command first\r\n")], None, False), [], 4,
             ["要求先建立加密连接", "STARTTLS", "（--security）"], "MAIL"),
            ("STARTTLS 454", ([("EHLO", "250-scripted\r\n250 STARTTLS\r\n"), ("STARTTLS", "454 4.7.0 not now\r\n")],
                              None, False), ["--security", "starttls"], 4, ["拒绝启动 STARTTLS", "（--security）"]),
            ("login 535", ([("AUTH", "535 5.7.8 bad credentials\r\n")], None, True), tls, 4,
             ["用户名或密码不对", "（--user 和 FAXMAIL_PASSWORD）"], "MAIL"),
            ("login 454", ([("AUTH", "454 4.7.0 try later\r\n")], None, True), tls, 4, ["暂时无法验证登录（454）"], "MAIL"),
            ("login 534", ([("AUTH", "534 5.7.9 too weak\r\n")], None, True), tls, 4, ["不够安全（534）"], "MAIL"),
            ("untrusted", ([], None, True), ["--security", "tls"], 4, ["受信任的颁发机构", "“信任的证书”（--ca-file）"]),
            ("size", ([("EHLO", "250-scripted\r\n250-AUTH PLAIN\r\n250 SIZE 1000\r\n")], None, True), tls, 3,
             ["MB，超过了邮件服务器 localhost 允许的 0.0 MB"], "MAIL"),
            ("end mark unanswered", ([(".", "")], None, False), ["--timeout", "3"], 5, ["传真已全部发出，但没有收到服务器的确认"]),
            ("no greeting in time", ([], "", False), ["--timeout", "2"], 3, ["2 秒内没有完成发送"]),
        ]
        for name, script, options, status, texts, *absent in cases:
            with self.subTest(name):
                greeting = "220 scripted ready\r\n" if script and script[1] is None else script and script[1]
                server = self.scripted(script[0], greeting, script[2]) if script else None
                doc = self.document("page.tif", 3000, 6)
                target = ["--server", "localhost", "--port", str(server.port)] if server else []
                result = self.faxmail("send", "-n", "001-212-5551234", "--from", "me@example.com", *target, *options, doc)
                self.assertEqual(result.returncode, status, result.stderr)
                for text in texts:
                    self.assertIn(text, result.stderr)
                if absent:
                    self.assertFalse([line for line in server.lines if line.startswith(absent[0])], server.lines)

    def test_starttls_on_a_tls_only_port_ends_within_15_seconds(self):
        server = self.scripted(tls=True)
        start = time.monotonic()
        result = self.send_to(server, "--security", "starttls", "--ca-file", self.authority)
        self.assertLess(time.monotonic() - start, 15)
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertIn("还没有问候，仍在等待", result.stderr)
        self.assertIn("请把“安全连接”（--security）改为 SSL/TLS", result.stderr)

    def test_check_reports_a_working_set_up_and_proposes_one_for_a_wrong_one(self):
        self.env["FAXMAIL_PASSWORD"] = "s3cret"
        server = self.scripted(tls=True)
        common = ["check", "--server", "localhost", "--port", str(server.port), "--ca-file", self.authority,
                  "--user", "me", "--from", "me@example.com"]
        result = self.faxmail(*common, "--security", "tls")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("加密连接（SSL/TLS）已建立", result.stdout)
        self.assertIn("以 me 登录成功", result.stdout)
        self.assertIn("服务器接受的邮件最大 10.0 MB", result.stdout)
        self.assertIn("连接测试成功", result.stdout)
        self.assertNotIn("MAIL", " ".join(server.lines))
        result = self.faxmail(*common, "--security", "starttls", timeout=60)
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertIn("建议的设置：端口 %d，安全连接 SSL/TLS。" % server.port, result.stdout)
        self.assertIn("--port %d --security tls" % server.port, result.stdout)

    def test_check_timeout_bounds_the_whole_test_on_a_silent_port(self):
        server = self.scripted(greeting="")
        result = self.faxmail("check", "--server", "localhost", "--port", str(server.port), "--security", "none",
                              "--from", "me@example.com", "--timeout", "2", timeout=60)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("2 秒内没有完成连接测试，已停止。", result.stderr)

    def test_dry_run_writes_a_clean_message_and_connects_to_nothing(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(0.2)
        doc = self.document("scan.pdf", 5000, 7)
        result = self.faxmail("send", "--dry-run", "-n", "001-212-5551234", "--server", "127.0.0.1", "--port",
                              str(listener.getsockname()[1]), "--from", "me@example.com", "--subject", "Invoice 42", doc)
        self.assertEqual(result.returncode, 0, result.stderr)
        with self.assertRaises(socket.timeout):
            listener.accept()
        listener.close()
        message = email.message_from_string(result.stdout, policy=email.policy.default)
        self.assertEqual(message["Subject"], "Invoice 42")
        parts = list(message.iter_attachments())
        self.assertEqual([p.get_filename() for p in parts], ["scan.pdf"])
        with open(doc, "rb") as f:
            self.assertEqual(parts[0].get_content(), f.read())
        for part in message.walk():
            self.assertEqual(part.defects, [], part)

    def test_two_numbers_go_as_one_message_with_a_recipient_each(self):
        self.save_settings("[main]\nserver=127.0.0.1\nemail=me@example.com\n[smtp]\nport=%d\n" % self.port)
        before = set(os.listdir(self.outdir))
        doc = self.document("page.tif", 100, 8)
        result = self.faxmail("send", "-n", "001-212-5551234", "-n", "0044-20-71234567", doc)
        self.assertEqual(result.returncode, 0, result.stderr)
        gateways = [GATEWAY, "remote-printer.the_following_address@442071234567.iddd.faxgateway.example"]
        self.assertEqual(result.stdout.splitlines()[:-1], gateways)
        [record] = self.history()
        self.assertEqual((record["number_typed"], record["number"], record["place"], record["gateways"]),
                         ("001-212-5551234; 0044-20-71234567", "+1 212-555-1234; +44 20 7123 4567",
                          "美国 New York, NY; 英国 London", gateways))
        self.assertEqual(result.stdout.splitlines()[-1].split(" ")[0], record["message_id"])
        stored = sorted(set(os.listdir(self.outdir)) - before)
        self.assertEqual(len([n for n in stored if n.endswith(".eml")]), 1)
        rcpt = [n for n in stored if n.endswith(".rcpt")][0]
        with open(os.path.join(self.outdir, rcpt)) as f:
            self.assertEqual(f.read().split(), gateways)

    def test_verbose_shows_the_dialogue_without_the_password(self):
        self.env["FAXMAIL_PASSWORD"] = "s3cr3t-pw"
        server = self.scripted(tls=True)
        result = self.send_to(server, "--security", "tls", "--ca-file", self.authority, "--user", "me", "--verbose")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("C: AUTH PLAIN ****", result.stderr)
        self.assertIn("S: 235 ****", result.stderr)
        self.assertIn("C: MAIL FROM:<me@example.com>", result.stderr)
        auth = [line for line in server.lines if line.startswith("AUTH PLAIN ")][0]
        for secret in ("s3cr3t-pw", auth.split()[2]):
            self.assertNotIn(secret, result.stderr)


if __name__ == "__main__":
    FAXMAIL = sys.argv.pop(1)
    unittest.main()
