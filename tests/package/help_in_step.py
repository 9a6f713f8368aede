#!/usr/bin/python3
"""The man page and the bash completion name exactly the commands, options
and exit statuses that `faxmail --help` names.
Usage: help_in_step.py FAXMAIL SOURCE_DIR"""
import os
import re
import subprocess
import sys

faxmail, source = sys.argv[1], sys.argv[2]
env = dict(os.environ, LC_ALL="C.UTF-8")
help_text = subprocess.run([faxmail, "--help"], capture_output=True, text=True, check=True, env=env).stdout
man = open(os.path.join(source, "packaging/faxmail.1"), encoding="utf-8").read().replace("\\-", "-")
completion = open(os.path.join(source, "packaging/faxmail.bash"), encoding="utf-8").read()


def commands(text):
    return set(re.findall(r"^\s*faxmail (?!-)([a-z]+)\b", text, re.M)) - {"faxmail"}


def options(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", text))


def statuses(text):
    return set(re.findall(r"(\d+) [^\d；;\n]+", text.split("退出状态", 1)[1].split("\n\n")[0]))


man_statuses = set(re.findall(r'^\.B (\d+)$', man.split('.SH "EXIT STATUS"', 1)[1].split(".SH", 1)[0], re.M))
failures = []
for what, wanted, found in [
    ("commands in the man page", commands(help_text), set(re.findall(r"^\.B faxmail ([a-z]+)", man, re.M))),
    ("options in the man page", options(help_text), options(man)),
    ("exit statuses in the man page", statuses(help_text), man_statuses),
    ("commands in the completion", commands(help_text), set(re.search(r'commands="([^"]*)"', completion).group(1).split())),
    ("options in the completion", options(help_text),
     options(" ".join(re.findall(r'(?:_options=|-W )"([^"$]*)"', completion)))),
]:
    if wanted != found:
        failures.append(f"{what}: missing {sorted(wanted - found)}, not in --help {sorted(found - wanted)}")
print("\n".join(failures) or "the man page and the completion follow --help")
sys.exit(1 if failures else 0)
