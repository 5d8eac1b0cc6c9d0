# SPDX-License-Identifier: Apache-2.0
# Proxy classes and their methods keep pointing into the type information they were made from:
# that must outlive a change of the library on disk, which frees versions nobody holds.
import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import os, sys
    import kiv

    folder = sys.argv[1]
    path = os.path.join(folder, "life.tlb")

    def write_version(extra):
        scratch = os.path.join(folder, "new.tlb")
        kiv.idl.compile(source="module Life { interface ICount { long twice(in long x); %s }; };"
                        % extra, output=scratch)
        os.replace(scratch, path)

    @kiv.implements("IDL:Life/ICount:1.0")
    class Twice:
        def twice(self, x):
            return 2 * x
        def thrice(self, x):
            return 3 * x

    write_version("")
    kiv.register_library(path)
    first = kiv.wrap(Twice())  # makes the proxy class, from the first version
    assert first.twice(21) == 42
    del first  # the first version is now held by the package alone
    for round in range(20):
        write_version("long thrice(in long x);" * (round % 2))
        # Each new object reads the changed library, freeing versions nobody holds; its proxy
        # class is still the first one, whose methods point into the first version.
        new = kiv.wrap(Twice())
        assert new.twice(round) == 2 * round
        del new
    print("ok")
""")


def test_proxies_outlive_changes_of_their_library(tmp_path):
    # Freed memory is overwritten at once and not handed out again soon (no per-thread caches,
    # no fast bins), so that a method pointing into a freed version fails rather than finding
    # the next version's data in the same place.
    env = dict(os.environ, MALLOC_PERTURB_="165",
               GLIBC_TUNABLES="glibc.malloc.tcache_count=0:glibc.malloc.mxfast=0")
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(tmp_path)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
