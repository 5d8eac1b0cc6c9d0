# SPDX-License-Identifier: Apache-2.0
# kiv.Fixed against Python's decimal module as the oracle, and the IEEE decimal encoding
# against the IDL compiler's own.
import decimal
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kiv
from kiv import decimals

D = decimal.Decimal
EXACT = decimal.Context(prec=400, rounding=decimal.ROUND_DOWN, Emax=10**6, Emin=-(10**6))


@st.composite
def fixed_types(draw, max_digits=24):
    digits = draw(st.integers(1, max_digits))
    return digits, draw(st.integers(-3, digits))


@st.composite
def fixed_values(draw):
    digits, scale = draw(fixed_types())
    magnitude = draw(st.integers(0, 10**digits - 1))
    sign = draw(st.sampled_from([1, -1]))
    return kiv.Fixed(D(sign * magnitude).scaleb(-scale), digits, scale)


def expected(exact, digits, scale):
    """The library's rule: truncate toward zero at `scale`; too many integer digits: infinity."""
    truncated = exact.quantize(D(1).scaleb(-scale), rounding=decimal.ROUND_DOWN, context=EXACT)
    if abs(truncated) >= D(10) ** (digits - scale):
        return D("-Infinity") if exact < 0 else D("Infinity")
    return truncated


OPERATIONS = {
    "add": lambda a, b: EXACT.add(a, b),
    "sub": lambda a, b: EXACT.subtract(a, b),
    "mul": lambda a, b: EXACT.multiply(a, b),
    "div": lambda a, b: EXACT.divide(a, b),
}


def check_operation(name, a, b, result_type):
    x, y = a.to_decimal(), b.to_decimal()
    if name == "div" and y == 0:
        return
    got = getattr(a, name)(b, *result_type).to_decimal()
    want = expected(OPERATIONS[name](x, y), *result_type)
    assert got == want, (name, a, b, result_type)
    if got.is_finite():
        assert got.as_tuple().exponent == -result_type[1]


# Hypothesis finds and shrinks the edge cases; its per-example cost keeps the count modest.
@pytest.mark.parametrize("name", OPERATIONS)
@settings(max_examples=250, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(a=fixed_values(), b=fixed_values(), result_type=fixed_types(30))
def test_fixed_arithmetic_matches_decimal(name, a, b, result_type):
    check_operation(name, a, b, result_type)


def random_fixed(rng):
    digits = rng.randint(1, 24)
    scale = rng.randint(-3, digits)
    magnitude = rng.randrange(10 ** rng.randint(0, digits))
    return kiv.Fixed(D(rng.choice((1, -1)) * magnitude).scaleb(-scale), digits, scale)


def test_fixed_arithmetic_matches_decimal_in_bulk():
    # 10,000 random cases per run, cheaply drawn.
    rng = random.Random()
    for i in range(10000):
        digits = rng.randint(1, 30)
        result_type = (digits, rng.randint(-3, digits))
        check_operation(list(OPERATIONS)[i % 4], random_fixed(rng), random_fixed(rng), result_type)


@settings(max_examples=300, deadline=None, database=None)
@given(a=fixed_values(), b=fixed_values())
def test_fixed_conversions_and_comparisons(a, b):
    x, y = a.to_decimal(), b.to_decimal()
    assert kiv.Fixed(x, a.digits, a.scale).record == a.record or x.is_zero()
    assert (a < b) == (x < y) and (a == b) == (x == y)
    assert D(str(a)) == x
    assert (a + b).to_decimal() == EXACT.add(x, y)  # default types hold sums exactly
    assert (a * b).to_decimal() == EXACT.multiply(x, y)


CONVERSIONS = [
    (D("123.456"), 8, 2, "123.45"),
    (D("-123.456"), 8, 2, "-123.45"),
    (D("-0.001"), 3, 2, "-0.00"),
    (12, 2, -1, "10"),
    ("99.999", 4, 2, "99.99"),
    (D("Infinity"), 3, 0, "+Inf"),
    (D("NaN"), 3, 0, "NaN"),
]


@pytest.mark.parametrize("value,digits,scale,text", CONVERSIONS)
def test_fixed_from_python_values(value, digits, scale, text):
    assert str(kiv.Fixed(value, digits, scale)) == text


@pytest.mark.parametrize("value,digits,scale,error", [
    (D("1000"), 3, 0, OverflowError), (1.5, 70000, 0, ValueError), (1, 3, 4, ValueError),
    (object(), 3, 0, TypeError), (True, 3, 0, TypeError),
])
def test_fixed_refuses(value, digits, scale, error):
    with pytest.raises(error):
        kiv.Fixed(value, digits, scale)


def test_fixed_rounding_modes():
    v = kiv.Fixed("2.5", 3, 1)
    assert str(v.round(0, kiv.fixed.ROUND_HALF_EVEN)) == "2.0"
    assert str(v.round(0, kiv.fixed.ROUND_HALF_UP)) == "3.0"
    assert str((-v).round(0, kiv.fixed.ROUND_FLOOR)) == "-3.0"
    assert str(kiv.Fixed("2.59", 3, 2).truncate(1)) == "2.50"


WIDTHS = {32: decimals.decimal32_context, 64: decimals.decimal64_context,
          128: decimals.decimal128_context}


@st.composite
def ieee_decimals(draw, width):
    ctx = WIDTHS[width]
    digits = draw(st.integers(0, 10**ctx.prec - 1))
    exponent = draw(st.integers(ctx.Etiny(), ctx.Emax - ctx.prec + 1))
    return D((draw(st.integers(0, 1)), tuple(map(int, str(digits))), exponent))


@pytest.mark.parametrize("width", [32, 64, 128])
@settings(max_examples=300, deadline=None, database=None)
@given(data=st.data())
def test_ieee_decimal_round_trip(width, data):
    value = data.draw(ieee_decimals(width))
    assert decimals.to_decimal(decimals.from_decimal(value, width), width).as_tuple() == \
        value.as_tuple()


@pytest.mark.parametrize("width", [32, 64, 128])
def test_ieee_decimal_encoding_matches_the_idl_compiler(tmp_path, width):
    # The IDL compiler encodes decimal constants with its own code; the type library hands
    # the bits back, which the package decodes.
    rng = random.Random(width)
    ctx = WIDTHS[width]
    values = []
    for _ in range(200):
        digits = rng.randrange(10 ** rng.randint(1, ctx.prec))
        exponent = rng.randint(ctx.Etiny(), ctx.Emax - ctx.prec + 1)
        values.append(D((rng.randint(0, 1), tuple(map(int, str(digits))), exponent)))
    values += [D("NaN"), D("-Infinity"), D("-0"), D("1.00")]
    source = "module M {\n" + "".join(
        f"const decimal{width} C{i} = {v};\n" for i, v in enumerate(values)) + "};\n"
    library = kiv.TypeLibrary(kiv.idl.compile(source=source, output=tmp_path / "d.tlb"))
    for i, value in enumerate(values):
        got = library[f"IDL:M/C{i}:1.0"].value
        assert str(got) == str(value)
        assert decimals.from_decimal(value, width) == decimals.from_decimal(got, width)


def test_ieee_context_rounds_what_does_not_fit():
    too_long = D("1.23456789")
    with pytest.raises(decimal.Inexact):
        decimals.from_decimal(too_long, 32)
    rounded = decimals.decimal32_context.create_decimal(too_long)
    assert decimals.to_decimal(decimals.from_decimal(rounded, 32), 32) == D("1.234568")
