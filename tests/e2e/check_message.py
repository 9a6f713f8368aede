"""Checks messages stored by smtp_sink.py with Python's email package.

Usage: check_message.py BASE EXPECT.json
       check_message.py --many LIST.json
BASE is the stored message without its extension (OUTDIR/msgN). LIST holds a
JSON list of {"base": BASE, "expect": {...}}, to check many messages in one
run. EXPECT holds:
  "rcpt": the exact envelope recipients, in order
  "from": the envelope sender
  "subject_hex": the Subject header's raw bytes, hex
  "attachments": [{"name": file name, "path": file with the original bytes}, ...]
  "body_lines": the lines of the text part (or the whole body), optional
  "no_headers": header names that must be absent, optional
Prints what differs and exits 1, or prints "message ok" ("N messages ok"
with --many) and exits 0.
"""
import json
import sys
from email import message_from_bytes, policy


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

    msg = message_from_bytes(raw, policy=policy.compat32)
    parts = [p for p in msg.walk() if p.get_content_disposition() == "attachment"]
    wanted = expect.get("attachments", [])
    if len(parts) != len(wanted):
        problems.append("%d attachments, expected %d" % (len(parts), len(wanted)))
    for part, want in zip(parts, wanted):
        name = part.get_filename()
        if name != want["name"]:
            problems.append("attachment named %r, expected %r" % (name, want["name"]))
        data = part.get_payload(decode=True) or b""
        original = open(want["path"], "rb").read()
        if data != original:
            problems.append("attachment %r: %d bytes decoded, %d expected, equal=%s"
                            % (name, len(data), len(original), data == original))
    if "body_lines" in expect:
        text_part = msg if not msg.is_multipart() else next(
            p for p in msg.walk() if p.get_content_type() == "text/plain")
        body = text_part.get_payload(decode=True).decode("latin-1")
        lines = body.split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        # The text starts with the empty line that follows the header block.
        if lines[:1] == [""]:
            lines = lines[1:]
        if lines != expect["body_lines"]:
            problems.append("body lines %r, expected %r" % (lines, expect["body_lines"]))
    return problems


def main():
    if sys.argv[1] == "--many":
        items = json.load(open(sys.argv[2]))
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
    problems = check(sys.argv[1], json.load(open(sys.argv[2])))
    if problems:
        print("\n".join(problems))
        return 1
    print("message ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
