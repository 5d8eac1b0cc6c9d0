# SPDX-License-Identifier: Apache-2.0
"""The registry database as nested mappings.

``kiv.registry.user`` and ``kiv.registry.machine`` are the two roots. A root maps key paths to
keys (``user["Software/Demo"]``; names separated by ``/`` or ``\\``, the leading ``Software``,
which the root itself stands for, may be left out); a key maps value names to values
(``key["name"]``). Values read back as written: bytes, int (32 or 64 bits), str and lists of
str."""

from collections.abc import MutableMapping

from . import _kiv
from .errors import NotFound

__all__ = ["Key", "user", "machine"]

_INT32, _INT64, _BYTES, _STRING, _LIST = 2, 3, 1, 4, 5


def _path(path):
    if not isinstance(path, str):
        raise TypeError(f"a registry path is a str, not {type(path).__name__}")
    names = [n for n in path.replace("\\", "/").split("/") if n]
    if names and names[0].lower() == "software":
        names = names[1:]
    return "\\".join(names)


def _kind_of(value):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return _BYTES, bytes(value)
    if isinstance(value, bool):
        raise TypeError("a registry value cannot be a bool; store an int")
    if isinstance(value, int):
        if -(2**31) <= value < 2**31:
            return _INT32, value
        if -(2**63) <= value < 2**63:
            return _INT64, value
        raise OverflowError(f"{value} does not fit a 64-bit registry value")
    if isinstance(value, str):
        return _STRING, value
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        return _LIST, list(value)
    raise TypeError(f"cannot store {type(value).__name__} in the registry")


class Key(MutableMapping):
    """An open registry key: a mapping of its values, with its subkeys reached by ``subkey``,
    ``key / "name"`` and ``subkeys()``. Closed when it is garbage or by ``close()``."""

    def __init__(self, registry, handle, path):
        self._registry = registry
        self._handle = handle
        self.path = path

    def __del__(self):
        self.close()

    def close(self):
        if getattr(self, "_handle", -1) >= 0:
            self._registry.close_key(self._handle)
            self._handle = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _open(self, path, create):
        path = _path(path)
        handle = self._registry.open_key(self._handle, path, create)
        full = "\\".join(p for p in (self.path, path) if p)
        return Key(self._registry, handle, full)

    def subkey(self, path, create=False):
        """The key at ``path`` below this one; KeyError when it does not exist and ``create``
        is false."""
        try:
            return self._open(path, create)
        except NotFound:
            raise KeyError(path) from None

    def create(self, path):
        """The key at ``path``, created with any missing parents."""
        return self._open(path, True)

    __truediv__ = subkey

    def subkeys(self):
        """The names of the subkeys."""
        return self._registry.keys(self._handle)

    def delete_subkey(self, name):
        """Deletes the subkey ``name`` (refused while it has subkeys of its own)."""
        try:
            self._registry.delete_key(self._handle, _path(name))
        except NotFound:
            raise KeyError(name) from None

    def flush(self):
        """Makes the writes so far survive a machine crash."""
        self._registry.flush(self._handle)

    def __getitem__(self, name):
        try:
            return self._registry.query(self._handle, name)
        except NotFound:
            raise KeyError(name) from None

    def __setitem__(self, name, value):
        kind, data = _kind_of(value)
        self._registry.set(self._handle, name, kind, data)

    def set(self, name, value, kind):
        """Stores ``value`` with an explicit kind: "int32", "int64", "bytes", "string", "list"."""
        kinds = {"int32": _INT32, "int64": _INT64, "bytes": _BYTES, "string": _STRING,
                 "list": _LIST}
        self._registry.set(self._handle, name, kinds[kind], value)

    def __delitem__(self, name):
        try:
            self._registry.remove(self._handle, name)
        except NotFound:
            raise KeyError(name) from None

    def __iter__(self):
        return iter(self._registry.values(self._handle))

    def __len__(self):
        return len(self._registry.values(self._handle))

    def __repr__(self):
        return f"<kiv.registry.Key {self.path or 'Software'!r}>"


class Root(Key):
    """A root of the registry: ``root[path]`` is the key at ``path`` (KeyError when missing),
    ``del root[path]`` deletes one; the root's own values are those of
    ``root.subkey("")``."""

    def __init__(self, registry, machine):
        super().__init__(registry, registry.open_root(machine), "")
        self.machine = machine

    def __getitem__(self, path):
        return self.subkey(path)

    def __setitem__(self, path, value):
        raise TypeError("assign values to a key: root[path][name] = value")

    def __delitem__(self, path):
        parent, _, name = _path(path).rpartition("\\")
        (self.subkey(parent) if parent else self).delete_subkey(name)

    def __iter__(self):
        return iter(self.subkeys())

    def __len__(self):
        return len(self.subkeys())

    def __repr__(self):
        return f"<kiv.registry.{'machine' if self.machine else 'user'}>"


_registry = None
_roots = {}


def __getattr__(name):
    global _registry
    if name not in ("user", "machine"):
        raise AttributeError(name)
    if name not in _roots:
        if _registry is None:
            _registry = _kiv.Registry()
        _roots[name] = Root(_registry, name == "machine")
    return _roots[name]
