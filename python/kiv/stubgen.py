# SPDX-License-Identifier: Apache-2.0
"""Typing stubs for a type library: ``python3 -m kiv.stubgen LIB.tlb [-o LIB.pyi]``.

Writes a .pyi with one class per interface (methods and properties as the proxies have them),
structure, union and enumeration, so that editors complete member names and check argument
types. Classes are named by their IDL name, or by the scoped name joined with ``_`` where two
definitions share a name."""

import argparse
import collections
import keyword
import sys

from .typelib import READONLY, Direction, Kind, Tag, TypeLibrary

__all__ = ["stubs", "main"]

_PYTHON_TYPES = {
    Tag.VOID: "None", Tag.BOOLEAN: "bool", Tag.OCTET: "int", Tag.CHAR: "str", Tag.WCHAR: "str",
    Tag.SHORT: "int", Tag.USHORT: "int", Tag.LONG: "int", Tag.ULONG: "int", Tag.LONGLONG: "int",
    Tag.ULONGLONG: "int", Tag.FLOAT: "float", Tag.DOUBLE: "float", Tag.STRING: "str",
    Tag.WSTRING: "str", Tag.DECIMAL32: "decimal.Decimal", Tag.DECIMAL64: "decimal.Decimal",
    Tag.DECIMAL128: "decimal.Decimal",
}


class _Writer:
    def __init__(self, library):
        self.library = library
        self.definitions = [d for d in library if d.kind in
                            (Kind.INTERFACE, Kind.STRUCT, Kind.UNION, Kind.ENUM)]
        counts = collections.Counter(d.name for d in self.definitions)
        self.names = {}
        for d in self.definitions:
            scoped = library.scoped_name(d)
            name = d.name if counts[d.name] == 1 else scoped.replace("::", "_")
            self.names[d.repo_id] = self._identifier(name)

    @staticmethod
    def _identifier(name):
        return name + "_" if keyword.iskeyword(name) else name

    def python_type(self, ref, direction=Direction.IN):
        if ref.tag in _PYTHON_TYPES:
            return _PYTHON_TYPES[ref.tag]
        target = self.library.get(ref.repo_id) if ref.repo_id else None
        if target is None:
            return "typing.Any"
        if target.kind in (Kind.STRING, Kind.WSTRING):
            return "str"
        if target.kind == Kind.ALIAS:
            return self.python_type(target.type, direction)
        if target.kind in (Kind.SEQUENCE, Kind.ARRAY):
            if target.element.tag == Tag.OCTET and target.kind == Kind.SEQUENCE:
                return "bytes"
            inner = self.python_type(target.element, direction)
            return f"typing.Sequence[{inner}]" if direction != Direction.OUT else f"list[{inner}]"
        name = self.names.get(target.repo_id, "typing.Any")
        return f"typing.Optional[{name}]" if target.kind == Kind.INTERFACE else name

    def interface(self, d):
        base = self.names.get(d.base_id, "kiv.Object") if d.base_id else "kiv.Object"
        lines = [f"class {self.names[d.repo_id]}({base}):"]
        for m in d.members:
            name = self._identifier(m.name)
            if m.kind == "attribute":
                kind = self.python_type(m.type, Direction.OUT)
                lines += ["    @property", f"    def {name}(self) -> {kind}: ..."]
                if not m.readonly:
                    lines += [f"    @{name}.setter",
                              f"    def {name}(self, value: {self.python_type(m.type)}) -> None: ..."]
                continue
            params = ["self"] + [f"{self._identifier(p.name)}: {self.python_type(p.type)}"
                                 for p in m.params if p.direction != Direction.OUT]
            outputs = [] if m.type.tag == Tag.VOID else [self.python_type(m.type, Direction.OUT)]
            outputs += [self.python_type(p.type, Direction.OUT) for p in m.params
                        if p.direction != Direction.IN]
            result = ("None" if not outputs else outputs[0] if len(outputs) == 1
                      else f"tuple[{', '.join(outputs)}]")
            lines.append(f"    def {name}({', '.join(params)}, /) -> {result}: ...")
        if len(lines) == 1:
            lines.append("    ...")
        return lines

    def struct(self, d):
        lines = [f"class {self.names[d.repo_id]}:"]
        fields = [(self._identifier(n), self.python_type(t)) for n, t in d.members]
        lines += [f"    {n}: {t}" for n, t in fields]
        params = ", ".join(f"{n}: {t} = ..." for n, t in fields)
        lines.append(f"    def __init__(self, {params}) -> None: ...")
        return lines

    def union(self, d):
        cases = sorted({self.python_type(t) for _, t, _ in d.cases})
        value = cases[0] if len(cases) == 1 else f"typing.Union[{', '.join(cases)}]"
        d_type = self.python_type(d.discriminator)
        return [f"class {self.names[d.repo_id]}:", f"    _d: {d_type}", f"    value: {value}",
                f"    def __init__(self, _d: {d_type}, value: {value} = ...) -> None: ..."]

    def enum(self, d):
        return [f"class {self.names[d.repo_id]}(enum.IntEnum):"] + [
            f"    {self._identifier(n)} = {v}" for n, v in d.members]

    def write(self):
        out = [f"# Typing stubs for {self.library.path}, written by kiv.stubgen.",
               "import decimal", "import enum", "import typing", "", "import kiv", ""]
        writers = {Kind.INTERFACE: self.interface, Kind.STRUCT: self.struct,
                   Kind.UNION: self.union, Kind.ENUM: self.enum}
        # Interfaces after their bases, so that each class statement names a known base.
        ordered = sorted(self.definitions, key=lambda d: (d.kind == Kind.INTERFACE,
                                                          self._depth(d)))
        for d in ordered:
            out += writers[d.kind](d) + [""]
        return "\n".join(out)

    def _depth(self, d):
        depth = 0
        while getattr(d, "base_id", None) and depth < 100:
            d = self.library.get(d.base_id)
            depth += 1
            if d is None:
                break
        return depth


def stubs(library):
    """The .pyi text for a TypeLibrary (or a path to one)."""
    if not isinstance(library, TypeLibrary):
        library = TypeLibrary(library)
    return _Writer(library).write()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m kiv.stubgen",
                                     description="Write typing stubs for a type library.")
    parser.add_argument("library", help="the type library (.tlb)")
    parser.add_argument("-o", "--output", help="the .pyi to write (default: standard output)")
    args = parser.parse_args(argv)
    try:
        text = stubs(args.library)
    except Exception as e:  # a damaged or missing library: one line, status 1
        print(f"kiv.stubgen: {e}", file=sys.stderr)
        return 1
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
