# SPDX-License-Identifier: Apache-2.0
"""Objects: proxies of kiv interfaces, generated value classes, and Python implementations.

Proxy classes are made from type information the first time an interface is met: each
operation becomes a method and each attribute a property (read-only attributes have no
setter). Structures become classes with one attribute per member, unions classes with ``_d``
(the discriminator) and ``value``, enumerations ``enum.IntEnum``s."""

import collections
import decimal
import enum
import inspect
import logging

from . import _kiv
from . import decimals
from .errors import Error

__all__ = ["create", "cast", "implements", "wrap", "interface", "type_class", "register_library",
           "Object", "last_errors"]

Object = _kiv.Object
log = logging.getLogger("kiv")

# The most recent exceptions raised by Python implementations called from C, newest last.
last_errors = collections.deque(maxlen=32)

_KIND_NAMES = {
    2: "bool", 3: "int", 4: "str", 5: "str", 6: "int", 7: "int", 8: "int", 9: "int", 10: "int",
    11: "int", 12: "float", 13: "float", 15: "str", 16: "str", 24: "decimal.Decimal",
    25: "decimal.Decimal", 26: "decimal.Decimal", 23: "kiv.Object",
}
_DEFAULTS = {2: False, 12: 0.0, 13: 0.0, 15: "", 16: "", 20: [], 21: []}
_STRUCT, _UNION, _ENUM, _SEQUENCE, _ARRAY = 17, 18, 19, 20, 21
_OPERATION, _ATTRIBUTE, _READONLY = 2, 1, 0x00010000
_IN, _OUT = 1, 2
_IUNKNOWN = "IDL:kiv/IUnknown:1.0"


def _annotation(info):
    kind = info["kind"]
    if kind in (_STRUCT, _UNION, _ENUM) or kind == 23:
        return info["name"]
    if kind in (_SEQUENCE, _ARRAY):
        return "bytes" if info["element"]["kind"] == 3 else f"list[{_annotation(info['element'])}]"
    return _KIND_NAMES.get(kind, info["name"])


def _signature(member):
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    for name, info, direction in member["params"]:
        if direction != _OUT:
            params.append(inspect.Parameter(name, inspect.Parameter.POSITIONAL_ONLY,
                                            annotation=_annotation(info)))
    outputs = [] if member["type"]["kind"] == 1 else [_annotation(member["type"])]
    outputs += [_annotation(info) for _, info, d in member["params"] if d != _IN]
    result = (None if not outputs else outputs[0] if len(outputs) == 1
              else f"tuple[{', '.join(outputs)}]")
    return inspect.Signature(params, return_annotation=result)


_proxy_classes = {}


def _proxy_class(iid):
    """The proxy class of an interface (called by the extension on first use)."""
    cls = _proxy_classes.get(iid)
    if cls is not None:
        return cls
    if iid == _IUNKNOWN:
        cls = _proxy_classes[iid] = type("IUnknown", (Object,), {
            "__slots__": (), "__kiv_iid__": iid, "__module__": "kiv.interfaces",
            "__qualname__": "kiv::IUnknown", "__doc__": "Proxy of kiv::IUnknown."})
        return cls
    info = _kiv.interface_info(iid)
    base = _proxy_class(info["base"]) if info["base"] else Object
    namespace = {"__slots__": (), "__kiv_iid__": iid, "__module__": "kiv.interfaces",
                 "__qualname__": info["name"]}
    lines = [f"Proxy of the kiv interface {info['name']} ({iid}).", ""]
    for member in info["members"]:
        if member["declared_in"] != iid:
            continue
        name = member["name"]
        lines.append("    " + member.get("idl", name))
        if member["kind"] == _OPERATION:
            method = _kiv.method(iid, name, _kiv.OPERATION)
            method.__doc__ = member.get("idl", name)
            method.__signature__ = _signature(member)
            method.__qualname__ = f"{info['name'].split('::')[-1]}.{name}"
            namespace[name] = method
        else:
            getter = _kiv.method(iid, name, _kiv.GET)
            setter = None if member["flags"] & _READONLY else _kiv.method(iid, name, _kiv.SET)
            namespace[name] = property(getter, setter, doc=member.get("idl", name))
    namespace["__doc__"] = "\n".join(lines)
    cls = type(info["name"].split("::")[-1], (base,), namespace)
    _proxy_classes[iid] = cls
    return cls


def interface(iid):
    """The proxy class of an interface: for isinstance checks, help() and its signatures."""
    return _proxy_class(iid)


class _Struct:
    __slots__ = ()
    _fields = ()
    _defaults = ()

    def __init__(self, *args, **kwargs):
        if len(args) > len(self._fields):
            raise TypeError(f"{type(self).__name__} takes at most {len(self._fields)} values")
        for i, name in enumerate(self._fields):
            if i < len(args):
                if name in kwargs:
                    raise TypeError(f"{type(self).__name__}: {name} given twice")
                value = args[i]
            elif name in kwargs:
                value = kwargs.pop(name)
            else:
                default = self._defaults[i]
                value = default() if callable(default) else default
            setattr(self, name, value)
        if kwargs:
            raise TypeError(f"{type(self).__name__} has no member {next(iter(kwargs))!r}")

    def __repr__(self):
        values = ", ".join(f"{n}={getattr(self, n)!r}" for n in self._fields)
        return f"{type(self).__name__}({values})"

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self._fields)

    def __iter__(self):
        return (getattr(self, n) for n in self._fields)

    __hash__ = None


class _Union:
    __slots__ = ("_d", "value")

    def __init__(self, _d, value=None):
        self._d = _d
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}(_d={self._d!r}, value={self.value!r})"

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return (self._d, self.value) == (other._d, other.value)

    __hash__ = None


def _default_for(field):
    if field["kind"] == _STRUCT:
        return lambda: _type_class(field["repo_id"])()
    value = _DEFAULTS.get(field["kind"], 0 if 3 <= field["kind"] <= 11 or field["kind"] == 19
                          else None)
    return list if isinstance(value, list) else value


_type_classes = {}


def _type_class(repo_id):
    """The class of a structure, union or enumeration (called by the extension)."""
    cls = _type_classes.get(repo_id)
    if cls is not None:
        return cls
    info = _kiv.type_info(repo_id)
    name = info["name"].split("::")[-1]
    qualname = {"__module__": "kiv.types", "__qualname__": info["name"],
                "__kiv_id__": repo_id}
    if info["kind"] == _ENUM:
        cls = enum.IntEnum(name, [(f["name"], f["label"]) for f in info["fields"]],
                           module="kiv.types", qualname=info["name"])
    elif info["kind"] == _STRUCT:
        fields = tuple(f["name"] for f in info["fields"])
        cls = type(name, (_Struct,), dict(qualname, __slots__=fields, _fields=fields,
                                          _defaults=tuple(_default_for(f) for f in info["fields"])))
    elif info["kind"] == _UNION:
        cases = {f["name"]: f for f in info["fields"]}
        cls = type(name, (_Union,), dict(qualname, __slots__=(), _cases=cases))
    else:
        raise TypeError(f"{repo_id} is a {info['name']}, not a structure, union or enumeration")
    _type_classes[repo_id] = cls
    return cls


def type_class(repo_id):
    """The class that values of a structure, union or enumeration come back as; construct
    arguments with it (``Point(x=1, y=2)``)."""
    return _type_class(repo_id)


def _decimal_bits(value, width):
    if isinstance(value, (float, bool)) or not isinstance(value, (decimal.Decimal, int)):
        raise TypeError(f"expected decimal.Decimal for decimal{width}, got {type(value).__name__}")
    return decimals.from_decimal(value, width)


def _decimal_value(bits, width):
    return decimals.to_decimal(bits, width)


_CODES = ((NotImplementedError, 0x80004001), (AttributeError, 0x80004001),
          (TypeError, 0x80070057), (ValueError, 0x80070057), (MemoryError, 0x9622000C))


def _implementation_failed(instance, member, exc):
    """An exception left a Python implementation: log it, keep it (``last_errors`` and the
    instance's ``kiv_last_error``) and give the code the caller sees."""
    log.error("%s.%s raised %r", type(instance).__name__, member, exc, exc_info=exc)
    last_errors.append(exc)
    try:
        instance.kiv_last_error = exc
    except AttributeError:
        pass
    if isinstance(exc, Error):
        return exc.code
    for kind, code in _CODES:
        if isinstance(exc, kind):
            return code
    return 0x80004005


def create(clsid, iid=None):
    """A new object of class ``clsid``, as interface ``iid`` (default: the class's own)."""
    return _kiv.create(clsid, iid)


def cast(obj, iid):
    """queryInterface: ``obj`` as interface ``iid``."""
    return obj.query(iid)


def implements(*iids):
    """Class decorator: instances implement the interfaces ``iids``. Passed to kiv, an
    instance is a kiv object whose calls arrive in its methods (attributes: its attributes or
    properties)."""

    def decorate(cls):
        cls.__kiv_interfaces__ = tuple(iids)
        return cls

    return decorate


def wrap(instance, iid=None):
    """A proxy of a new kiv object implemented by ``instance`` (of an @implements class)."""
    return _kiv.wrap(instance, iid)


def register_library(path):
    """Makes a type library's interfaces known to this process."""
    _kiv.register_library(str(path), 4)
