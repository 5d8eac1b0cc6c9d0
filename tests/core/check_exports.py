#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails when a shared library's exports differ from its list: a name exported but not listed,
or listed but not exported (a function dropped or left hidden by mistake).

Usage: check_exports.py LIB NAMES_FILE [LIB NAMES_FILE ...]
"""
import subprocess
import sys


def listed(path):
    names = set()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line)
    return names


def exported(lib):
    out = subprocess.run(["nm", "-D", "--defined-only", lib], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def main(args):
    failed = False
    for lib, names_file in zip(args[0::2], args[1::2]):
        allowed = listed(names_file)
        actual = exported(lib)
        for names, what in ((sorted(actual - allowed), f"exports names not in {names_file}"),
                            (sorted(allowed - actual), f"lacks names listed in {names_file}")):
            if names:
                failed = True
                print(f"{lib} {what}:")
                for name in names:
                    print(f"  {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
