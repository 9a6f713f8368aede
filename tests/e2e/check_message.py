"""Checks messages stored by smtp_sink.py with Python's email package.

Usage: check_message.py BASE EXPECT.json
       check_message.py --many LIST.json
BASE is the stored message without its extension (OUTDIR/msgN). LIST holds a
JSON list of {"base": BASE, "expect": {...}}, to check many messages in one
run. EXPECT holds:
  "rcpt": the exact envelope recipients, in order
  "from": the envelope sender
  "subject_hex": the Subject header's raw bytes, hex
  "headers": {name: text}: each header as a reader decodes it, optional
  "dated": true: a Date a reader can turn into a time with its zone, and one
           Message-ID "<left@right>", optional
  "attachments": [{"name": file name, "path": file with the original bytes}, ...]
  "body_lines": the lines of the text part (or the whole body), decoded in
                the charset the part declares, optional
  "no_headers": header names that must be absent, optional
  "allowed_defects": defects, as the checker prints them, that this message
                     is known to have, optional
  "munpack": true: also unpack with munpack (mpack), a reader that knows no
             encoded words, and compare what it wrote with the attachments
  "rcpt_hidden": true: no envelope recipient appears in the header block
  "spam": true or a label: SpamAssassin's verdict with its local rules only
          (spamassassin -L -t): under SPAM_LIMIT points and none of
          FORM_RULES; printed as "spamassassin: LABEL: SCORE points, RULES"
  "spam_allowed": rules of FORM_RULES this message is known to hit, optional
The message is read as a receiving system reads it (email.policy.default),
and any defect the parser finds is a difference, except the two it reports
for an encoded word inside a quoted name= parameter: that fallback is there
on purpose, for readers that know no RFC 2231.
Prints what differs and exits 1, or prints "message ok" ("N messages ok"
with --many) and exits 0; a SpamAssassin verdict is printed before either.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
from email import message_from_bytes, policy

TOLERATED_NAME_DEFECTS = {"encoded word inside quoted string", "missing trailing whitespace after encoded-word"}

# A fax scored near the default threshold of 5 is filed as spam by one more
# rule elsewhere; what the program writes should cost nothing.
SPAM_LIMIT = 1.0
# Rules about the message's form, which the program alone decides.
FORM_RULES = re.compile(r"MISSING_HEADERS|REPLYTO_WITHOUT_TO_CC|FROM_MISSPACED|TO_NO_BRKTS_\w+|\w*OBFU\w*ATTACH\w*|MIME_\w+")


def path_bytes(path):
    """The file's own bytes: the tests write paths as UTF-8, whatever this process's locale."""
    return path if isinstance(path, bytes) else path.encode("utf-8", "surrogateescape")


def defects(msg):
    """Every defect of the message, its parts and their headers, as text."""
    found = []
    for part in msg.walk():
        found += ["%s: %s" % (part.get_content_type(), d) for d in part.defects]
        attachment = part.get_content_disposition() == "attachment"
        for name, value in part.items():
            for d in getattr(value, "defects", ()):
                if attachment and name.lower() == "content-type" and str(d) in TOLERATED_NAME_DEFECTS:
                    continue
                found.append("%s header %s: %s" % (part.get_content_type(), name, d))
    return found


def munpack_differences(raw, wanted):
    """Unpacks with munpack and compares its files, in order, with wanted."""
    with tempfile.TemporaryDirectory() as folder:
        eml = os.path.join(folder, "message.eml")
        with open(eml, "wb") as f:
            f.write(raw)
        out = os.path.join(folder, "out")
        os.mkdir(out)
        try:
            run = subprocess.run(["munpack", "-f", "-q", "-C", out, eml], capture_output=True, timeout=30)
        except FileNotFoundError:
            return ["munpack is not installed (Debian package mpack)"]
        # One line per file it wrote: "NAME (TYPE)".
        names = [re.sub(r" \([^()]*\)$", "", line) for line in run.stdout.decode("latin-1").splitlines()]
        names = [n for n in names if n]
        problems = []
        if len(names) != len(wanted):
            return ["munpack wrote %d files (%r), expected %d" % (len(names), names, len(wanted))]
        for name, want in zip(names, wanted):
            # munpack writes X for every character it keeps out of file names, and
            # knows no encoded words: a name sent as one (8-bit, or holding "=?") it shows raw.
            if want["name"].isascii() and "=?" not in want["name"] and name != re.sub(r"[^A-Za-z0-9#%+,\-.=@^_~]", "X", want["name"]):
                problems.append("munpack named %r for %r" % (name, want["name"]))
            with open(os.path.join(out, name), "rb") as f:
                data = f.read()
            if data != open(path_bytes(want["path"]), "rb").read():
                problems.append("munpack's %r differs from %s" % (name, want["path"]))
        return problems


def spam_verdict(raw):
    """SpamAssassin's score and rules hit, from its X-Spam-Status header. Local
    tests only: no DNS, no network; its settings and state in a scratch home."""
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, HOME=home)
        try:
            # Within the minute the C++ tests give this whole script.
            run = subprocess.run(["spamassassin", "-L", "-t"], input=raw, capture_output=True, timeout=45, env=env)
        except FileNotFoundError:
            raise RuntimeError("spamassassin is not installed (Debian package spamassassin)")
    # The header it adds, unfolded: "No, score=0.1 required=5.0 tests=A,B autolearn=...".
    status = re.search(rb"^X-Spam-Status:(.*(?:\r?\n[ \t].*)*)", run.stdout, re.M)
    text = re.sub(r"\s+", " ", status.group(1).decode("ascii", "replace")).replace(", ", ",") if status else ""
    found = re.search(r"score=(-?[0-9.]+) .*?tests=(\S+)", text)
    if not found:
        raise RuntimeError("spamassassin gave no verdict: %r" % run.stderr[-500:])
    rules = [] if found.group(2) == "none" else found.group(2).split(",")
    return float(found.group(1)), rules


def spam_differences(raw, label, allowed):
    """The verdict printed, and what in it would hold the message back."""
    score, rules = spam_verdict(raw)
    print("spamassassin: %s: %.1f points, %s" % (label, score, ",".join(rules) or "no rules"), flush=True)
    problems = ["spamassassin scores %.1f points, %.1f or more" % (score, SPAM_LIMIT)] if score >= SPAM_LIMIT else []
    return problems + ["spamassassin rule %s hit" % r for r in rules if FORM_RULES.fullmatch(r) and r not in allowed]


def check(base, expect):
    """Returns the list of differences between the stored message and expect."""
    raw = open(base + ".eml", "rb").read()
    rcpt = open(base + ".rcpt").read().split("\n")
    sender = open(base + ".from").read()
    problems = []
    if rcpt != expect["rcpt"]:
        problems.append("envelope recipients %r, expected %r" % (rcpt, expect["rcpt"]))
    if "from" in expect and sender != expect["from"]:
        problems.append("envelope sender %r, expected %r" % (sender, expect["from"]))

    header_block = raw.split(b"\r\n\r\n", 1)[0]
    subject = None
    for line in header_block.split(b"\r\n"):
        if line.lower().startswith(b"subject: "):
            subject = line[len(b"subject: "):]
    if "subject_hex" in expect and (subject is None or subject.hex() != expect["subject_hex"]):
        problems.append("subject bytes %r, expected %s" % (subject, expect["subject_hex"]))
    for name in expect.get("no_headers", []):
        for line in header_block.split(b"\r\n"):
            if line.lower().startswith(name.lower().encode() + b":"):
                problems.append("unexpected header line %r" % line)

    msg = message_from_bytes(raw, policy=policy.default)
    problems += [d for d in defects(msg) if d not in expect.get("allowed_defects", [])]
    for name, text in expect.get("headers", {}).items():
        if str(msg.get(name)) != text:
            problems.append("header %s reads %r, expected %r" % (name, str(msg.get(name)), text))
    if expect.get("dated"):
        date = msg.get("date")
        if date is None or date.datetime is None or date.datetime.tzinfo is None:
            problems.append("date %r is no time with a zone" % date)
        ids = msg.get_all("message-id", [])
        if len(ids) != 1 or not re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", str(ids[0])):
            problems.append("message ids %r" % ids)
    parts = [p for p in msg.walk() if p.get_content_disposition() == "attachment"]
    wanted = expect.get("attachments", [])
    if len(parts) != len(wanted):
        problems.append("%d attachments, expected %d" % (len(parts), len(wanted)))
    for part, want in zip(parts, wanted):
        name = part.get_filename()
        if name != want["name"]:
            problems.append("attachment named %r, expected %r" % (name, want["name"]))
        data = part.get_payload(decode=True) or b""
        original = open(path_bytes(want["path"]), "rb").read()
        if data != original:
            problems.append("attachment %r: %d bytes decoded, %d expected, equal=%s"
                            % (name, len(data), len(original), data == original))
    if "body_lines" in expect:
        text_part = msg if not msg.is_multipart() else next(
            p for p in msg.walk() if p.get_content_type() == "text/plain")
        body = text_part.get_content()
        lines = body.split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        # The text starts with the empty line that follows the header block.
        if lines[:1] == [""]:
            lines = lines[1:]
        if lines != expect["body_lines"]:
            problems.append("body lines %r, expected %r" % (lines, expect["body_lines"]))
    if expect.get("munpack"):
        problems += munpack_differences(raw, wanted)
    if expect.get("rcpt_hidden"):
        problems += ["envelope recipient %s in the header block" % r for r in rcpt if r.encode() in header_block]
    if expect.get("spam"):
        label = expect["spam"] if isinstance(expect["spam"], str) else os.path.basename(base)
        problems += spam_differences(raw, label, expect.get("spam_allowed", []))
    return problems


def main():
    if sys.argv[1] == "--many":
        items = json.load(open(sys.argv[2], encoding="utf-8"))
        problems = []
        for item in items:
            try:
                found = check(item["base"], item["expect"])
            except Exception as e:  # a missing or unreadable message is a difference too
                found = ["cannot check: %r" % e]
            problems += ["%s: %s" % (item["base"], p) for p in found]
        if problems:
            print("\n".join(problems))
            return 1
        print("%d messages ok" % len(items))
        return 0
    problems = check(sys.argv[1], json.load(open(sys.argv[2], encoding="utf-8")))
    if problems:
        print("\n".join(problems))
        return 1
    print("message ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
