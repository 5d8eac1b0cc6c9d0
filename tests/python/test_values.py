# SPDX-License-Identifier: Apache-2.0
# Every type in every direction through the C echo plug-in: echoT(a, c) returns (a, c, a),
# so a crosses as in, result and inout-out, and c as inout-in and out.
import decimal
import math

import pytest

import kiv

D = decimal.Decimal

ROUND_TRIPS = [
    ("echoBoolean", True, False),
    ("echoOctet", 255, 0),
    ("echoChar", "\xe9", "a"),
    ("echoWchar", "\u20ac", "\uffff"),
    ("echoShort", -32768, 32767),
    ("echoUShort", 65535, 0),
    ("echoLong", -(2**31), 2**31 - 1),
    ("echoULong", 2**32 - 1, 0),
    ("echoLongLong", -(2**63), 2**63 - 1),
    ("echoULongLong", 2**64 - 1, 1),
    ("echoFloat", 1.5, -0.25),
    ("echoDouble", 1e308, -5e-324),
    ("echoDecimal32", D("1.00"), D("-9.999999E+96")),
    ("echoDecimal64", D("-0"), D("1E-398")),
    ("echoDecimal128", D("1234567890123456789012345678901234E+6111"), D("-Infinity")),
    ("echoString", "h\xe9llo \U0001f600", ""),
    ("echoWString", "w\U0001f600\u20ac", "x"),
    ("echoLongs", [1, -2, 2**31 - 1], []),
    ("echoStrings", ["a", "", "\u20ac"], ["z"]),
    ("echoBytes", b"\x00\xffab", b""),
]


@pytest.mark.parametrize("method,a,c", ROUND_TRIPS, ids=[r[0] for r in ROUND_TRIPS])
def test_round_trip(echo, method, a, c):
    result, b, c_after = getattr(echo, method)(a, c)
    assert (result, b, c_after) == (a, c, a)
    for got, want in ((result, a), (b, c)):
        assert type(got) is type(want)
        if isinstance(want, decimal.Decimal):
            assert got.as_tuple() == want.as_tuple()  # same digits and exponent, not just value


def test_float_special_values(echo):
    result, b, c = echo.echoDouble(math.inf, math.nan)
    assert result == math.inf and math.isnan(b) and c == math.inf
    assert echo.echoFloat(0.1, 0.0)[0] == pytest.approx(0.1, rel=1e-7)


def test_decimal_nan_payload_and_signaling(echo):
    result, b, _ = echo.echoDecimal64(D("sNaN12"), D("-NaN7"))
    assert str(result) == "sNaN12" and str(b) == "-NaN7"


def test_structs_unions_enums(echo, types):
    P, R, S, C = types.Point, types.Record, types.Shape, types.Color
    record = R(where=P(1, -2), name="n\xe9", values=[3, 4], color=C.BLUE, label="\u20ac")
    assert echo.echoRecord(record, R()) == (record, R(), record)
    assert echo.echoPoint({"x": 5, "y": 6}, (7, 8)) == (P(5, 6), P(7, 8), P(5, 6))
    for shape in (S(C.RED, 5), S(C.GREEN, P(1, 2)), S(C.BLUE, "other")):
        assert echo.echoShape(shape, shape) == (shape, shape, shape)
    result, b, c = echo.echoColor(C.GREEN, 2)
    assert (result, b, c) == (C.GREEN, C.BLUE, C.GREEN) and isinstance(b, C)
    assert repr(P(1, 2)) == "Point(x=1, y=2)"
    assert P(1, 2) != P(2, 1)


def test_arrays_and_bounds(echo):
    assert echo.echoTriple([1, 2, 3], (4, 5, 6)) == ([4, 5, 6], [1, 2, 3])
    assert echo.echoFour([1, 2, 3, 4]) == [1, 2, 3, 4]
    assert echo.echoShortString("12345678") == "12345678"
    for call in (lambda: echo.echoTriple([1, 2], [1, 2, 3]),
                 lambda: echo.echoFour([1, 2, 3, 4, 5]),
                 lambda: echo.echoShortString("123456789")):
        with pytest.raises(kiv.BoundError):
            call()


def test_interfaces_round_trip(echo):
    from conftest import Doubler

    cb = Doubler()
    result, b, c = echo.echoCallback(cb, None)
    # A Python implementation comes back as itself; None as None.
    assert result is cb and b is None and c is cb
    proxy = kiv.wrap(cb)
    assert proxy.apply(21) == 42
    assert echo.echoCallback(proxy, proxy)[0] is cb


BAD_ARGUMENTS = [
    ("add", (2**31, 1), OverflowError),
    ("add", (-(2**31) - 1, 1), OverflowError),
    ("add", (1.0, 1), TypeError),
    ("add", ("1", 1), TypeError),
    ("add", (True, 1), TypeError),
    ("add", (1,), TypeError),
    ("add", (1, 2, 3), TypeError),
    ("echoOctet", (256, 0), OverflowError),
    ("echoOctet", (-1, 0), OverflowError),
    ("echoULongLong", (2**64, 0), OverflowError),
    ("echoULongLong", (-1, 0), OverflowError),
    ("echoFloat", (1e39, 0.0), OverflowError),
    ("echoChar", ("ab", "a"), TypeError),
    ("echoChar", ("\u20ac", "a"), OverflowError),
    ("echoWchar", ("\U0001f600", "a"), OverflowError),
    ("echoBoolean", (1, False), TypeError),
    ("echoString", (b"bytes", ""), TypeError),
    ("echoString", ("nul\x00inside", ""), kiv.Error),
    ("echoWString", ("\ud800", ""), UnicodeError),
    ("echoLongs", ("123", []), TypeError),
    ("echoLongs", ([1, "2"], []), TypeError),
    ("echoDecimal32", (1.5, D(0)), TypeError),
    ("echoDecimal32", (D("12345678"), D(0)), decimal.Inexact),
    ("echoDecimal32", (D("1E+200"), D(0)), OverflowError),
    ("echoColor", (7, 0), kiv.Error),
    ("echoPoint", ((1,), (1, 2)), TypeError),
    ("echoPoint", ({"x": 1}, (1, 2)), TypeError),
    ("echoCallback", (object(), None), TypeError),
]


@pytest.mark.parametrize("method,args,error", BAD_ARGUMENTS,
                         ids=[f"{m}-{i}" for i, (m, _, _) in enumerate(BAD_ARGUMENTS)])
def test_bad_arguments(echo, method, args, error):
    calls = echo.calls
    with pytest.raises(error):
        getattr(echo, method)(*args)
    assert echo.calls == calls  # refused before the call


def test_callee_failure_codes(echo):
    for code, cls in ((0x80004001, kiv.NotImplementedByObject), (0x80070057, kiv.InvalidArgument),
                      (0x96240012, kiv.NoFactory), (0x81234567, kiv.Error)):
        with pytest.raises(cls) as info:
            echo.fail(code)
        assert info.value.code == code and info.value.text == kiv.strerror(code)
