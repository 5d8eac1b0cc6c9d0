# SPDX-License-Identifier: Apache-2.0
"""Builds the extension module kiv._kiv from the same sources as the CMake build.

    pip install --no-build-isolation ./python

It links the kiv libraries of an installation: KIV_PREFIX (default: what pkg-config finds for
kiv, else /usr/local), whose lib folder becomes the module's run path. KIV_BUILD_DIR instead
links the libraries of a CMake build tree, given as an absolute path (for trying the package
before installing)."""

import glob
import os
import shlex
import subprocess

from setuptools import Extension, setup

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)


def kiv_prefix():
    if os.environ.get("KIV_PREFIX"):
        return os.environ["KIV_PREFIX"]
    try:
        return subprocess.run(["pkg-config", "--variable=prefix", "kiv"], check=True,
                              capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "/usr/local"


build_dir = os.environ.get("KIV_BUILD_DIR")
if build_dir:
    build_dir = os.path.abspath(build_dir)
    library_dirs = [os.path.join(build_dir, "libkiv"), os.path.join(build_dir, "kivcall")]
else:
    library_dirs = [os.path.join(kiv_prefix(), "lib")]

sources = sorted(glob.glob(os.path.join(here, "src", "*.cpp")))
sources += sorted(glob.glob(os.path.join(root, "idl", "*.cpp")))
sources.append(os.path.join(root, "libkiv", "tlib", "btree.cpp"))
ffi = shlex.split(subprocess.run(["pkg-config", "--cflags", "--libs", "libffi"],
                                 capture_output=True, text=True).stdout or "-lffi")

# pybind11 is header-only: Debian's pybind11-dev puts the headers on the compiler's path.
extension = Extension(
    "kiv._kiv",
    [os.path.relpath(s, here) for s in sources],
    include_dirs=[os.path.join(root, "idl"), os.path.join(root, "libkiv", "include"),
                  os.path.join(root, "libkiv"), os.path.join(root, "kivcall", "include"),
                  os.path.join(root, "kivcall")],
    define_macros=[("KIVPY_OBJECTS", "1")],
    library_dirs=library_dirs,
    runtime_library_dirs=library_dirs,
    libraries=["kivcall", "kiv"],
    extra_compile_args=["-std=c++20", "-fvisibility=hidden"] + [f for f in ffi if f.startswith("-I")],
    extra_link_args=[f for f in ffi if not f.startswith("-I")],
    language="c++",
)

setup(ext_modules=[extension])
