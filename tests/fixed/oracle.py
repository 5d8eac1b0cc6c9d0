#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Differential test of kivFixed against an exact decimal model: cases from a fixed seed, what
each operation must give computed with Python's decimal module (exact arithmetic, then the result
type's truncation, overflow to infinity, negative zero and the special values), streamed to the
driver, which runs the library and reports every difference. A case is one line OP ARG... =
EXPECTED; records are DIGITS:SCALE:PACKEDHEX, result types DIGITS:SCALE, texts x<HEX>.

usage: oracle.py DRIVER GROUP [--cases N] [--seed S]
"""

import argparse, decimal, functools, math, random, re, struct, subprocess, sys
from decimal import Decimal

decimal.setcontext(decimal.Context(
    prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN,
    traps=[decimal.InvalidOperation, decimal.DivisionByZero, decimal.Overflow]))
PINF, NINF, POS, NEG, NAN = 10, 11, 12, 13, 14
INF, FINITE = {False: PINF, True: NINF}, {False: POS, True: NEG}
SPACES = b" \t\n\v\f\r"
R = random.Random()


class Rec:
    """A record: type, state, digit string d of a finite value, packed bytes as hex."""

    def __init__(self, digits, scale, state, d=0, hexstr=None):
        self.digits, self.scale, self.state, self.d = digits, scale, state, d
        self.type = (digits, scale)
        self.hex = hexstr or pack(digits, state, d)
        self.finite, self.neg = state in (POS, NEG), state in (NINF, NEG)
        self.nan = state >= NAN or state < PINF
        self.mag = Decimal(d).scaleb(-scale)
        self.value = (-1 if self.neg else 1) * (self.mag if self.finite else math.inf)


def pack(digits, state, d=0):
    """A zero pad nibble for an even digit count, the digits, the state nibble."""
    return "0" * (1 - digits % 2) + (str(d).zfill(digits) if digits else "") + "%x" % state


def fit(mag, neg, rt):
    """mag (exact, >= 0) truncated at rt's last digit; an infinity when it does not fit."""
    q = int(mag.scaleb(rt[1]))
    return pack(rt[0], INF[neg]) if q >= 10 ** rt[0] else pack(rt[0], FINITE[neg], q)


def copy_nan(rt, a):
    """The result's bytes cleared, as many copied from a as fit, a's state last."""
    n = rt[0] // 2 + 1
    out = bytearray(bytes.fromhex(a.hex)[:n].ljust(n, b"\0"))
    out[-1] = (out[-1] & 0xF0) | (a.state if a.state >= NAN else 15)
    return out.hex()


# --- the model -------------------------------------------------------------------------------

def m_add(rt, a, b, sub=False):
    bval = -b.value if sub else b.value
    if not (a.finite and b.finite):
        v = (0 if a.finite else a.value) + (0 if b.finite else bval)
        return pack(rt[0], NAN if math.isnan(v) else INF[v < 0])
    s = a.value + bval
    return fit(abs(s), s < 0 or (s == 0 and a.neg and b.neg != sub), rt)


def m_mul(rt, a, b):
    neg = a.neg != b.neg
    if not (a.finite and b.finite):
        return pack(rt[0], INF[neg])
    return fit(a.mag * b.mag, neg and a.d != 0 and b.d != 0, rt)


def m_div(rt, a, b):
    neg = a.neg != b.neg
    if a.finite and not b.finite:
        return fit(Decimal(0), neg, rt)
    if not (a.finite and b.d):  # an infinity divided or a division by zero
        return pack(rt[0], NAN if a.d == b.d == 0 and a.finite == b.finite else INF[neg])
    return fit((a.mag.scaleb(rt[1]) // b.mag).scaleb(-rt[1]), neg, rt)  # // truncates


def m_neg(rt, a):
    return fit(a.mag, not a.neg and a.d != 0, rt) if a.finite else pack(rt[0], INF[not a.neg])


# Rounding modes 1 to 8 on the magnitude: (positive, negative).
MODES = {m + 1: tuple("ROUND_" + x for x in pair.split()) for m, pair in enumerate((
    "DOWN UP", "DOWN DOWN", "UP DOWN", "UP UP", "HALF_UP HALF_DOWN", "HALF_UP HALF_UP",
    "HALF_EVEN HALF_EVEN", "HALF_DOWN HALF_DOWN"))}


def m_round(rt, a, scale, mode):
    if not a.finite:
        return pack(rt[0], a.state)
    unit = Decimal(1).scaleb(-scale)
    return fit(a.mag.quantize(unit, MODES[mode][a.neg]) if mode in MODES else a.mag, a.neg, rt)


def m_parts(a):
    n, f = (int(a.value), a.d % 10 ** a.scale if a.scale > 0 else 0) if a.finite else (0, 0)
    return "%d %d" % tuple((x + 2 ** 31) % 2 ** 32 - 2 ** 31 for x in (n, f))  # wrapped to 32 bits


def m_set(rt, whole, units):
    digits, scale = rt
    mag = abs(whole) % 10 ** max(digits - scale, 0) + \
        Decimal(abs(units) % 10 ** scale if scale > 0 else 0).scaleb(-scale)
    return fit(mag, whole < 0 or (whole == 0 and units < 0), rt)


def m_setd(rt, x):
    """The double's digits exactly as the double-precision steps produce them."""
    fp, ip = math.modf(abs(x)) if math.isfinite(x) else (0.0, 0.0)
    value, e = Decimal(0), 0
    while e < rt[0] - rt[1] and ip != 0:
        value += Decimal(int(math.fmod(ip, 10.0))).scaleb(e)
        ip, e = float(math.floor(ip / 10.0)), e + 1
    e = 1
    while e <= rt[1] and fp != 0:
        fp *= 10.0
        value += Decimal(int(fp)).scaleb(-e)
        fp, e = math.modf(fp)[0], e + 1
    return fit(value, 0.0 > x, rt)


def m_getd(a):
    if not a.finite:
        return 0.0
    text = str(a.d).zfill(a.digits) + "0" * max(-a.scale, 0)
    cut = len(text) - max(a.scale, 0)
    read = lambda t: functools.reduce(lambda x, c: x * 10.0 + int(c), t, 0.0)  # digit by digit
    result = (0.1 ** max(a.scale, 0)) * read(text[cut:]) + read(text[:cut])
    return -result if a.neg else result


def m_sets(r0, text):
    """The record after reading text, and where reading stopped."""
    m = re.match(rb"[ \t\n\v\f\r]*(-Inf|\+Inf|NaN)(?![A-Za-z0-9_])", text)
    if m:
        return "%s %d" % (pack(r0.digits, {b"-Inf": NINF, b"+Inf": PINF}.get(m[1], NAN)), m.end())
    m = re.match(rb"[ \t\n\v\f\r]*(-?)([0-9]*)(?:\.([0-9]*))?", text)
    int_run, frac_run, int_digits = m[2], m[3] or b"", r0.digits - r0.scale
    if not (int_run and (int_digits > 0 or not int_run.strip(b"0")) or frac_run and r0.scale > 0):
        return "%s 0" % r0.hex
    mag = int(int_run or 0) % 10 ** max(int_digits, 0) + \
        Decimal(int(frac_run or 0)).scaleb(-len(frac_run))
    return "%s %d" % (fit(mag, m[1] == b"-", r0.type), m.end())


def m_gets(a, precision):
    if not a.finite:
        return {PINF: "+Inf", NINF: "-Inf"}.get(a.state, "NaN")
    s = max(a.scale, 0) if precision < 0 else min(max(a.scale, 0), precision)
    t = str(int(a.mag.scaleb(s).quantize(1, rounding=decimal.ROUND_HALF_EVEN))).zfill(s + 1)
    frac = t[len(t) - s:]
    frac = frac + "0" * (precision - s) if precision >= 0 else frac.rstrip("0") or "0" * (s > 0)
    return ("-" if a.neg else "") + t[:len(t) - s] + ("." + frac if frac else "")


# --- random inputs ---------------------------------------------------------------------------

chance = lambda p: R.random() < p


def rtype():
    """Mostly 1 to 40 digits, sometimes 41 to 64, none, or about 100 or 1000; scales -5 to
    digits."""
    x = R.random()
    d = R.randint(990, 1010) if x < .001 else R.randint(90, 110) if x < .011 else \
        0 if x < .02 else R.randint(41, 64) if x < .08 else R.randint(1, 40)
    return d, R.randint(-5, d)


def near(t):
    """A type up to a few digits narrower or wider than t."""
    d = max(0, t[0] + R.randint(-4, 4))
    return d, max(-5, min(d, t[1] + R.randint(-3, 3)))


def exact(op, a, b):
    """The type that holds op's exact outcome (a quotient: at a's scale and a few digits more)."""
    if op == "mul":
        return a.digits + b.digits, a.scale + b.scale
    s = max(a.scale, b.scale)
    if op == "div":
        return a.digits + max(b.scale, 0) + 2, a.scale
    return max(a.digits - a.scale, b.digits - b.scale) + 1 + s, s


def result_type(*operands, op=None):
    """The type of an operand or the exact outcome as it is, narrower, wider, or at another scale;
    sometimes a near or an unrelated type."""
    t = R.choice(operands).type
    if op and chance(.3):
        t = exact(op, *operands)
    d, s = t
    x = R.random()
    if x < .2:
        return t
    if x < .35:
        d = max(0, d - R.randint(1, 6))
    elif x < .5:
        d += R.randint(1, 12)
    elif x < .7:
        s += R.choice((-1, 1)) * R.randint(1, 8)
    elif x < .85:
        return near(t)
    else:
        return rtype()
    return d, max(-5, min(d, s))


def digit_string(n):
    """An n-digit string with a varied pattern: zero, nines, one digit, halves, random."""
    if n == 0 or chance(.08):
        return 0
    k = R.randint(1, n) if chance(.8) else n
    if chance(.7):
        return R.randrange(10 ** (k - 1), 10 ** k)
    return R.choice((10 ** k - 1, 10 ** (k - 1), 5 * 10 ** (k - 1),
                     R.randint(0, 9) * 10 ** (k - 1) + 5 * 10 ** (k - 2) if k > 1 else 5))


def record(t=None):
    digits, scale = t or rtype()
    x = R.random()
    if x < .88:
        return Rec(digits, scale, R.choice((POS, NEG)), digit_string(digits))
    if x < .97:
        return Rec(digits, scale, (PINF, NINF, NAN)[int((x - .88) / .03)])
    raw = bytearray(R.getrandbits(8) for _ in range(digits // 2 + 1))  # a NaN of nonsense nibbles
    raw[-1] = (raw[-1] & 0xF0) | R.choice((14, 15))
    return Rec(digits, scale, raw[-1] & 15, 0, raw.hex())


def pair():
    """Operands of one type, of near types, of one digit count at other scales, or unrelated."""
    a, x = record(), R.random()
    t = a.type if x < .3 else near(a.type) if x < .55 else \
        (a.digits, max(-5, min(a.digits, a.scale + R.randint(-8, 8)))) if x < .7 else None
    b = record(t)
    return (a, b) if chance(.5) else (b, a)


def text_for(digits, scale):
    numbers = lambda n: bytes(R.choice(b"0123456789") for _ in range(n))
    x = R.random()
    if x < .12:
        return R.choice((b"NaN", b"+Inf", b"-Inf", b"nan", b"inf", b"Inf", b"NaNa", b"+Infinity")) \
            + R.choice((b"", b" ", b",", b"\x80", b"a", b"_", b"0", b"-", b"\xff"))
    if x < .2:
        return R.choice((b"", b"-", b".", b"-.", b"+5", b"abc", b" ", b"\t-x", b"--1", b"0",
                         b"-0", b"0.", b"00", b".0", b"5", b"5.", b"-5.5"))
    text = bytes(R.choice(SPACES) for _ in range(R.choice((0, 0, 0, 1, 2))))
    text += (b"-" if chance(.4) else b"") + (b"0" * R.randint(1, 3) if chance(.15) else b"")
    text += numbers(R.randint(0, max(digits - scale, 0) + 3))
    text += b"." + numbers(R.randint(0, max(scale, 0) + 3)) if chance(.7) else b""
    return text + R.choice((b"", b"", b"", b"xyz", b" ", b",", b".5", b"e5", b"\x80"))


def double():
    x = R.random()
    if x < .05:
        return R.choice((0.0, -0.0, math.inf, -math.inf, math.nan, 2.675, 0.1, 1e300, 5e-324))
    if x < .4:
        return round(R.uniform(-1000, 1000), R.randint(0, 6))
    if x < .7:
        return R.uniform(-1, 1) * 10.0 ** R.randint(-12, 25)
    return struct.unpack("<d", struct.pack("<Q", R.getrandbits(64)))[0]


bits = lambda x: struct.unpack("<q", struct.pack("<d", x))[0]


# --- cases: the arguments and the expected outcome of one operation ---------------------------

def with_nan(rt, operands, model, *extra):
    """A record result: a copy of the first NaN operand, else the model's."""
    nan = next((a for a in operands if a.nan), None)
    return copy_nan(rt, nan) if nan else model(rt, *operands, *extra)


def c_binary(op):
    a, b = pair()
    if op == "div" and b.finite and chance(.05):
        b = Rec(b.digits, b.scale, b.state)  # division by zero of either sign
    rt = result_type(a, b, op=op)
    model = {"add": m_add, "sub": lambda *x: m_add(*x, True), "mul": m_mul, "div": m_div}[op]
    return [rt, a, b], with_nan(rt, [a, b], model)


def c_cmp(_):
    a, b = pair()
    op, c = R.randint(0, 6), (a.value > b.value) - (a.value < b.value)
    want = op == 1 if a.nan or b.nan else (c == 0, c != 0, c < 0, c <= 0, c >= 0, c > 0, 0)[op]
    return [a, b, op], int(want)


def c_round(op):
    a = record()
    rt = result_type(a)
    x = R.random()  # rounding near the last digit, anywhere along the digits, or anywhere
    scale = a.scale + R.randint(-4, 2) if x < .6 else a.scale - R.randint(-2, a.digits + 2) \
        if x < .9 else R.randint(-50, 50)
    mode = R.randint(0, 8) if chance(.97) else R.choice((-1, 9, 1000))
    mode = {"round": 7, "trunc": 2}.get(op, mode)
    return [rt, a, scale, mode], with_nan(rt, [a], m_round, scale, mode)


def c_set(_):
    rt = rtype()
    whole = R.choice((R.randint(-2 ** 31, 2 ** 31 - 1), R.randint(-99999, 99999), -2 ** 31, 0))
    units = R.choice((R.randint(0, 2 ** 31 - 1), R.randint(0, 9999), 0, R.randint(-999, -1)))
    return [rt, whole, units], m_set(rt, whole, units)


def c_setd(_):
    rt, x = rtype() if chance(.9) else (R.randint(300, 340), R.randint(280, 300)), double()
    return [rt, bits(x)], m_setd(rt, x)


def c_sets(_):
    r0 = record()
    text = text_for(r0.digits, r0.scale)
    return [r0.type, r0, text], m_sets(r0, text)


def c_gets(_):
    a, x = record(), R.random()
    precision = -1 if x < .3 else R.randint(-5, -1) if x < .35 else \
        R.randint(0, max(a.scale, 0) + 4)
    text = m_gets(a, precision)
    size = R.choice((0, 1, 2, len(text), len(text) + 1, len(text) + 5, R.randint(0, len(text) + 2)))
    return [a, precision, size], "x%s %d" % (text[:max(size - 1, 0)].encode().hex(), len(text))


def c_wide(op):
    """Operands of 16 to 38 mostly significant digits and results past 38 digits: the paths on
    256-bit integers and 80-digit packed words."""
    def full(t):
        a = record(t)
        if a.finite and t[0] and chance(.8):
            a = Rec(t[0], t[1], a.state, R.randrange(10 ** (t[0] - 1), 10 ** t[0]))
        return a
    wide = lambda: (d := R.randint(16, 38), R.randint(-5, d))
    a = full(wide())
    b = full(a.type if chance(.3) else wide())
    if op == "div" and b.finite and chance(.5):  # short divisors give long quotients
        b = Rec(b.digits, b.scale, b.state, R.randint(1, 10 ** R.randint(1, 20)) % 10 ** b.digits)
    x, t = R.random(), exact(op, a, b)
    s = t[1] + R.randint(-12, 30)  # at another scale, mostly room for the integer part
    d = max(0, t[0] - t[1] + s + R.randint(-1, 2))
    rt = t if x < .3 else near(t) if x < .5 else (d, max(-5, min(d, s)))
    model = {"add": m_add, "sub": lambda *x: m_add(*x, True), "mul": m_mul, "div": m_div}[op]
    return [rt, a, b], with_nan(rt, [a, b], model)


GROUPS = {
    "arith": dict(add=c_binary, sub=c_binary, mul=c_binary, div=c_binary,
                  neg=lambda _: ([rt := result_type(a := record()), a], with_nan(rt, [a], m_neg)),
                  cmp=c_cmp),
    "round": dict(round2=c_round, round=c_round, trunc=c_round,
                  parts=lambda _: ([a := record()], m_parts(a))),
    "text": dict(sets=c_sets, gets=c_gets),
    "wide": dict(add=c_wide, sub=c_wide, mul=c_wide, div=c_wide),
    "value": dict(set=c_set, setd=c_setd, getd=lambda _: (
        [a := record()], "nan" if math.isnan(x := m_getd(a)) else bits(x))),
}


def line(op, case):
    token = lambda x: "%d:%d:%s" % (x.digits, x.scale, x.hex) if isinstance(x, Rec) else \
        "%d:%d" % x if isinstance(x, tuple) else "x" + x.hex() if isinstance(x, bytes) else str(x)
    operands, want = case(op)
    return "%s %s = %s\n" % (op, " ".join(map(token, operands)), want)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("driver")
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("--cases", type=int, default=200000, help="cases per operation")
    ap.add_argument("--seed", type=int, default=20240611)
    args = ap.parse_args()
    R.seed("%s-%d" % (args.group, args.seed))
    proc = subprocess.Popen([args.driver], stdin=subprocess.PIPE, text=True)
    for i in range(0, args.cases, 1000):
        proc.stdin.write("".join(line(op, case) for _ in range(min(1000, args.cases - i))
                                 for op, case in GROUPS[args.group].items()))
    proc.stdin.close()
    return proc.wait()


if __name__ == "__main__":
    sys.exit(main())
