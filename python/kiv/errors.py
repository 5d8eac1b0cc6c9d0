# SPDX-License-Identifier: Apache-2.0
"""Result codes as exceptions: kiv.Error and one subclass per common code."""

__all__ = [
    "Error", "InvalidArgument", "NoInterface", "NotImplementedByObject", "UnknownRepoId",
    "FormatError", "ReadOnlyError", "NoFactory", "NotFound", "AccessDenied", "KeyDeleted",
    "Failed", "from_code",
]


class Error(Exception):
    """A failed kiv result code. ``code`` is the 32-bit code, ``text`` its kivStrError text and
    ``context`` what was being done."""

    def __init__(self, code, context=""):
        from . import _kiv

        self.code = code & 0xFFFFFFFF
        self.text = _kiv.strerror(self.code)
        self.context = context
        super().__init__(self.code, context)

    def __str__(self):
        where = f"{self.context}: " if self.context else ""
        return f"{where}{self.text} (0x{self.code:08x})"

    def __repr__(self):
        return f"{type(self).__name__}(0x{self.code:08x}, {self.context!r})"


class InvalidArgument(Error):
    codes = (0x96240002, 0x80070057, 0x80004003)


class NoInterface(Error):
    codes = (0x80004002,)


class NotImplementedByObject(Error):
    codes = (0x80004001,)


class UnknownRepoId(Error):
    codes = (0x9624000A,)


class FormatError(Error):
    codes = (0x9624000C,)


class ReadOnlyError(Error):
    codes = (0x96240005,)


class NoFactory(Error):
    codes = (0x96240012,)


class NotFound(Error):
    # The runtime's "not found" and "no such file", and the system's ENOENT.
    codes = (0x9623000D, 0x96230003, 0x96220002)


class AccessDenied(Error):
    codes = (0x80070005,)


class KeyDeleted(Error):
    codes = (0x96230010,)


class Failed(Error):
    codes = (0x80004005, 0x8000FFFF)




def from_code(code, context=""):
    """The exception for a failed result code: the subclass for a common code, else Error."""
    code &= 0xFFFFFFFF
    return _by_code.get(code, Error)(code, context)


# Arguments the dynamic call layer refused: each also is the Python exception that fits.
class KindError(Error, TypeError):
    codes = (0x96250001,)


class RangeError(Error, OverflowError):
    codes = (0x96250002,)


class BoundError(Error, ValueError):
    codes = (0x96250003,)


class UnionCaseError(Error, ValueError):
    codes = (0x96250004,)


class ArityError(Error, TypeError):
    codes = (0x96250005,)


class NoMember(Error, AttributeError):
    codes = (0x96250006,)


class LayoutError(Error):
    codes = (0x96250007,)


class EncodingError(Error, ValueError):
    codes = (0x96250009,)


__all__ += ["KindError", "RangeError", "BoundError", "UnionCaseError", "ArityError", "NoMember",
            "LayoutError", "EncodingError"]
_by_code = {code: cls for cls in Error.__subclasses__() for code in cls.codes}
