# SPDX-License-Identifier: Apache-2.0
"""kiv from Python: components, values and type libraries.

    import kiv
    greeter = kiv.create(GREETER_CLASS)      # a proxy typed by the class's first interface
    greeter.greet("Ada")                     # methods take and return Python values
    lib = kiv.TypeLibrary("greeter.tlb")     # definitions, lookup by id, lib.idl()
    kiv.registry.user["Software/Demo"]["name"] = "value"
"""

from . import _kiv
from . import errors, decimals, idl, registry
from .errors import *  # noqa: F401,F403  (kiv.Error and its subclasses)
from .fixed import Fixed
from .typelib import TypeLibrary

if hasattr(_kiv, "create"):
    from .objects import (Object, cast, create, implements, interface, last_errors,
                          register_library, type_class, wrap)

__version__ = "1.0.0"


def register_plugin(clsid, path):
    """Serves class ``clsid`` from the plug-in at ``path``, in this process only."""
    _kiv.register_plugin(str(clsid), str(path))


def strerror(code):
    """The text of a result code."""
    return _kiv.strerror(code & 0xFFFFFFFF)
