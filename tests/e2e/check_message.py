"""Checks one message stored by smtp_sink.py with Python's email package.

Usage: check_message.py BASE EXPECT.json
BASE is the stored message without its extension (OUTDIR/msgN). EXPECT holds:
  "rcpt": the exact envelope recipients, in order
  "from": the envelope sender
  "subject_hex": the Subject header's raw bytes, hex
  "attachments": [{"name": file name, "path": file with the original bytes}, ...]
  "body_lines": the lines of the text part (or the whole body), optional
  "no_headers": header names that must be absent, optional
Prints what differs and exits 1, or prints "message ok" and exits 0.
"""
import json
import sys
from email import message_from_bytes, policy


def main():
    base, expect_path = sys.argv[1], sys.argv[2]
    expect = json.load(open(expect_path))
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
    if problems:
        print("\n".join(problems))
        return 1
    print("message ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
