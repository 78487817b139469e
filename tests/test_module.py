"""The module object, the function's metadata, the execution step and the
shape and values of a result."""

import ctypes
import importlib.util
import inspect
import shutil
import struct

import pytest
import tolvik
from conftest import run_python

read = tolvik.rust_read_tarvelo

FULL_DOC = (
    "rust_read_tarvelo(file_path, n_digits)\n"
    "--\n"
    "\n"
    "# Reads in the tarvelo file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## TARVELO plot file shape\n"
    "The TARVELO data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the TARVELO plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n"
)

HEADER3 = "Plot file of a test run       3\nTIME\nPRESSURE\nTEMPERATURE\n"


def test_module_and_function_metadata():
    # The reference text itself, guarded against edits.
    assert len(FULL_DOC.encode("ascii")) == 616 and FULL_DOC.count("\n") == 27
    assert FULL_DOC.endswith("\n") and "\r" not in FULL_DOC and " \n" not in FULL_DOC

    assert type(tolvik.__all__) is list and tolvik.__all__ == ["rust_read_tarvelo"]
    assert (tolvik.__doc__, tolvik.__name__) == ("", "tolvik")
    assert {name for name in vars(tolvik) if not name.startswith("__")} == {"rust_read_tarvelo"}
    assert not hasattr(tolvik, "PanicException")

    assert read.__text_signature__ == "(file_path, n_digits)"
    assert read.__doc__ == FULL_DOC.split("\n", 3)[3]
    # The whole docstring as stored, rebuilt from the two parts the interpreter shows.
    assert read.__name__ + read.__text_signature__ + "\n--\n\n" + read.__doc__ == FULL_DOC
    assert (read.__name__, read.__qualname__) == ("rust_read_tarvelo", "rust_read_tarvelo")
    assert read.__module__ == "tolvik"
    # The method record is flagged static, which some interpreters report as no self.
    assert read.__self__ is None or read.__self__ is tolvik
    # Both parameters positional-or-keyword, without defaults.
    assert str(inspect.signature(read)) == "(file_path, n_digits)"


def test_fresh_process_module_inside_a_package(tmp_path, plot_file):
    # The copy takes the package's name. Its first errors are argument errors:
    # fetching them may create the exception type first, which must stay silent.
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    shutil.copy(tolvik.__file__, tmp_path / "pkg")
    path = plot_file(HEADER3 + "  1\n 0.00000E+00 1.01325E+05 3.00000E+02\n")
    code = """
        import sys
        sys.path.insert(0, sys.argv[1])
        import pkg.tolvik as m
        class I:
            def __index__(self):
                raise ValueError("v")
        for value in (1.5, -1, I()):
            try:
                m.rust_read_tarvelo("does-not-exist.plt", value)
            except Exception as e:
                print(type(e).__name__)
        print(m.__name__, m.rust_read_tarvelo.__module__, m.__all__, "tolvik" in sys.modules)
        print(m.rust_read_tarvelo(sys.argv[2], 12))
    """
    assert run_python(code, str(tmp_path), path) == (
        0,
        "TypeError\nOverflowError\nValueError\n"
        "pkg.tolvik pkg.tolvik ['rust_read_tarvelo'] False\n([0.0], [[101325.0], [300.0]])\n",
        "",
    )


# --- the execution step on module objects of our own -------------------------
def fresh_module():
    """A new module object from the definition, the execution step not yet run."""
    found = importlib.util.find_spec("tolvik")
    module = importlib.util.module_from_spec(found)
    assert module is not tolvik and not hasattr(module, "rust_read_tarvelo")
    return found, module


def test_exec_step_twice_on_one_module(plot_file):
    found, module = fresh_module()
    found.loader.exec_module(module)
    first = module.rust_read_tarvelo
    assert module.__all__ == ["rust_read_tarvelo"]
    # The loader skips a module it has executed once; run the step again directly,
    # through function objects of our own (ctypes.pythonapi stays untouched).
    api = ctypes.PyDLL("python", handle=ctypes.pythonapi._handle)
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef(module, api.PyModule_GetDef(module))
    assert module.__all__ == ["rust_read_tarvelo", "rust_read_tarvelo"]
    assert module.rust_read_tarvelo is not first
    path = plot_file(HEADER3)
    assert first(path, 12) == module.rust_read_tarvelo(path, 12) == ([], [[], []])
    assert tolvik.__all__ == ["rust_read_tarvelo"]  # the imported module is untouched


def getattr_raising(kind):
    def module_getattr(name):
        raise kind(name)

    return module_getattr


def test_exec_step_appends_to_the_list_it_finds_or_makes_one():
    found, module = fresh_module()
    module.__all__ = names = type("Names", (list,), {})(["other"])
    found.loader.exec_module(module)
    assert module.__all__ is names and names == ["other", "rust_read_tarvelo"]
    # Any AttributeError from the lookup means: no __all__ yet.
    found, module = fresh_module()
    module.__getattr__ = getattr_raising(type("AttributeMissing", (AttributeError,), {}))
    found.loader.exec_module(module)
    assert vars(module)["__all__"] == ["rust_read_tarvelo"] and callable(module.rust_read_tarvelo)


LookupBroken = type("LookupBroken", (ValueError,), {})


@pytest.mark.parametrize(
    "attribute, value, error",
    [
        ("__all__", ("x",), TypeError("'tuple' object is not an instance of 'list'")),
        ("__all__", None, TypeError("'None' is not an instance of 'list'")),
        ("__all__", "rust_read_tarvelo", TypeError("'str' object is not an instance of 'list'")),
        ("__getattr__", getattr_raising(LookupBroken), LookupBroken("__all__")),
    ],
)
def test_exec_step_fails_on_a_bad_all(attribute, value, error):
    found, module = fresh_module()
    setattr(module, attribute, value)
    with pytest.raises(BaseException) as caught:
        found.loader.exec_module(module)
    assert type(caught.value) is type(error) and caught.value.args == error.args
    assert "rust_read_tarvelo" not in vars(module)
    assert ("__all__" in vars(module)) == (attribute == "__all__")


# --- result shape and float conversion -----------------------------------------
@pytest.mark.parametrize(
    "text, n_digits, expected",
    [
        ("count 1\nTIME\nlead\n 2.50000E+00 ignored\n", 12, ([2.5], [])),
        (HEADER3, 12, ([], [[], []])),
        (
            HEADER3 + "  1\n 0.00000E+00 1.01325E+05 3.00000E+02\n"
            "  2\n 1.00000E+00 1.02000E+05 3.10000E+02\n",
            12,
            ([0.0, 1.0], [[101325.0, 102000.0], [300.0, 310.0]]),
        ),
        # Widened from single precision, not a decimal round trip.
        ("1\nT\nlead\n0.1\n", 3, ([0.10000000149011612], [])),
    ],
)
def test_result_shape_and_types(plot_file, text, n_digits, expected):
    path = plot_file(text)
    result, again = read(path, n_digits), read(path, n_digits)
    assert result == again == expected
    times, columns = result
    assert type(result) is tuple and type(times) is list and type(columns) is list
    assert all(type(c) is list for c in columns) and len({id(c) for c in columns}) == len(columns)
    assert all(type(v) is float for v in times + sum(columns, []))
    # Each call builds its own lists.
    assert result is not again and times is not again[0] and columns is not again[1]
    assert all(a is not b for a, b in zip(columns, again[1]))
    times.append(9.0)
    for column in columns:
        column.clear()
    assert again == expected


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


@pytest.mark.parametrize(
    "field, expected_bits",
    [
        ("0.1", bits(0.10000000149011612)), ("0.0", 0), ("-0.0", 0x8000000000000000),
        ("-1e-50", 0x8000000000000000),  # rounds to zero, sign kept
        ("inf", 0x7FF0000000000000), ("-Infinity", 0xFFF0000000000000),
        ("NaN", 0x7FF8000000000000), ("-nan", 0xFFF8000000000000),
        ("3.4028235e38", bits(float.fromhex("0x1.fffffep+127"))),
        ("1e-45", bits(float.fromhex("0x1p-149"))),  # smallest subnormal
    ],
)
def test_value_widened_exactly(plot_file, field, expected_bits):
    # The value sits in the time column and in both other columns.
    times, columns = read(plot_file(HEADER3 + "lead\n" + field.rjust(12) * 3 + "\n"), 12)
    assert [bits(v) for v in (times[0], columns[0][0], columns[1][0])] == [expected_bits] * 3
