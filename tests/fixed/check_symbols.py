#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The fixed-point objects use no heap and call nothing else of the library.

usage: check_symbols.py NM OBJECTS  (the library's objects separated by ';'; those in fixed/ count)
"""
import os, re, subprocess, sys

HEAP = re.compile(r"(malloc|calloc|realloc|free|aligned_alloc|posix_memalign|strdup|_Zn[wa]m.*"
                  r"|_Zd[la]Pv.*)$")
OTHER = re.compile(r"kiv(?!Fixed)|_ZN3kiv(?!5fixed)")
objects = [o for arg in sys.argv[2:] for o in arg.split(";")
           if os.path.basename(os.path.dirname(o)) == "fixed"]
bad = [(o, name) for o in objects for name in subprocess.run(
    [sys.argv[1], "-u", o], capture_output=True, text=True, check=True).stdout.split()
    if HEAP.match(name) or OTHER.match(name)]
for obj, name in bad:
    print("%s: %s" % (obj, name))
print("checked %d objects, %d problems" % (len(objects), len(bad)))
sys.exit(1 if bad or not objects else 0)
