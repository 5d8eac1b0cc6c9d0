#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs docs/tutorial.md as a reader would: installs the build into a fresh prefix, writes every
file the page shows, runs every ```sh block in order in one shell, and checks that each line
of a ```text block after a ```sh block appears in that block's output.

A fenced block is ```sh (commands), ```text (output), or ```LANG FILE (the contents of FILE);
any other block is an error, so that nothing on the page escapes the test.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = "@@tutorial-block {}@@"


def parse(markdown):
    """The page's fenced blocks as (kind, file name or None, text), in order."""
    blocks, current = [], None
    for number, line in enumerate(markdown.splitlines(), 1):
        if current is None:
            match = re.match(r"^```(\S*)\s*(\S*)\s*$", line)
            if match:
                current = (match.group(1), match.group(2) or None, [], number)
            continue
        if line.startswith("```"):
            kind, name, lines, start = current
            if kind not in ("sh", "text") and not name:
                sys.exit(f"tutorial.md:{start}: a ```{kind} block names no file to write")
            blocks.append((kind, name, "\n".join(lines) + "\n"))
            current = None
        else:
            current[2].append(line)
    if current is not None:
        sys.exit(f"tutorial.md:{current[3]}: block not closed")
    return blocks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--doc", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--sanitize", default="")
    args = parser.parse_args()

    with open(args.doc, encoding="utf-8") as f:
        blocks = parse(f.read())
    root = tempfile.mkdtemp(prefix="kiv-tutorial-")
    try:
        prefix, work = os.path.join(root, "prefix"), os.path.join(root, "work")
        os.makedirs(work)
        subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)

        script, expected = ["set -eu"], []
        for index, (kind, name, text) in enumerate(blocks):
            if name:
                with open(os.path.join(work, name), "w", encoding="utf-8") as f:
                    f.write(text)
            elif kind == "sh":
                script += [f"echo '{MARKER.format(index)}'", text]
            elif index > 0 and blocks[index - 1][0] == "sh":
                expected.append((index - 1, text))

        flags = f"-fsanitize={args.sanitize}" if args.sanitize else ""
        # The instrumented library needs the sanitizer's C++ runtime, also in a C host.
        link = flags
        if flags and "clang" in args.cc:
            link += " -fsanitize-link-c++-runtime -Wl,--no-as-needed -lstdc++"
        env = dict(os.environ, PREFIX=prefix, CC=args.cc, CXX=args.cxx, CFLAGS=flags,
                   CXXFLAGS=flags, LDFLAGS=link, KIV_REGISTRY_USER=os.path.join(root, "user.db"),
                   KIV_REGISTRY_MACHINE=os.path.join(root, "machine.db"))
        run = subprocess.run(["bash", "-c", "\n".join(script)], cwd=work, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0:
            sys.exit(f"the tutorial's commands failed ({run.returncode}):\n{run.stdout}")

        outputs = {}
        for part in re.split(r"^@@tutorial-block (\d+)@@\n", run.stdout, flags=re.M)[1:]:
            if part.isdigit():
                number = int(part)
            else:
                outputs[number] = part
        for index, text in expected:
            for line in filter(None, text.splitlines()):
                if line not in outputs.get(index, ""):
                    sys.exit(f"expected '{line}' in the output of:\n{blocks[index][2]}\n"
                             f"which printed:\n{outputs.get(index)}")
        print(f"{len(blocks)} blocks, {len(expected)} outputs checked")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
