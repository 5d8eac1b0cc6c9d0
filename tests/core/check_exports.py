#!/usr/bin/env python3
"""Fails when a shared library exports a symbol that is not on its list.

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
        extra = sorted(exported(lib) - allowed)
        if extra:
            failed = True
            print(f"{lib} exports names not in {names_file}:")
            for name in extra:
                print(f"  {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
