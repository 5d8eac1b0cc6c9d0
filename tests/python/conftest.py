# SPDX-License-Identifier: Apache-2.0
# Shared fixtures: a private registry for the run, the plug-in's echo and runner classes served
# in this process, and their type library found through KIV_TLIB_PATH (set by ctest).
import os
import tempfile

import pytest

_scratch = tempfile.TemporaryDirectory(prefix="kiv-py-")
os.environ["KIV_REGISTRY_USER"] = os.path.join(_scratch.name, "user.db")
os.environ["KIV_REGISTRY_MACHINE"] = os.path.join(_scratch.name, "machine.db")

import kiv  # noqa: E402  (after the registry locations are set)

ECHO_CLASS = "5b0e3c2a-9d41-4f6e-8a73-2c1d0e9f4b68"
RUNNER_CLASS = "8c2f6a1e-3b7d-4e59-a0c4-71d9e2b5f3a6"
ECHO = "IDL:Echo/IEcho:1.0"
CALLBACK = "IDL:Echo/ICallback:1.0"


@pytest.fixture(scope="session")
def plugins():
    for clsid in (ECHO_CLASS, RUNNER_CLASS):
        kiv.register_plugin(clsid, os.environ["KIV_TEST_PLUGIN"])


@pytest.fixture
def echo(plugins):
    return kiv.create(ECHO_CLASS)


@pytest.fixture
def runner(plugins):
    return kiv.create(RUNNER_CLASS)


@pytest.fixture(scope="session")
def echo_tlb():
    return os.path.join(os.environ["KIV_TLIB_PATH"], "echo.tlb")


@pytest.fixture
def types(plugins):
    class Types:
        Point = kiv.type_class("IDL:Echo/Point:1.0")
        Record = kiv.type_class("IDL:Echo/Record:1.0")
        Shape = kiv.type_class("IDL:Echo/Shape:1.0")
        Color = kiv.type_class("IDL:Echo/Color:1.0")
    return Types


@kiv.implements(CALLBACK)
class Doubler:
    """A Python implementation of Echo::ICallback."""

    def __init__(self, name="doubler"):
        self.name = name

    def apply(self, x):
        return 2 * x

    def describe(self, text):
        return text.upper(), len(text)
