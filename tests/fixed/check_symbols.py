#!/usr/bin/env python3
"""The fixed-point objects use no heap and call nothing else of the library.

usage: check_symbols.py NM OBJECTS  (the library's objects, separated by ';'; those under
                                     fixed/ are checked)
"""
import os
import subprocess
import sys

HEAP = {"malloc", "calloc", "realloc", "free", "aligned_alloc", "posix_memalign", "strdup",
        "_Znwm", "_Znam", "_ZdlPv", "_ZdaPv", "_ZnwmRKSt9nothrow_t", "_ZnamRKSt9nothrow_t",
        "_ZdlPvm", "_ZdaPvm"}


def main():
    nm = sys.argv[1]
    objects = [o for arg in sys.argv[2:] for o in arg.split(";")
               if os.path.basename(os.path.dirname(o)) == "fixed"]
    bad = []
    for obj in objects:
        out = subprocess.run([nm, "-u", obj], capture_output=True, text=True, check=True).stdout
        for line in out.split():
            name = line.strip()
            if name in HEAP or name.startswith("_ZnwmSt") or name.startswith("_ZnamSt"):
                bad.append((obj, name, "heap"))
            elif (name.startswith("kiv") and not name.startswith("kivFixed")) or \
                    (name.startswith("_ZN3kiv") and not name.startswith("_ZN3kiv5fixed")):
                bad.append((obj, name, "library"))
    for obj, name, why in bad:
        print("%s: %s (%s)" % (obj, name, why))
    print("checked %d objects, %d problems" % (len(objects), len(bad)))
    return 1 if bad or not objects else 0


if __name__ == "__main__":
    sys.exit(main())
