# SPDX-License-Identifier: Apache-2.0
# Proxies (attributes, queryInterface, signatures, release) and Python implementations called
# from C and C++ on many threads.
import gc
import inspect
import sys
import threading

import pytest

import kiv
from conftest import CALLBACK, ECHO, Doubler


def test_proxy_shape(echo):
    assert repr(echo).startswith("<kiv Echo::IEcho object at 0x")
    assert isinstance(echo, kiv.interface(ECHO)) and isinstance(echo, kiv.Object)
    assert str(inspect.signature(echo.add)) == "(a: 'int', b: 'int', /) -> 'int'"
    assert "long echoLong(in long a, out long b, inout long c)" in echo.echoLong.__doc__
    assert "readonly attribute unsigned long calls" in kiv.interface(ECHO).__doc__


def test_attributes(echo):
    echo.value = -7
    assert echo.value == -7
    with pytest.raises(AttributeError):
        echo.calls = 1
    with pytest.raises(OverflowError):
        echo.value = 2**40
    with pytest.raises(AttributeError):
        echo.noSuchMember


def test_query_and_cast(echo):
    same = echo.query(ECHO)
    assert kiv.cast(echo, "IDL:kiv/IUnknown:1.0")._kiv_address == echo._kiv_address
    assert same._kiv_iid == ECHO
    with pytest.raises(kiv.NoInterface):
        echo.query(CALLBACK)


def test_python_implementation_released_with_last_reference(echo):
    cb = Doubler()
    base = sys.getrefcount(cb)
    proxy = kiv.wrap(cb)
    assert sys.getrefcount(cb) == base + 1
    assert echo.callDescribe(proxy, "abc") == "ABC"
    del proxy
    gc.collect()
    assert sys.getrefcount(cb) == base


@pytest.mark.parametrize("host", ["echo", "runner"])
def test_implementation_called_from_eight_threads(request, host):
    target = request.getfixturevalue(host)
    seen = set()
    lock = threading.Lock()

    @kiv.implements(CALLBACK)
    class Recorder(Doubler):
        def apply(self, x):
            with lock:
                seen.add(threading.get_ident())
            return x + 1

    calls = 500
    assert target.callApply(Recorder(), 8, calls) == 8 * sum(range(1, calls + 1))
    assert len(seen) >= 2  # really on several threads (eight were started)


def test_exception_in_implementation_becomes_code_and_is_kept(echo):
    class Refusing(Doubler):
        def apply(self, x):
            raise kiv.NoFactory(0x96240012, "no")

    class Broken(Doubler):
        def apply(self, x):
            raise RuntimeError("broken")

    refusing, broken = Refusing(), Broken()
    with pytest.raises(kiv.NoFactory):
        echo.callApply(refusing, 1, 1)
    with pytest.raises(kiv.Failed):
        echo.callApply(broken, 1, 1)
    assert isinstance(broken.kiv_last_error, RuntimeError)
    assert kiv.last_errors[-1] is broken.kiv_last_error


def test_wrong_outputs_from_implementation(echo):
    class WrongArity(Doubler):
        def describe(self, text):
            return text  # needs (result, length)

    with pytest.raises(kiv.Error):
        echo.callDescribe(WrongArity(), "x")
    assert isinstance(kiv.last_errors[-1], TypeError)


def test_create_errors(plugins):
    with pytest.raises(kiv.Error):
        kiv.create("00000000-0000-0000-0000-000000000000")
    with pytest.raises(kiv.UnknownRepoId):
        kiv.interface("IDL:No/Such:1.0")
