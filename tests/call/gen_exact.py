#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes random interfaces for the exactness test of dynamic calls.

Usage: gen_exact.py SEED COUNT OUTDIR

OUTDIR receives:
  gen.idl        random types and interfaces with COUNT operations and attributes in all;
  gen_plugin.c   a C implementation of every interface: each out, inout and result value is a
                 copy of an `in` argument of the same type or a constant, so that the outputs
                 depend on the inputs;
  gen_driver.c   for every member, a function that builds the inputs natively, calls the member
                 through the generated header and writes the outputs in a canonical text; and a
                 table with the same inputs and output sources as IDL literal text, which the
                 test feeds to the dynamic layer.
"""
import random
import sys

BASICS = [
    # idl, C type, size, kind letter
    ("boolean", "kivBoolean", 1),
    ("octet", "uint8_t", 1),
    ("char", "char", 1),
    ("wchar", "kivWChar", 2),
    ("short", "int16_t", 2),
    ("unsigned short", "uint16_t", 2),
    ("long", "int32_t", 4),
    ("unsigned long", "uint32_t", 4),
    ("long long", "int64_t", 8),
    ("unsigned long long", "uint64_t", 8),
    ("float", "float", 4),
    ("double", "double", 8),
    ("decimal32", "kivDecimal32", 4),
    ("decimal64", "kivDecimal64", 8),
    ("decimal128", "kivDecimal128", 16),
]
RANGES = {
    "octet": (0, 255), "short": (-32768, 32767), "unsigned short": (0, 65535),
    "long": (-2**31, 2**31 - 1), "unsigned long": (0, 2**32 - 1),
    "long long": (-2**63, 2**63 - 1), "unsigned long long": (0, 2**64 - 1),
}
STRING_PIECES = ["a", "b", "Z", "0", " ", "é", "€", "\n", "\"", "\\", "ok", "日本", "'"]
WIDE_CHARS = [0x41, 0x7A, 0xE9, 0x416, 0x4E2D, 0x20AC, 0x1F600]


class T:
    """A type: kind is basic, string, wstring, enum, struct, union, seq, array or iface."""

    def __init__(self, kind, idl, c, **kw):
        self.kind, self.idl, self.c = kind, idl, c
        self.__dict__.update(kw)
        self.id = None

    @property
    def native(self):
        """The C type of a variable that holds the value: an array's own typedef."""
        return f"Gen_{self.idl}" if self.kind == "array" else self.c


class Gen:
    def __init__(self, seed, count):
        self.r = random.Random(seed)
        self.count = count
        self.decls = []  # IDL declarations inside the module, in order
        self.types = []  # every generated type, for the C helpers
        self.n = 0
        self.ifaces = []

    def name(self, prefix):
        self.n += 1
        return f"{prefix}{self.n}"

    def register(self, t):
        t.id = len(self.types)
        self.types.append(t)
        return t

    # ---- types ----

    def basic(self, idl=None):
        idl = idl or self.r.choice(BASICS)[0]
        entry = next(b for b in BASICS if b[0] == idl)
        return self.register(T("basic", idl, entry[1], size=entry[2]))

    def string(self, wide):
        bound = self.r.choice([0, 0, 12])
        base = "wstring" if wide else "string"
        idl = f"{base}<{bound}>" if bound else base
        return self.register(T("wstring" if wide else "string", idl,
                               "kivWChar *" if wide else "char *", bound=bound))

    def enum(self):
        n = self.name("E")
        names = [f"{n}_{k}" for k in range(self.r.randint(1, 4))]
        values = sorted(self.r.sample(range(0, 50), len(names)))
        body = ", ".join(f"{a} = {v}" if self.r.random() < 0.5 else a for a, v in zip(names, values))
        # Values without an explicit number follow the previous one: compute them as IDL does.
        actual, nxt = [], 0
        for part in body.split(", "):
            if " = " in part:
                nxt = int(part.split(" = ")[1])
            actual.append(nxt)
            nxt += 1
        if len(set(actual)) != len(actual):
            body = ", ".join(f"{a} = {v}" for a, v in zip(names, values))
            actual = values
        self.decls.append(f"enum {n} {{ {body} }};")
        return self.register(T("enum", n, f"Gen_{n}", members=list(zip(names, actual))))

    def struct(self, depth):
        n = self.name("S")
        members = [(f"m{k}", self.any(depth + 1)) for k in range(self.r.randint(1, 4))]
        body = " ".join(f"{t.idl} {m};" for m, t in members)
        self.decls.append(f"struct {n} {{ {body} }};")
        return self.register(T("struct", n, f"Gen_{n}", members=members))

    def union(self, depth):
        n = self.name("U")
        disc = self.r.choice(["long", "short", "unsigned short", "enum"])
        dt = self.enum() if disc == "enum" else self.basic(disc)
        pool = [v for _, v in dt.members] if disc == "enum" else list(range(0, 20))
        labels = self.r.sample(pool, min(len(pool), self.r.randint(1, 3)))
        cases = [(f"c{k}", self.any(depth + 1), lab) for k, lab in enumerate(labels)]
        has_default = self.r.random() < 0.4 and len(labels) < len(pool)
        if has_default:
            cases.append((f"c{len(cases)}", self.any(depth + 1), None))
        lines = []
        for cname, ct, lab in cases:
            if lab is None:
                label = "default"
            elif disc == "enum":
                label = "case " + next(a for a, v in dt.members if v == lab)
            else:
                label = f"case {lab}"
            lines.append(f"{label}: {ct.idl} {cname};")
        self.decls.append(f"union {n} switch ({dt.idl}) {{ {' '.join(lines)} }};")
        return self.register(T("union", n, f"Gen_{n}", disc=dt, cases=cases, pool=pool))

    def seq(self, depth):
        n = self.name("Q")
        el = self.any(depth + 1, sequence_element=True)
        bound = self.r.choice([0, 0, 3])
        self.decls.append(f"typedef sequence<{el.idl}{', ' + str(bound) if bound else ''} > {n};")
        return self.register(T("seq", n, f"Gen_{n}", el=el, bound=bound))

    def array(self, depth):
        n = self.name("A")
        el = self.any(depth + 1, sequence_element=True)
        length = self.r.randint(1, 3)
        self.decls.append(f"typedef {el.idl} {n}[{length}];")
        return self.register(T("array", n, f"Gen_{n}", el=el, length=length))

    def iface_ref(self):
        return self.register(T("iface", "IThing", "Gen_IThing *"))

    def any(self, depth=0, sequence_element=False):
        choices = ["basic"] * 6 + ["string", "wstring", "enum"]
        if depth < 3:
            choices += ["struct", "union", "seq", "seq", "array", "struct"]
        if not sequence_element:
            choices += ["iface"]
        kind = self.r.choice(choices)
        if kind == "basic":
            return self.basic()
        if kind in ("string", "wstring"):
            return self.string(kind == "wstring")
        if kind == "iface":
            return self.iface_ref()
        return {"enum": lambda: self.enum(), "struct": lambda: self.struct(depth),
                "union": lambda: self.union(depth), "seq": lambda: self.seq(depth),
                "array": lambda: self.array(depth)}[kind]()

    # ---- values: (IDL literal, C statements building it into an lvalue) ----

    def value(self, t, lv, top=False):
        r = self.r
        if t.kind == "basic":
            return self.basic_value(t, lv)
        if t.kind == "string":
            n = r.randint(0, 4 if not t.bound else 3)
            text = "".join(r.choice(STRING_PIECES) for _ in range(n))
            if t.bound:
                text = text.encode()[:t.bound].decode("utf-8", "ignore")
            data = text.encode()
            c = "".join(f"\\{b:03o}" for b in data)
            return idl_string(text), [f'{lv} = kivStrDup("{c}");']
        if t.kind == "wstring":
            cps = [r.choice(WIDE_CHARS) for _ in range(r.randint(0, 3 if not t.bound else 2))]
            units = []
            for cp in cps:
                if cp >= 0x10000:
                    units += [0xD800 + ((cp - 0x10000) >> 10), 0xDC00 + ((cp - 0x10000) & 0x3FF)]
                else:
                    units.append(cp)
            arr = ", ".join(str(u) for u in units + [0])
            return "L" + idl_string("".join(map(chr, cps))), [
                f"{{ static const kivWChar u[] = {{{arr}}}; {lv} = gen_wdup(u); }}"]
        if t.kind == "enum":
            name, v = r.choice(t.members)
            return name, [f"{lv} = (Gen_{t.idl})UINT32_C({v});"]
        if t.kind == "struct":
            named = r.random() < 0.5
            parts, code = [], []
            for m, mt in t.members:
                lit, c = self.value(mt, f"{lv}.{m}")
                parts.append(f"{m} = {lit}" if named else lit)
                code += c
            return "{ " + ", ".join(parts) + " }", code
        if t.kind == "union":
            labels = [lab for _, _, lab in t.cases if lab is not None]
            has_default = any(lab is None for _, _, lab in t.cases)
            free = [v for v in t.pool if v not in labels]
            if free and (has_default or r.random() < 0.2) and r.random() < 0.5:
                d = r.choice(free)
                case = next((c for c in t.cases if c[2] is None), None)
            else:
                case = r.choice([c for c in t.cases if c[2] is not None])
                d = case[2]
            dlit, dcode = self.disc_value(t.disc, d, f"{lv}._d")
            if case is None:
                return "{ " + dlit + " }", dcode
            lit, code = self.value(case[1], f"{lv}._u.{case[0]}")
            return "{ " + dlit + ": " + lit + " }", dcode + code
        if t.kind == "seq":
            n = r.randint(0, t.bound or 3)
            if n == 0:
                return "[]", [f"{lv}.length = 0; {lv}.maximum = 0; {lv}.buffer = NULL;"]
            code = [f"{lv}.length = {n}; {lv}.maximum = {n}; "
                    f"{lv}.buffer = kivCalloc({n}, sizeof *{lv}.buffer);"]
            lits = []
            for i in range(n):
                lit, c = self.value(t.el, f"{lv}.buffer[{i}]")
                lits.append(lit)
                code += c
            return "[" + ", ".join(lits) + "]", code
        if t.kind == "array":
            lits, code = [], []
            for i in range(t.length):
                lit, c = self.value(t.el, f"({lv})[{i}]")
                lits.append(lit)
                code += c
            return "[" + ", ".join(lits) + "]", code
        if t.kind == "iface":
            if top and r.random() < 0.6:
                return "self", [f"{lv} = (Gen_IThing *)gen_self; gen_addref(gen_self);"]
            return "null", [f"{lv} = NULL;"]
        raise AssertionError(t.kind)

    def disc_value(self, dt, d, lv):
        if dt.kind == "enum":
            name = next(a for a, v in dt.members if v == d)
            return name, [f"{lv} = (Gen_{dt.idl})UINT32_C({d});"]
        return str(d), [f"{lv} = ({dt.c}){d};"]

    def basic_value(self, t, lv):
        r, idl = self.r, t.idl
        if idl == "boolean":
            b = r.randint(0, 1)
            return ("TRUE" if b else "FALSE"), [f"{lv} = {b};"]
        if idl in RANGES:
            lo, hi = RANGES[idl]
            v = r.choice([lo, hi, 0, 1, r.randint(lo, hi)])
            if idl == "long long" and v == lo:
                c = "INT64_MIN"
            elif idl == "unsigned long long":
                c = f"UINT64_C({v})"
            elif idl == "long long":
                c = f"INT64_C({v})"
            else:
                c = f"({t.c})({v}LL)"
            lit = str(v) if r.random() < 0.7 or v < 0 else hex(v)
            return lit, [f"{lv} = {c};"]
        if idl == "char":
            v = r.choice([65, 97, 48, 32, 39, 92, 126, 10])
            return idl_char(chr(v)), [f"{lv} = (char){v};"]
        if idl == "wchar":
            v = r.choice([cp for cp in WIDE_CHARS if cp < 0x10000])
            return "L" + idl_char(chr(v)), [f"{lv} = (kivWChar){v};"]
        if idl in ("float", "double"):
            v = r.randint(-4000, 4000) / 8
            return repr(v), [f"{lv} = ({t.c})({v!r});"]
        # decimals: a coefficient and a small negative exponent, written as digits and a point
        digits = {"decimal32": 6, "decimal64": 15, "decimal128": 30}[idl]
        coeff = r.randint(0, 10 ** r.randint(1, digits) - 1)
        exp = -r.randint(0, 4)
        neg = r.random() < 0.3
        text = str(coeff).rjust(-exp + 1, "0")
        if exp:
            text = text[:exp] + "." + text[exp:]
        text = ("-" if neg else "") + text + "d"
        if idl == "decimal32":
            bits = (neg << 31) | ((exp + 101) << 23) | coeff
            return text, [f"{lv}.bits = UINT32_C({bits});"]
        if idl == "decimal64":
            bits = (neg << 63) | ((exp + 398) << 53) | coeff
            return text, [f"{lv}.bits = UINT64_C({bits});"]
        hi = (neg << 63) | ((exp + 6176) << 49) | (coeff >> 64)
        lo = coeff & (2**64 - 1)
        return text, [f"{lv}.words[0] = UINT64_C({lo}); {lv}.words[1] = UINT64_C({hi});"]

    # ---- interfaces ----

    def interfaces(self):
        made = 0
        index = 0
        while made < self.count:
            n = f"I{index}"
            base = self.ifaces[-1] if self.ifaces and self.r.random() < 0.3 else None
            members = []
            for k in range(self.r.randint(1, 4)):
                if made >= self.count:
                    break
                made += 1
                if self.r.random() < 0.15:
                    t = self.any(1)
                    ro = t.kind == "iface" or self.r.random() < 0.5
                    members.append(["attr", f"a{index}_{k}", t, ro])
                    continue
                params = []
                for p in range(self.r.randint(0, 4)):
                    direction = self.r.choice(["in", "in", "out", "inout"])
                    params.append((f"p{p}", direction, self.any()))
                result = None if self.r.random() < 0.25 else self.any()
                members.append(["op", f"op{index}_{k}", params, result])
            self.ifaces.append({"name": n, "base": base, "members": members})
            index += 1


def idl_string(text):
    out = '"'
    for ch in text:
        out += {"\n": "\\n", '"': '\\"', "\\": "\\\\"}.get(ch, ch)
    return out + '"'


def idl_char(ch):
    return "'" + {"\n": "\\n", "'": "\\'", "\\": "\\\\"}.get(ch, ch) + "'"


def c_quote(text):
    return '"' + "".join(f"\\{b:03o}" for b in text.encode()) + '"'


# ---- C helpers per type ----------------------------------------------------------------------

def helpers(g):
    out = []
    for t in g.types:
        out.append(f"static void UNUSED copy_{t.id}(void *dst, const void *src);")
        out.append(f"static void UNUSED free_{t.id}(void *v);")
        out.append(f"static void UNUSED dump_{t.id}(GenBuf *b, const void *v);")
    for t in g.types:
        out += copy_fn(t) + free_fn(t) + dump_fn(t)
    return "\n".join(out)


def copy_fn(t):
    head = f"static void UNUSED copy_{t.id}(void *dst_, const void *src_) {{"
    ty = t.native
    body = [f"{ty} *dst = dst_; {ty} const *src = src_;"]
    if t.kind in ("basic", "enum"):
        body.append("*dst = *src;")
    elif t.kind == "string":
        body.append("*dst = kivStrDup(*src);")
    elif t.kind == "wstring":
        body.append("*dst = *src ? gen_wdup(*src) : NULL;")
    elif t.kind == "iface":
        body.append("*dst = *src; if (*src) gen_addref(*src);")
    elif t.kind == "struct":
        for m, mt in t.members:
            body.append(f"copy_{mt.id}(&dst->{m}, &src->{m});")
    elif t.kind == "union":
        body.append("dst->_d = src->_d;")
        body += union_switch(t, "src->_d", lambda c: f"copy_{c[1].id}(&dst->_u.{c[0]}, &src->_u.{c[0]});")
    elif t.kind == "seq":
        body.append("dst->length = dst->maximum = src->length; dst->buffer = NULL;")
        body.append("if (src->length) dst->buffer = kivCalloc(src->length, sizeof *dst->buffer);")
        body.append(f"for (uint32_t i = 0; i < src->length; ++i) copy_{t.el.id}(&dst->buffer[i], &src->buffer[i]);")
    elif t.kind == "array":
        body.append(f"for (int i = 0; i < {t.length}; ++i) copy_{t.el.id}(&(*dst)[i], &(*src)[i]);")
    return [head] + ["    " + x for x in body] + ["}"]


def free_fn(t):
    head = f"static void UNUSED free_{t.id}(void *v_) {{"
    ty = t.native
    body = [f"{ty} *v = v_;"]
    if t.kind in ("basic", "enum"):
        body.append("(void)v;")
    elif t.kind in ("string", "wstring"):
        body.append("kivFree(*v); *v = NULL;")
    elif t.kind == "iface":
        body.append("if (*v) gen_release(*v);")
        body.append("*v = NULL;")
    elif t.kind == "struct":
        for m, mt in t.members:
            body.append(f"free_{mt.id}(&v->{m});")
    elif t.kind == "union":
        body += union_switch(t, "v->_d", lambda c: f"free_{c[1].id}(&v->_u.{c[0]});")
    elif t.kind == "seq":
        body.append(f"for (uint32_t i = 0; i < v->length; ++i) free_{t.el.id}(&v->buffer[i]);")
        body.append("kivFree(v->buffer); v->buffer = NULL; v->length = v->maximum = 0;")
    elif t.kind == "array":
        body.append(f"for (int i = 0; i < {t.length}; ++i) free_{t.el.id}(&(*v)[i]);")
    return [head] + ["    " + x for x in body] + ["}"]


def dump_fn(t):
    head = f"static void UNUSED dump_{t.id}(GenBuf *b, const void *v_) {{"
    ty = t.native
    if t.kind in ("string", "wstring", "iface"):
        body = [f"{t.c} const *v = v_;"]
    else:
        body = [f"const {ty} *v = v_;"]
    if t.kind == "basic" and t.idl == "decimal128":
        body.append("gen_hex128(b, v->words[1], v->words[0]);")
    elif t.kind in ("basic", "enum"):
        size = 4 if t.kind == "enum" else t.size
        body.append(f"gen_scalar(b, v, {size});")
    elif t.kind == "string":
        body.append("gen_string(b, *v);")
    elif t.kind == "wstring":
        body.append("gen_wstring(b, *v);")
    elif t.kind == "iface":
        body.append("gen_ref(b, *v);")
    elif t.kind == "struct":
        body.append('gen_put(b, "{");')
        for i, (m, mt) in enumerate(t.members):
            if i:
                body.append('gen_put(b, ",");')
            body.append(f"dump_{mt.id}(b, &v->{m});")
        body.append('gen_put(b, "}");')
    elif t.kind == "union":
        body.append('gen_put(b, "u(");')
        body.append(f"dump_{t.disc.id}(b, &v->_d);")
        body.append('gen_put(b, ")");')
        body += union_switch(t, "v->_d", lambda c: f'gen_put(b, ":"); dump_{c[1].id}(b, &v->_u.{c[0]});')
    elif t.kind == "seq":
        body.append('gen_put(b, "["); gen_count(b, v->length);')
        body.append(f'for (uint32_t i = 0; i < v->length; ++i) {{ gen_put(b, i ? "," : ""); dump_{t.el.id}(b, &v->buffer[i]); }}')
        body.append('gen_put(b, "]");')
    elif t.kind == "array":
        body.append('gen_put(b, "a[");')
        body.append(f'for (int i = 0; i < {t.length}; ++i) {{ gen_put(b, i ? "," : ""); dump_{t.el.id}(b, &(*v)[i]); }}')
        body.append('gen_put(b, "]");')
    return [head] + ["    " + x for x in body] + ["}"]


def union_switch(t, disc, action):
    lines = []
    first = True
    default = None
    for c in t.cases:
        if c[2] is None:
            default = c
            continue
        lines.append(f"{'if' if first else 'else if'} ((uint64_t)({disc}) == (uint64_t){c[2]}u) {{ {action(c)} }}")
        first = False
    if default:
        lines.append(f"else {{ {action(default)} }}")
    return lines


# ---- signatures ------------------------------------------------------------------------------

def param_decl(t, direction, name):
    if direction == "in":
        if t.kind in ("struct", "union", "seq"):
            return f"const {t.c} *{name}"
        if t.kind == "array":
            return f"const Gen_{t.idl} {name}"
        if t.kind == "string":
            return f"const char *{name}"
        if t.kind == "wstring":
            return f"const kivWChar *{name}"
        return f"{t.c} {name}"
    if t.kind == "array":
        return f"Gen_{t.idl} {name}"
    return f"{t.c} *{name}"


def addr_in(t, name):
    """A pointer to the whole native value of an `in` parameter inside the callee."""
    if t.kind in ("struct", "union", "seq", "array"):
        return name
    return f"&{name}"


def members_of(g, iface):
    chain = []
    at = iface
    while at:
        chain.insert(0, at)
        at = at["base"]
    return chain


def plugin(g):
    out = [PRELUDE, helpers(g)]
    for iface in g.ifaces:
        n = iface["name"]
        for m in iface["members"]:
            out += member_impl(g, n, m)
    for idx, iface in enumerate(g.ifaces):
        n = iface["name"]
        slots = ["kivComQueryInterface", "kivComAddRef", "kivComRelease", f"qi_{n}",
                 "gen_obj_addref", "gen_obj_release", f"iid_{n}"]
        chain = members_of(g, iface)
        for owner in chain:
            for m in owner["members"]:
                if m[0] == "attr":
                    slots.append(f"{owner['name']}_get_{m[1]}")
                    if not m[3]:
                        slots.append(f"{owner['name']}_set_{m[1]}")
                else:
                    slots.append(f"{owner['name']}_{m[1]}")
        iids = " || ".join(f'!strcmp(iid, Gen_{o["name"]}_IID)' for o in chain)
        out.append(f"static const char *iid_{n}(void *self) {{ (void)self; return Gen_{n}_IID; }}")
        out.append(f"static kivResult qi_{n}(void *self, const char *iid, void **out) {{")
        out.append(f"    if (!strcmp(iid, KIV_IID_IUNKNOWN) || {iids}) {{ gen_addref(self); *out = self; return 0; }}")
        out.append("    *out = NULL; return KIV_E_NOINTERFACE;\n}")
        out.append(f"static const Gen_{n}Vtbl vtbl_{n} = {{ " + ", ".join(slots) + " };")
    out.append("void *gen_create(int index) {")
    out.append("    static const void *const tables[] = {" + ", ".join(f"&vtbl_{i['name']}" for i in g.ifaces) + "};")
    out.append("    GenObj *o = kivMalloc(sizeof *o); o->vtbl = tables[index]; o->refs = 1; return o;\n}")
    out.append(f"int gen_interface_count = {len(g.ifaces)};")
    out.append("const char *const gen_interface_ids[] = {" + ", ".join(f"Gen_{i['name']}_IID" for i in g.ifaces) + "};")
    return "\n".join(out) + "\n"


def output_source(g, params, t, const_lv):
    """Where an output comes from: an earlier `in` argument of the same type, or a constant."""
    same = [i for i, (_, d, pt) in enumerate(params) if d == "in" and pt is t]
    if same and g.r.random() < 0.6:
        return ("arg", g.r.choice(same)), None
    lit, code = g.value(t, const_lv)
    return ("const", lit), code


def member_impl(g, iname, m):
    out = []
    if m[0] == "attr":
        _, name, t, ro = m
        lit, code = g.value(t, "(*value)" if t.kind != "array" else "(*(Gen_%s *)value)" % t.idl)
        m_rules = {"get": ("const", lit)}
        out.append(f"static kivResult {iname}_get_{name}(Gen_{iname} *self, {param_decl(t, 'out', 'value')}) {{")
        out.append("    (void)self;")
        out += ["    " + c for c in code]
        out.append("    return 0;\n}")
        if not ro:
            out.append(f"static kivResult {iname}_set_{name}(Gen_{iname} *self, {param_decl(t, 'in', 'value')}) {{")
            out.append("    (void)self; (void)value; return 0;\n}")
        m.append(m_rules)
        return out
    _, name, params, result = m
    decls = [param_decl(t, d, p) for p, d, t in params]
    if result:
        decls.append(param_decl(result, "out", "result"))
    out.append(f"static kivResult {iname}_{name}(Gen_{iname} *self{''.join(', ' + d for d in decls)}) {{")
    out.append("    (void)self;")
    sources = []
    body = []

    # An output into `target` (which points to the whole value), from an argument or a constant.
    def output(target, t, inout):
        src, code = output_source(g, params, t, "(*tmp)")
        sources.append(src)
        body.append(f"    {{ {t.native} *tmp = kivCalloc(1, sizeof *tmp);")
        if src[0] == "arg":
            a = params[src[1]]
            body.append(f"      copy_{t.id}(tmp, {addr_in(a[2], a[0])});")
        else:
            body.extend("      " + c for c in code)
        if inout:
            body.append(f"      free_{t.id}({target});")
        body.append(f"      memcpy({target}, tmp, sizeof *tmp); kivFree(tmp); }}")

    for p, d, t in params:
        if d == "in":
            body.append(f"    (void){p};")
            sources.append(None)
        else:
            output(p, t, d == "inout")
    if result:
        output("result", result, False)
    out += body
    out.append("    return 0;\n}")
    m.append({"sources": sources})
    return out


def driver(g):
    out = [PRELUDE, helpers(g)]
    table = []
    fn = 0
    for iface in g.ifaces:
        n = iface["name"]
        for owner in members_of(g, iface):
            for m in owner["members"]:
                if m[0] == "attr":
                    _, name, t, ro, rules = m
                    out += attr_calls(g, n, name, t, ro, fn)
                    table.append((n, owner["name"], f"get_{name}", 0, [], [rules["get"]], f"call_{fn}"))
                    fn += 1
                    if not ro:
                        lit = out.pop()  # the setter's literal, left by attr_calls
                        table.append((n, owner["name"], f"set_{name}", 1, [lit], [], f"call_{fn}"))
                        fn += 1
                else:
                    _, name, params, result, rules = m
                    calls, lits = op_call(g, n, name, params, result, fn)
                    out += calls
                    srcs = rules["sources"]
                    table.append((n, owner["name"], name, len(params), lits, srcs, f"call_{fn}"))
                    fn += 1
    out.append("const GenOp gen_ops[] = {")
    for iname, owner, name, argc, lits, srcs, call in table:
        li = "(const char *const[]){" + "".join(
            (c_quote(x) if x is not None else "NULL") + ", " for x in lits) + "NULL}"
        si = "(const char *const[]){" + "".join(source_text(s) + ", " for s in srcs) + "NULL}"
        out.append(f"    {{Gen_{iname}_IID, Gen_{owner}_IID, \"{name}\", {argc}, {li}, {si}, {call}}},")
    out.append("};")
    out.append(f"const int gen_op_count = {len(table)};")
    return "\n".join(out) + "\n"


def source_text(s):
    if s is None:
        return "NULL"
    if s[0] == "arg":
        return c_quote(f"@arg{s[1]}")
    return c_quote(s[1])


def attr_calls(g, iname, name, t, ro, fn):
    ty = t.native
    out = [f"static kivResult call_{fn}(void *gen_self, GenBuf *b) {{",
           f"    {ty} v; memset(&v, 0, sizeof v);",
           f"    kivResult rc = Gen_{iname}_get_{name}((Gen_{iname} *)gen_self, {'v' if t.kind == 'array' else '&v'});",
           '    gen_rc(b, rc);',
           f"    if (!rc) {{ gen_put(b, \" \"); dump_{t.id}(b, &v); }}",
           f"    free_{t.id}(&v);",
           "    return 0;\n}"]
    if not ro:
        lit, code = g.value(t, "v")
        arg = "v" if t.kind == "array" else ("&v" if t.kind in ("struct", "union", "seq") else "v")
        out += [f"static kivResult call_{fn + 1}(void *gen_self, GenBuf *b) {{",
                f"    {ty} v; memset(&v, 0, sizeof v);"]
        out += ["    " + c for c in code]
        out += [f"    kivResult rc = Gen_{iname}_set_{name}((Gen_{iname} *)gen_self, {arg});",
                "    gen_rc(b, rc);",
                f"    free_{t.id}(&v);",
                "    return 0;\n}", lit]
    return out


def op_call(g, iname, name, params, result, fn):
    out = [f"static kivResult call_{fn}(void *gen_self, GenBuf *b) {{"]
    lits = []
    args = []
    for p, d, t in params:
        out.append(f"    {t.native} {p}; memset(&{p}, 0, sizeof {p});")
        if d != "out":
            lit, code = g.value(t, p, top=True)
            out += ["    " + c for c in code]
            lits.append(lit)
        else:
            lits.append(None)
        if d == "in":
            args.append(f"&{p}" if t.kind in ("struct", "union", "seq") else p)
        else:
            args.append(p if t.kind == "array" else f"&{p}")
    if result:
        out.append(f"    {result.native} r; memset(&r, 0, sizeof r);")
        args.append("r" if result.kind == "array" else "&r")
    out.append(f"    kivResult rc = Gen_{iname}_{name}((Gen_{iname} *)gen_self{''.join(', ' + a for a in args)});")
    out.append("    gen_rc(b, rc);")
    out.append("    if (!rc) {")
    for p, d, t in params:
        if d != "in":
            out.append(f"        gen_put(b, \" \"); dump_{t.id}(b, &{p});")
    if result:
        out.append(f"        gen_put(b, \" \"); dump_{result.id}(b, &r);")
    out.append("    }")
    for p, d, t in params:
        out.append(f"    free_{t.id}(&{p});")
    if result:
        out.append(f"    free_{result.id}(&r);")
    out.append("    return 0;\n}")
    return out, lits


PRELUDE = """// Generated by tests/call/gen_exact.py: do not edit.
#include <string.h>

#include "gen.h"
#include "exact_support.h"

#define UNUSED __attribute__((unused))
"""


def main(args):
    seed, count, outdir = int(args[0]), int(args[1]), args[2]
    g = Gen(seed, count)
    g.interfaces()
    members = []
    for iface in g.ifaces:
        lines = []
        for m in iface["members"]:
            if m[0] == "attr":
                lines.append(f"    {'readonly ' if m[3] else ''}attribute {m[2].idl} {m[1]};")
            else:
                ps = ", ".join(f"{d} {t.idl} {p}" for p, d, t in m[2])
                lines.append(f"    {m[3].idl if m[3] else 'void'} {m[1]}({ps});")
        base = f" : {iface['base']['name']}" if iface["base"] else ""
        members.append(f"interface {iface['name']}{base} {{\n" + "\n".join(lines) + "\n};")
    idl = ("// Generated by tests/call/gen_exact.py: do not edit.\nmodule Gen {\n"
           "interface IThing { long ping(); };\n" + "\n".join(g.decls) + "\n" + "\n".join(members) + "\n};\n")
    with open(f"{outdir}/gen.idl", "w") as f:
        f.write(idl)
    with open(f"{outdir}/gen_plugin.c", "w") as f:
        f.write(plugin(g))
    with open(f"{outdir}/gen_driver.c", "w") as f:
        f.write(driver(g))


if __name__ == "__main__":
    main(sys.argv[1:])
