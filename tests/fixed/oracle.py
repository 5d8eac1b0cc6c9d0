#!/usr/bin/env python3
"""Differential test of kivFixed against an exact decimal model.

Generates random cases from a fixed seed, computes what each operation must give with Python's
decimal module (exact arithmetic, then the result type's truncation, overflow to infinity,
negative zero and the special values), and streams cases and expectations to the C++ driver,
which runs the library and reports every difference.

usage: oracle.py DRIVER GROUP [--cases N] [--seed S]
  GROUP: arith (add sub mul div neg cmp), round (round2 round trunc ipart fpart),
         text (sets gets), value (set setd getd)
"""

import argparse
import decimal
import math
import random
import struct
import subprocess
import sys
from decimal import Decimal

decimal.setcontext(decimal.Context(
    prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN,
    traps=[decimal.InvalidOperation, decimal.DivisionByZero, decimal.Overflow]))

POS_INF, NEG_INF, POSITIVE, NEGATIVE, NAN = 10, 11, 12, 13, 14
ZERO = Decimal(0)
ONE = Decimal(1)
POW10 = [10 ** k for k in range(2200)]
SPACES = b" \t\n\v\f\r"


# --- records -------------------------------------------------------------------------------

class Rec:
    """A record: type, state, digit string D (finite) and its packed bytes as hex."""
    __slots__ = ("digits", "scale", "state", "d", "hex")

    def __init__(self, digits, scale, state, d=0, hexstr=None):
        self.digits, self.scale, self.state, self.d = digits, scale, state, d
        self.hex = hexstr if hexstr is not None else pack(digits, state, d)

    @property
    def finite(self):
        return self.state in (POSITIVE, NEGATIVE)

    @property
    def nan(self):
        return self.state >= NAN or self.state < POS_INF

    @property
    def neg(self):
        return self.state in (NEG_INF, NEGATIVE)

    @property
    def mag(self):
        return Decimal(self.d).scaleb(-self.scale)

    def token(self):
        return "%d:%d:%s" % (self.digits, self.scale, self.hex)


def pack(digits, state, d=0):
    """Packed bytes as hex: a zero pad nibble for even digit counts, digits, state nibble."""
    body = str(d).zfill(digits) if state in (POSITIVE, NEGATIVE) and digits else "0" * digits
    return ("0" if digits % 2 == 0 else "") + body + "%x" % state


def finite(digits, q, neg):
    return pack(digits, NEGATIVE if neg else POSITIVE, q)


def special(digits, state):
    return pack(digits, state)


def fit(mag, neg, rtype):
    """mag (exact, >= 0) fitted to the type: truncated at its last digit, infinity when the
    integer part does not fit."""
    digits, scale = rtype
    q = int(mag.scaleb(scale).to_integral_value(rounding=decimal.ROUND_DOWN))
    if q >= POW10[digits]:
        return special(digits, NEG_INF if neg else POS_INF)
    return finite(digits, q, neg)


def copy_nan(rtype, a):
    """The result's packed bytes cleared, the shorter length copied from a, a's state last."""
    n = rtype[0] // 2 + 1
    src = bytes.fromhex(a.hex)
    out = bytearray(n)
    k = min(n, len(src))
    out[:k] = src[:k]
    out[n - 1] = (out[n - 1] & 0xF0) | (a.state if a.state >= NAN else 15)
    return out.hex()


# --- the model -----------------------------------------------------------------------------

def m_addsub(rtype, a, b, subtract):
    if a.finite and b.finite:
        an, bn = a.neg, b.neg != subtract
        if an == bn:
            return fit(a.mag + b.mag, an, rtype)
        if a.mag > b.mag:
            return fit(a.mag - b.mag, an, rtype)
        if b.mag > a.mag:
            return fit(b.mag - a.mag, bn, rtype)
        return fit(ZERO, False, rtype)
    if a.nan:
        return copy_nan(rtype, a)
    if b.nan:
        return copy_nan(rtype, b)
    d = rtype[0]
    if not subtract:
        if a.state == POS_INF:
            return special(d, NAN if b.state == NEG_INF else POS_INF)
        if a.state == NEG_INF:
            return special(d, NAN if b.state == POS_INF else NEG_INF)
        return special(d, b.state)
    if a.state == POS_INF:
        return special(d, NAN if b.state == POS_INF else POS_INF)
    if a.state == NEG_INF:
        return special(d, NAN if b.state == NEG_INF else NEG_INF)
    return special(d, NEG_INF if b.state == POS_INF else POS_INF)


def m_mul(rtype, a, b):
    if a.nan:
        return copy_nan(rtype, a)
    if b.nan:
        return copy_nan(rtype, b)
    neg = a.neg != b.neg
    if not (a.finite and b.finite):
        return special(rtype[0], NEG_INF if neg else POS_INF)
    product = a.mag * b.mag
    return fit(product, neg and (a.d != 0 and b.d != 0), rtype)


def m_div(rtype, a, b):
    if a.nan:
        return copy_nan(rtype, a)
    if b.nan:
        return copy_nan(rtype, b)
    digits, scale = rtype
    neg = a.neg != b.neg
    if not a.finite:
        return special(digits, NAN if not b.finite else (NEG_INF if neg else POS_INF))
    if not b.finite:
        return finite(digits, 0, neg)
    if b.d == 0:
        return special(digits, NAN if a.d == 0 else (NEG_INF if neg else POS_INF))
    q = int(a.mag.scaleb(scale) // b.mag)  # divide-integer truncates toward zero
    if q >= POW10[digits]:
        return special(digits, NEG_INF if neg else POS_INF)
    return finite(digits, q, neg)


def m_neg(rtype, a):
    if a.nan:
        return copy_nan(rtype, a)
    if not a.finite:
        return special(rtype[0], POS_INF if a.state == NEG_INF else NEG_INF)
    return fit(a.mag, (not a.neg) and a.d != 0, rtype)


def m_cmp(a, b, op):
    if a.nan or b.nan:
        return 1 if op == 1 else 0
    if a.finite and b.finite:
        va = -a.mag if a.neg else a.mag
        vb = -b.mag if b.neg else b.mag
        c = (va > vb) - (va < vb)
    else:
        rank = {NEG_INF: -1, POS_INF: 1}
        ra, rb = rank.get(a.state, 0), rank.get(b.state, 0)
        c = (ra > rb) - (ra < rb)
    return {0: c == 0, 1: c != 0, 2: c < 0, 3: c <= 0, 4: c >= 0, 5: c > 0}.get(op, False) * 1


# Rounding modes on the magnitude, by (mode, negative).
MAG_MODES = {
    1: (decimal.ROUND_DOWN, decimal.ROUND_UP),
    2: (decimal.ROUND_DOWN, decimal.ROUND_DOWN),
    3: (decimal.ROUND_UP, decimal.ROUND_DOWN),
    4: (decimal.ROUND_UP, decimal.ROUND_UP),
    5: (decimal.ROUND_HALF_UP, decimal.ROUND_HALF_DOWN),
    6: (decimal.ROUND_HALF_UP, decimal.ROUND_HALF_UP),
    7: (decimal.ROUND_HALF_EVEN, decimal.ROUND_HALF_EVEN),
    8: (decimal.ROUND_HALF_DOWN, decimal.ROUND_HALF_DOWN),
}


def m_round(rtype, a, scale, mode):
    if a.nan:
        return copy_nan(rtype, a)
    if not a.finite:
        return special(rtype[0], a.state)
    mag = a.mag
    if mode in MAG_MODES:
        mag = mag.quantize(ONE.scaleb(-scale), rounding=MAG_MODES[mode][a.neg])
    return fit(mag, a.neg, rtype)


def wrap32(n):
    n %= 1 << 32
    return n - (1 << 32) if n >= 1 << 31 else n


def m_ipart(a):
    if not a.finite:
        return 0
    n = int(a.mag.to_integral_value(rounding=decimal.ROUND_DOWN))
    return wrap32(-n if a.neg else n)


def m_fpart(a):
    if not a.finite or a.scale <= 0:
        return 0
    return wrap32(a.d % POW10[a.scale])


def m_set(rtype, whole, units):
    digits, scale = rtype
    neg = whole < 0 or (whole == 0 and units < 0)
    integer = abs(whole) % POW10[max(digits - scale, 0)]
    fraction = abs(units) % POW10[scale] if scale > 0 else 0
    mag = Decimal(integer) + Decimal(fraction).scaleb(-scale)
    return fit(mag, neg, rtype)


def m_setd(rtype, x):
    """The double's digits exactly as the double-precision steps produce them."""
    digits, scale = rtype
    if x == 0:
        x = 0.0
    neg = 0.0 > x
    if not math.isfinite(x):
        return finite(digits, 0, neg)
    fp, ip = math.modf(x)
    if neg:
        ip, fp = -ip, -fp
    value = Decimal(0)
    e = 0
    while e < digits - scale and ip != 0:
        value += Decimal(int(math.fmod(ip, 10.0))).scaleb(e)
        ip = float(math.floor(ip / 10.0))
        e += 1
    e = -1
    while e >= -scale and fp != 0:
        fp = fp * 10.0
        value += Decimal(int(fp)).scaleb(e)
        fp = math.modf(fp)[0]
        e -= 1
    return fit(value, neg, rtype)


def m_getd(a):
    if not a.finite:
        return 0.0
    text = str(a.d).zfill(a.digits) + "0" * max(-a.scale, 0)
    frac_digits = max(a.scale, 0)
    int_text, frac_text = text[:len(text) - frac_digits], text[len(text) - frac_digits:]
    whole = 0.0
    for ch in int_text:
        whole = whole * 10.0 + (ord(ch) - 48)
    fraction = 0.0
    for ch in frac_text:
        fraction = fraction * 10.0 + (ord(ch) - 48)
    result = (0.1 ** frac_digits) * fraction + whole
    return -result if a.neg else result


def is_word_char(c):
    return 48 <= c <= 57 or 65 <= c <= 90 or 97 <= c <= 122 or c == 95


def m_sets(r0, text):
    """Returns (packed hex, end offset)."""
    digits, scale = r0.digits, r0.scale
    p = 0
    while p < len(text) and text[p] in SPACES:
        p += 1
    for word, state in ((b"-Inf", NEG_INF), (b"+Inf", POS_INF), (b"NaN", NAN)):
        after = p + len(word)
        if text.startswith(word, p) and not (after < len(text) and is_word_char(text[after])):
            return special(digits, state), after
    q = p
    neg = text[q:q + 1] == b"-"
    q += neg
    start = q
    while q < len(text) and 48 <= text[q] <= 57:
        q += 1
    int_run = text[start:q]
    frac_run = b""
    end = q
    if q < len(text) and text[q] == 46:
        q += 1
        start = q
        while q < len(text) and 48 <= text[q] <= 57:
            q += 1
        frac_run = text[start:q]
        end = q
    int_positions = digits - scale
    stores_int = len(int_run) > 0 and (int_positions > 0 or int_run.strip(b"0") == b"")
    stores_frac = len(frac_run) > 0 and scale > 0
    if not stores_int and not stores_frac:
        return r0.hex, 0
    integer = int(int_run or b"0") % POW10[max(int_positions, 0)]
    mag = Decimal(integer) + (Decimal(int(frac_run)).scaleb(-len(frac_run)) if frac_run else ZERO)
    return fit(mag, neg, (digits, scale)), end


def m_gets(a, precision):
    if not a.finite:
        return {POS_INF: "+Inf", NEG_INF: "-Inf"}.get(a.state, "NaN")
    s = max(a.scale, 0)
    if 0 <= precision < s:
        q = int(a.mag.scaleb(precision).quantize(ONE, rounding=decimal.ROUND_HALF_EVEN))
        whole, frac = divmod(q, POW10[precision])
        frac_text = str(frac).zfill(precision) if precision else ""
    else:
        whole, frac = (divmod(a.d, POW10[s]) if a.scale >= 0 else (a.d * POW10[-a.scale], 0))
        frac_text = str(frac).zfill(s) if s else ""
    text = ("-" if a.neg else "") + str(whole)
    if precision > 0:
        text += "." + frac_text[:precision] + "0" * (precision - s if precision > s else 0)
    elif precision < 0 and s > 0:
        text += "." + (frac_text.rstrip("0") or "0")
    return text


# --- random inputs -------------------------------------------------------------------------

class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def digits(self):
        x = self.r.random()
        if x < 0.001:
            return self.r.randint(990, 1010)
        if x < 0.011:
            return self.r.randint(90, 110)
        if x < 0.02:
            return 0
        return self.r.randint(1, 40)

    def rtype(self):
        d = self.digits()
        return d, self.r.randint(-5, d) if d > 0 else self.r.randint(-5, 0)

    def near(self, t):
        """A type wider or narrower than t."""
        d, s = t
        d2 = max(0, d + self.r.randint(-4, 4))
        s2 = min(d2, s + self.r.randint(-3, 3))
        return d2, max(s2, -5) if d2 > 0 else min(s2, 0)

    def result_type(self, *operands):
        x = self.r.random()
        if x < 0.3:
            t = self.r.choice(operands)
            return t.digits, t.scale
        if x < 0.75:
            t = self.r.choice(operands)
            return self.near((t.digits, t.scale))
        return self.rtype()

    def digit_string(self, n):
        """An n-digit value with a varied pattern of significant digits."""
        r = self.r
        if n == 0:
            return 0
        x = r.random()
        if x < 0.08:
            return 0
        k = r.randint(1, n) if x < 0.8 else n
        y = r.random()
        if y < 0.1:
            return POW10[k] - 1                       # all nines
        if y < 0.2:
            return POW10[k - 1] * r.choice((1, 5))    # one digit, halves
        if y < 0.3:
            return r.randint(0, 9) * POW10[k - 1] + 5 * POW10[max(k - 2, 0)] if k > 1 else 5
        return r.randrange(POW10[k - 1], POW10[k])

    def record(self, t=None):
        r = self.r
        digits, scale = t if t else self.rtype()
        x = r.random()
        if x < 0.88:
            d = self.digit_string(digits)
            return Rec(digits, scale, NEGATIVE if r.random() < 0.5 else POSITIVE, d)
        if x < 0.91:
            return Rec(digits, scale, POS_INF)
        if x < 0.94:
            return Rec(digits, scale, NEG_INF)
        if x < 0.97:
            return Rec(digits, scale, NAN)
        # A NaN with meaningless nibbles, state 14 or 15.
        n = digits // 2 + 1
        raw = bytearray(r.getrandbits(8) for _ in range(n))
        state = r.choice((14, 15))
        raw[-1] = (raw[-1] & 0xF0) | state
        return Rec(digits, scale, state, 0, raw.hex())

    def operand_pair(self):
        a = self.record()
        x = self.r.random()
        if x < 0.4:
            b = self.record((a.digits, a.scale))
        elif x < 0.7:
            b = self.record(self.near((a.digits, a.scale)))
        else:
            b = self.record()
        return (a, b) if self.r.random() < 0.5 else (b, a)

    def text_for(self, digits, scale):
        r = self.r
        x = r.random()
        if x < 0.12:
            word = r.choice((b"NaN", b"+Inf", b"-Inf", b"nan", b"inf", b"Inf", b"NaNa", b"+Infinity"))
            follow = r.choice((b"", b" ", b",", b"\x80", b"a", b"_", b"0", b"-", b"\xff"))
            return word + follow
        if x < 0.2:
            return r.choice((b"", b"-", b".", b"-.", b"+5", b"abc", b" ", b"\t-x", b"--1", b"0", b"-0",
                             b"0.", b"00", b".0", b"5", b"5.", b"-5.5"))
        prefix = bytes(r.choice(SPACES) for _ in range(r.choice((0, 0, 0, 1, 2))))
        sign = b"-" if r.random() < 0.4 else b""
        int_len = r.randint(0, max(digits - scale, 0) + 3)
        int_run = bytes(r.choice(b"0123456789") for _ in range(int_len))
        if int_run and r.random() < 0.2:
            int_run = b"0" * r.randint(1, 3) + int_run
        frac = b""
        if r.random() < 0.7:
            frac = b"." + bytes(r.choice(b"0123456789") for _ in range(r.randint(0, max(scale, 0) + 3)))
        suffix = r.choice((b"", b"", b"", b"xyz", b" ", b",", b".5", b"e5", b"\x80"))
        return prefix + sign + int_run + frac + suffix

    def double(self):
        r = self.r
        x = r.random()
        if x < 0.05:
            return r.choice((0.0, -0.0, math.inf, -math.inf, math.nan, 2.675, 0.1, -0.001, 1e300, 5e-324))
        if x < 0.4:
            return round(r.uniform(-1000, 1000), r.randint(0, 6))
        if x < 0.7:
            return r.uniform(-1, 1) * 10.0 ** r.randint(-12, 25)
        return struct.unpack("<d", struct.pack("<Q", r.getrandbits(64)))[0]


# --- case streams ----------------------------------------------------------------------------

def arith_cases(g, n):
    for _ in range(n):
        for op in ("add", "sub", "mul", "div"):
            a, b = g.operand_pair()
            if op == "div" and g.r.random() < 0.05 and b.finite:
                b = Rec(b.digits, b.scale, b.state, 0)  # division by zero of either sign
            rt = g.result_type(a, b)
            if op == "mul":
                want = m_mul(rt, a, b)
            elif op == "div":
                want = m_div(rt, a, b)
            else:
                want = m_addsub(rt, a, b, op == "sub")
            yield "%s %d:%d %s %s %s" % (op, rt[0], rt[1], a.token(), b.token(), want)
        a = g.record()
        rt = g.result_type(a)
        yield "neg %d:%d %s %s" % (rt[0], rt[1], a.token(), m_neg(rt, a))
        a, b = g.operand_pair()
        op = g.r.randint(0, 6)
        yield "cmp %s %s %d %d" % (a.token(), b.token(), op, m_cmp(a, b, op))


def round_cases(g, n):
    for _ in range(n):
        a = g.record()
        rt = g.result_type(a)
        scale = a.scale + g.r.randint(-4, 2) if g.r.random() < 0.9 else g.r.randint(-50, 50)
        mode = g.r.randint(0, 8) if g.r.random() < 0.97 else g.r.choice((-1, 9, 1000))
        yield "round2 %d:%d %s %d %d %s" % (rt[0], rt[1], a.token(), scale, mode, m_round(rt, a, scale, mode))
        a = g.record()
        rt = g.result_type(a)
        scale = a.scale + g.r.randint(-4, 2)
        yield "round %d:%d %s %d %s" % (rt[0], rt[1], a.token(), scale, m_round(rt, a, scale, 7))
        a = g.record()
        rt = g.result_type(a)
        scale = a.scale + g.r.randint(-4, 2)
        yield "trunc %d:%d %s %d %s" % (rt[0], rt[1], a.token(), scale, m_round(rt, a, scale, 2))
        a = g.record()
        yield "ipart %s %d" % (a.token(), m_ipart(a))
        yield "fpart %s %d" % (a.token(), m_fpart(a))


def text_cases(g, n):
    for _ in range(n):
        r0 = g.record()
        text = g.text_for(r0.digits, r0.scale)
        want, end = m_sets(r0, text)
        yield "sets %s %s %s %d" % (r0.token(), text.hex() or "-", want, end)
        a = g.record()
        x = g.r.random()
        precision = -1 if x < 0.3 else (g.r.randint(-5, -1) if x < 0.35 else g.r.randint(0, max(a.scale, 0) + 4))
        text = m_gets(a, precision)
        length = len(text)
        size = g.r.choice((0, 1, 2, length, length + 1, length + 5, g.r.randint(0, length + 2)))
        stored = text[:size - 1] if size > 0 else ""
        yield "gets %s %d %d %s %d" % (a.token(), precision, size, stored.encode().hex() or "-", length)


def value_cases(g, n):
    for _ in range(n):
        rt = g.rtype()
        whole = g.r.choice((g.r.randint(-2 ** 31, 2 ** 31 - 1), g.r.randint(-99999, 99999), -2 ** 31, 0))
        units = g.r.choice((g.r.randint(0, 2 ** 31 - 1), g.r.randint(0, 9999), 0, g.r.randint(-999, -1)))
        yield "set %d:%d %d %d %s" % (rt[0], rt[1], whole, units, m_set(rt, whole, units))
        rt = g.rtype() if g.r.random() < 0.9 else (g.r.randint(300, 340), g.r.randint(280, 300))
        x = g.double()
        bits = struct.unpack("<Q", struct.pack("<d", x))[0]
        yield "setd %d:%d %016x %s" % (rt[0], rt[1], bits, m_setd(rt, x))
        a = g.record()
        got = struct.unpack("<Q", struct.pack("<d", m_getd(a)))[0]
        yield "getd %s %016x" % (a.token(), got)


GROUPS = {"arith": arith_cases, "round": round_cases, "text": text_cases, "value": value_cases}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("driver")
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("--cases", type=int, default=200000, help="rounds of cases (each covers every operation of the group)")
    ap.add_argument("--seed", type=int, default=20240611)
    args = ap.parse_args()
    g = Gen("%s-%d" % (args.group, args.seed))
    proc = subprocess.Popen([args.driver], stdin=subprocess.PIPE, text=True)
    batch = []
    for line in GROUPS[args.group](g, args.cases):
        batch.append(line)
        if len(batch) >= 2000:
            proc.stdin.write("\n".join(batch) + "\n")
            batch = []
    proc.stdin.write("\n".join(batch) + "\n")
    proc.stdin.close()
    rc = proc.wait()
    if rc != 0:
        print("oracle: the driver found mismatches (exit %d); seed %d" % (rc, args.seed), file=sys.stderr)
    return rc


if __name__ == "__main__":
    sys.exit(main())
