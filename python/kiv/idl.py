# SPDX-License-Identifier: Apache-2.0
"""IDL compilation from Python: ``kiv.idl.compile("shapes.idl", output="shapes.tlb")``.

The compile is all or nothing, like ``kiv idl``: on any error the library file is left as it
was and CompileError is raised, its ``diagnostics`` each carrying file, line, column and
message."""

import os
import re

from . import _kiv

__all__ = ["compile", "CompileError", "Diagnostic"]

_LINE = re.compile(r"^(?P<file>.*?):(?P<line>\d+):(?P<column>\d+): (?P<severity>error|warning|note)"
                   r": (?P<message>.*)$")


class Diagnostic:
    __slots__ = ("file", "line", "column", "severity", "message", "excerpt")

    def __init__(self, file, line, column, severity, message):
        self.file, self.line, self.column = file, line, column
        self.severity, self.message, self.excerpt = severity, message, ""

    def __str__(self):
        return f"{self.file}:{self.line}:{self.column}: {self.severity}: {self.message}"

    def __repr__(self):
        return f"Diagnostic({str(self)!r})"


class CompileError(Exception):
    """The input had errors. ``diagnostics`` lists them; the first one's ``file``, ``line``,
    ``column`` and ``message`` are also attributes of the exception, and ``text`` is the
    compiler's whole report with source excerpts."""

    def __init__(self, diagnostics, text):
        self.diagnostics = diagnostics
        self.text = text
        first = next((d for d in diagnostics if d.severity == "error"), None)
        self.file = first.file if first else None
        self.line = first.line if first else None
        self.column = first.column if first else None
        self.message = first.message if first else text.strip()
        super().__init__(str(first) if first else text.strip())


def parse_diagnostics(text):
    """The compiler's report split into Diagnostic objects (excerpt lines attached)."""
    diagnostics = []
    for line in text.splitlines():
        match = _LINE.match(line)
        if match:
            diagnostics.append(Diagnostic(match["file"], int(match["line"]), int(match["column"]),
                                          match["severity"], match["message"]))
        elif diagnostics:
            diagnostics[-1].excerpt += line + "\n"
    return diagnostics


def compile(*files, output=None, source=None, name="<string>", include_dirs=(), defines=None,
            imports=(), error_limit=20):
    """Compiles IDL ``files`` (and/or the text ``source``) into the library ``output``
    (created, or extended when it exists; default: the first file's name with .tlb). Returns
    the output path; raises CompileError for errors in the input."""
    files = [os.fspath(f) for f in files]
    if not files and source is None:
        raise TypeError("compile() needs files or source text")
    if output is None:
        if not files:
            raise TypeError("compile(source=...) needs an output path")
        output = os.path.splitext(files[0])[0] + ".tlb"
    output = os.fspath(output)
    sources = [(name, source)] if source is not None else []
    define_list = []
    for key, value in (defines or {}).items():
        define_list.append((key, "" if value is None else str(value)))
    errors, _changed, text = _kiv.idl_compile(output, files, sources,
                                               [os.fspath(d) for d in include_dirs], define_list,
                                               [os.fspath(i) for i in imports], error_limit)
    if errors:
        raise CompileError(parse_diagnostics(text), text)
    return output
