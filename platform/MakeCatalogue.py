#!/usr/bin/env python3
"""Writes the catalogue header: each text of Catalogue.txt in the code page's
bytes, so that the layers below the front ends raise what the windows show
without converting at run time. Usage: MakeCatalogue.py Catalogue.txt OUT.h"""
import json
import sys


def escaped(text):
    # Every byte outside printable ASCII as \xNN, and a literal break after
    # each one followed by a hex digit, which C would read into the escape.
    out, after_escape = [], False
    for byte in text.encode("gb2312"):
        char = chr(byte)
        if byte < 0x20 or byte > 0x7E or char in '"\\?':
            out.append("\\x%02x" % byte)
            after_escape = True
            continue
        if after_escape and char in "0123456789abcdefABCDEF":
            out.append('""')
        out.append(char)
        after_escape = False
    return '"' + "".join(out) + '"'


def main(source, target):
    lines = ["// Written by the build from platform/Catalogue.txt: edit that file.", "#pragma once", ""]
    namespace = None
    for number, line in enumerate(open(source, encoding="utf-8").read().splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            if namespace:
                lines += ["}  // namespace " + namespace, ""]
            namespace = stripped[1:-1]
            lines.append("namespace " + namespace + " {")
            continue
        if stripped.startswith("//"):
            lines.append(stripped)
            continue
        name, sep, text = stripped.partition(" = ")
        if not sep or not namespace or not name.isidentifier():
            sys.exit("%s:%d: expected name = \"text\" inside a [namespace]" % (source, number))
        try:
            value = json.loads(text)
            bytes_ = escaped(value)
        except (ValueError, UnicodeEncodeError) as error:
            sys.exit("%s:%d: %s" % (source, number, error))
        lines.append("inline constexpr char %s[] = %s;" % (name, bytes_))
    if namespace:
        lines.append("}  // namespace " + namespace)
    with open(target, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
