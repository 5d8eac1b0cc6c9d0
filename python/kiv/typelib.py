# SPDX-License-Identifier: Apache-2.0
"""Type libraries as inspectable definitions: ``kiv.TypeLibrary(path)`` is iterable (every
definition reachable from the root module and the anonymous-types scope), looks definitions up
by repository id (``lib["IDL:Demo/Point:1.0"]``) and prints itself as IDL (``lib.idl()``)."""

import enum

from . import _kiv
from .decimals import to_decimal

__all__ = ["TypeLibrary", "Definition", "Kind", "Tag", "Direction", "type_name"]


class Kind(enum.IntEnum):
    MODULE = 1
    INTERFACE = 2
    CONSTANT = 3
    STRUCT = 4
    UNION = 5
    ENUM = 6
    ALIAS = 7
    STRING = 8
    WSTRING = 9
    SEQUENCE = 10
    ARRAY = 11


class Tag(enum.IntEnum):
    VOID = 1
    BOOLEAN = 2
    OCTET = 3
    CHAR = 4
    WCHAR = 5
    SHORT = 6
    USHORT = 7
    LONG = 8
    ULONG = 9
    LONGLONG = 10
    ULONGLONG = 11
    FLOAT = 12
    DOUBLE = 13
    STRING = 15
    WSTRING = 16
    STRUCT = 17
    UNION = 18
    ENUM = 19
    SEQUENCE = 20
    ARRAY = 21
    ALIAS = 22
    INTERFACE = 23
    DECIMAL32 = 24
    DECIMAL64 = 25
    DECIMAL128 = 26


class Direction(enum.IntEnum):
    IN = 1
    OUT = 2
    INOUT = 3


READONLY = 0x00010000

_BASIC_NAMES = {
    Tag.VOID: "void", Tag.BOOLEAN: "boolean", Tag.OCTET: "octet", Tag.CHAR: "char",
    Tag.WCHAR: "wchar", Tag.SHORT: "short", Tag.USHORT: "unsigned short", Tag.LONG: "long",
    Tag.ULONG: "unsigned long", Tag.LONGLONG: "long long", Tag.ULONGLONG: "unsigned long long",
    Tag.FLOAT: "float", Tag.DOUBLE: "double", Tag.DECIMAL32: "decimal32",
    Tag.DECIMAL64: "decimal64", Tag.DECIMAL128: "decimal128",
}


def _value(tag_payload):
    tag, payload = tag_payload
    if tag == Tag.DECIMAL32:
        return to_decimal(payload, 32)
    if tag == Tag.DECIMAL64:
        return to_decimal(payload, 64)
    if tag == Tag.DECIMAL128:
        return to_decimal(payload, 128)
    if tag == Tag.WCHAR:
        return chr(payload)
    return payload


class TypeRef:
    """A reference to a type: a tag, and the repository id of the definition for tags that
    name one."""

    __slots__ = ("tag", "repo_id")

    def __init__(self, pair):
        self.tag = Tag(pair[0]) if pair[0] in Tag._value2member_map_ else pair[0]
        self.repo_id = pair[1]

    def __repr__(self):
        return f"TypeRef({getattr(self.tag, 'name', self.tag)}, {self.repo_id!r})"

    def __eq__(self, other):
        return isinstance(other, TypeRef) and (self.tag, self.repo_id) == (other.tag, other.repo_id)

    def __hash__(self):
        return hash((self.tag, self.repo_id))


class Param:
    __slots__ = ("name", "type", "direction")

    def __init__(self, raw):
        self.name, self.type, self.direction = raw[0], TypeRef(raw[1]), Direction(raw[2])

    def __repr__(self):
        return f"Param({self.direction.name.lower()} {self.name}: {self.type})"


class Member:
    """An attribute or operation of an interface."""

    __slots__ = ("kind", "name", "flags", "type", "params")

    def __init__(self, raw):
        self.kind = "attribute" if raw["kind"] == 1 else "operation"
        self.name = raw["name"]
        self.flags = raw["flags"]
        self.type = TypeRef(raw["type"])
        self.params = [Param(p) for p in raw["params"]]

    @property
    def readonly(self):
        return self.kind == "attribute" and bool(self.flags & READONLY)

    def __repr__(self):
        return f"Member({self.kind} {self.name})"


class Definition:
    """One definition of a type library. ``kind``, ``name``, ``repo_id``, ``scope_id`` and
    ``flags`` for every kind, and by kind: ``contents`` (scopes), ``base_id`` and ``members``
    (interfaces: Member objects), ``members`` (structures: (name, TypeRef); enumerations:
    (name, value)), ``discriminator`` and ``cases`` (unions: (name, TypeRef, label or None)),
    ``type`` and ``value`` (constants), ``type`` (aliases), ``bound``, ``element`` and
    ``length`` (anonymous types)."""

    def __init__(self, library, raw):
        self.library = library
        self.kind = Kind(raw["kind"]) if raw["kind"] in Kind._value2member_map_ else raw["kind"]
        self.name = raw["name"]
        self.repo_id = raw["repo_id"]
        self.scope_id = raw["scope_id"]
        self.flags = raw["flags"]
        self.contents = raw.get("contents", [])
        if "base_id" in raw:
            self.base_id = raw["base_id"]
        if self.kind == Kind.INTERFACE:
            self.members = [Member(m) for m in raw["members"]]
        elif self.kind == Kind.STRUCT:
            self.members = [(n, TypeRef(t)) for n, t in raw["members"]]
        elif self.kind == Kind.ENUM:
            self.members = list(raw["members"])
        if self.kind == Kind.UNION:
            self.discriminator = TypeRef(raw["discriminator"])
            self.cases = [(n, TypeRef(t), None if label[0] == 0 else _value(label))
                          for n, t, label in raw["cases"]]
        if "type" in raw:
            self.type = TypeRef(raw["type"])
        if "value" in raw:
            self.value = _value(raw["value"])
        for field in ("bound", "length"):
            if field in raw:
                setattr(self, field, raw[field])
        if "element" in raw:
            self.element = TypeRef(raw["element"])

    def idl(self):
        """The definition, and what it contains, as IDL text."""
        return self.library._handle.definition_idl(self.repo_id)

    def __repr__(self):
        return f"<kiv {self.kind.name.lower()} {self.repo_id}>"


class TypeLibrary:
    """A type library file opened read-only."""

    def __init__(self, path):
        self.path = str(path)
        self._handle = _kiv.TypeLibrary(self.path)
        self._cache = {}

    def __iter__(self):
        for raw in self._handle.definitions():
            yield self._wrap(raw)

    def _wrap(self, raw):
        cached = self._cache.get(raw["repo_id"])
        if cached is None:
            cached = self._cache[raw["repo_id"]] = Definition(self, raw)
        return cached

    def get(self, repo_id, default=None):
        if repo_id in self._cache:
            return self._cache[repo_id]
        raw = self._handle.find(repo_id)
        return default if raw is None else self._wrap(raw)

    def __getitem__(self, repo_id):
        definition = self.get(repo_id)
        if definition is None:
            raise KeyError(repo_id)
        return definition

    def __contains__(self, repo_id):
        return self.get(repo_id) is not None

    def interfaces(self):
        return [d for d in self if d.kind == Kind.INTERFACE]

    def by_name(self, scoped_name):
        """The definition whose scoped name (``Demo::IGreeter``) is given."""
        for d in self:
            if self.scoped_name(d) == scoped_name:
                return d
        raise KeyError(scoped_name)

    def scoped_name(self, definition):
        names = []
        while definition is not None and definition.name:
            names.append(definition.name)
            definition = self.get(definition.scope_id) if definition.scope_id else None
        return "::".join(reversed(names))

    def type_name(self, ref):
        """The IDL spelling of a type reference: ``long``, ``string<8>``, ``Demo::Point``."""
        return type_name(self, ref)

    def idl(self):
        """The whole library as IDL that the compiler reads back into the same library."""
        return self._handle.idl()

    def __repr__(self):
        return f"<kiv.TypeLibrary {self.path!r}>"


def type_name(library, ref):
    if ref.tag in _BASIC_NAMES:
        return _BASIC_NAMES[ref.tag]
    target = library.get(ref.repo_id) if ref.repo_id else None
    if target is None and ref.tag in (Tag.STRING, Tag.WSTRING):
        return ref.tag.name.lower()
    if target is None:
        return f'{getattr(ref.tag, "name", ref.tag)} "{ref.repo_id}"'
    if target.kind in (Kind.STRING, Kind.WSTRING):
        word = "string" if target.kind == Kind.STRING else "wstring"
        return f"{word}<{target.bound}>" if target.bound else word
    if target.kind == Kind.SEQUENCE:
        inner = type_name(library, target.element)
        return f"sequence<{inner}, {target.bound}>" if target.bound else f"sequence<{inner}>"
    if target.kind == Kind.ARRAY:
        return f"{type_name(library, target.element)}[{target.length}]"
    return library.scoped_name(target)
