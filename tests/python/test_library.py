# SPDX-License-Identifier: Apache-2.0
# Registry mappings, type libraries, IDL compilation, typing stubs, and steady memory.
import ast
import ctypes
import os
import subprocess
import sys
import tracemalloc

import pytest

import kiv
from conftest import ECHO


def test_registry_values_read_back_as_written():
    key = kiv.registry.user.create("Software/PyTest/Values")
    values = {"text": "h\xe9", "small": -5, "big": 2**40, "raw": b"\x00\xff", "list": ["a", ""],
              "empty": []}
    for name, value in values.items():
        key[name] = value
    reread = kiv.registry.user["Software/PyTest/Values"]
    assert dict(reread) == values
    assert "Values" in kiv.registry.user["PyTest"].subkeys()
    del reread["text"]
    assert "text" not in reread
    with pytest.raises(KeyError):
        reread["text"]
    with pytest.raises(KeyError):
        kiv.registry.user["Software/PyTest/Missing"]
    for bad, error in ((True, TypeError), (2**64, OverflowError), (object(), TypeError)):
        with pytest.raises(error):
            key["bad"] = bad
    del kiv.registry.user["PyTest/Values"]
    assert "Values" not in kiv.registry.user["PyTest"].subkeys()


def test_type_library_definitions(echo_tlb):
    library = kiv.TypeLibrary(echo_tlb)
    ids = {d.repo_id for d in library}
    assert ECHO in ids and "IDL:Echo/Point:1.0" in ids
    echo = library[ECHO]
    assert echo.kind == kiv.typelib.Kind.INTERFACE
    calls = next(m for m in echo.members if m.name == "calls")
    assert calls.readonly and library.type_name(calls.type) == "unsigned long"
    shape = library["IDL:Echo/Shape:1.0"]
    assert [case[0] for case in shape.cases] == ["radius", "corner", "label"]
    assert library["IDL:Echo/ECHO_CLASS:1.0"].value == "5b0e3c2a-9d41-4f6e-8a73-2c1d0e9f4b68"
    assert "interface IEcho" in echo.idl()
    assert library.get("IDL:No/Such:1.0") is None
    with pytest.raises(KeyError):
        library["IDL:No/Such:1.0"]


def test_library_text_compiles_back_to_the_same_library(echo_tlb, tmp_path):
    text = kiv.TypeLibrary(echo_tlb).idl()
    copy = kiv.TypeLibrary(kiv.idl.compile(source=text, output=tmp_path / "copy.tlb"))
    assert copy.idl() == text


def test_damaged_or_missing_library(tmp_path):
    damaged = tmp_path / "damaged.tlb"
    damaged.write_bytes(b"\x00" * 4096)
    with pytest.raises(kiv.FormatError):
        kiv.TypeLibrary(damaged)
    with pytest.raises(kiv.Error):
        kiv.TypeLibrary(tmp_path / "missing.tlb")


def test_compile_errors_carry_positions(tmp_path):
    source = tmp_path / "bad.idl"
    source.write_text("module M {\n  struct S { long x; Pointt y; };\n};\n")
    output = tmp_path / "bad.tlb"
    with pytest.raises(kiv.idl.CompileError) as info:
        kiv.idl.compile(source, output=output)
    error = info.value
    assert (error.file, error.line, error.column) == (str(source), 2, 22)
    assert "unknown type 'Pointt'" in error.message
    assert not output.exists()  # all or nothing
    include = tmp_path / "inc"
    include.mkdir()
    (include / "point.idl").write_text("struct Point { long x; };\n")
    good = tmp_path / "good.idl"
    good.write_text('#include <point.idl>\nmodule M { const long N = VALUE; };\n')
    library = kiv.TypeLibrary(kiv.idl.compile(good, include_dirs=[include],
                                              defines={"VALUE": 7}))
    assert library["IDL:M/N:1.0"].value == 7


def test_stubs_describe_the_library(echo_tlb, tmp_path):
    output = tmp_path / "echo.pyi"
    subprocess.run([sys.executable, "-m", "kiv.stubgen", echo_tlb, "-o", output], check=True,
                   env=dict(os.environ))
    text = output.read_text()
    tree = ast.parse(text)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert {"IEcho", "ICallback", "Point", "Record", "Shape", "Color"} <= set(classes)
    assert "def echoLong(self, a: int, c: int, /) -> tuple[int, int, int]: ..." in text
    assert "def calls(self) -> int: ..." in text and "@calls.setter" not in text
    failed = subprocess.run([sys.executable, "-m", "kiv.stubgen", tmp_path / "missing.tlb"],
                            capture_output=True, text=True)
    assert failed.returncode == 1 and failed.stderr.startswith("kiv.stubgen: ")


def native_heap_in_use():
    """Bytes the C allocator has handed out and not yet taken back (glibc's count)."""
    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_no_growth_over_many_calls(echo, types):
    from conftest import Doubler

    record = types.Record(types.Point(1, 2), "name", [1, 2, 3], types.Color.GREEN, "label")
    cb = Doubler()

    def work(n):
        for _ in range(n):
            echo.echoRecord(record, record)
            echo.echoString("text", "other")
            echo.echoCallback(cb, None)
            echo.add(1, 2)

    work(1000)  # warm the caches of classes and prepared calls
    refs = sys.getrefcount(cb), sys.getrefcount(record)
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    work(25000)  # 100,000 calls
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert growth < 64 * 1024, growth
    assert (sys.getrefcount(cb), sys.getrefcount(record)) == refs
    del before, after

    # The same calls again, counted by the C allocator: everything kiv and its plug-ins
    # allocate with kivMalloc is in there, so a leak of a few bytes a call shows at once.
    heap = native_heap_in_use()
    work(25000)
    assert native_heap_in_use() - heap < 256 * 1024
