"""Binding of rust_read_tarvelo's arguments and the errors of a wrong call."""

import operator
import pathlib

import pytest
import tolvik

read = tolvik.rust_read_tarvelo

# n = 1: one block whose time field is the single byte "7".
ONE_BYTE_FIELD = "1\nTIME\nlead\n7\n"
HEADER3 = "run 3\nTIME\nP\nT\n"
MISSING = "no-such-folder/missing.plt"


@pytest.fixture
def refused(capfd):
    """``refused(kind, *args, **kwargs)`` returns the exception of a call that must fail
    with exactly `kind`, before opening the file (MISSING) and without writing."""

    def call(kind, *args, **kwargs):
        with pytest.raises(BaseException) as caught:
            read(*args, **kwargs)
        assert type(caught.value) is kind
        assert capfd.readouterr() == ("", "")
        return caught.value

    return call


class Index:
    def __init__(self, result=None, error=None):
        self.result, self.error, self.calls = result, error, 0

    def __index__(self):
        self.calls += 1
        if self.error is not None:
            raise self.error
        return self.result


# --- binding --------------------------------------------------------------------
@pytest.mark.parametrize(
    "call",
    [
        lambda path: read(file_path=path, n_digits=1),
        lambda path: read(n_digits=1, file_path=path),
        lambda path: read(path, n_digits=1),
        lambda path: read(path, 1),
        lambda path: read(type("Path", (str,), {})(path), 1),
    ],
)
def test_arguments_accepted(plot_file, call):
    assert call(plot_file(ONE_BYTE_FIELD, name="résumé \u2603 \U0001f600.plt")) == ([7.0], [])


D = "rust_read_tarvelo()"
M = MISSING


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        # Too many positional arguments: keywords are not looked at.
        ((M, 12, 3), {}, f"{D} takes 2 positional arguments but 3 were given"),
        ((M, 12, 3, 4), {}, f"{D} takes 2 positional arguments but 4 were given"),
        ((M, 12, 3), {"n_digits": 1}, f"{D} takes 2 positional arguments but 3 were given"),
        ((M, 12, 3), {"bogus": 1}, f"{D} takes 2 positional arguments but 3 were given"),
        # Missing parameters.
        ((), {}, f"{D} missing 2 required positional arguments: 'file_path' and 'n_digits'"),
        ((M,), {}, f"{D} missing 1 required positional argument: 'n_digits'"),
        ((), {"file_path": M}, f"{D} missing 1 required positional argument: 'n_digits'"),
        ((), {"n_digits": 12}, f"{D} missing 1 required positional argument: 'file_path'"),
        # Keywords are examined before missing parameters.
        ((M,), {"digits": 12}, f"{D} got an unexpected keyword argument 'digits'"),
        ((), {"path": M}, f"{D} got an unexpected keyword argument 'path'"),
        ((M, 12), {"File_path": "b"}, f"{D} got an unexpected keyword argument 'File_path'"),
        ((M, 12), {"n_digits ": 1}, f"{D} got an unexpected keyword argument 'n_digits '"),
        ((M, 12), {"extra": 1}, f"{D} got an unexpected keyword argument 'extra'"),
        # A second value for a parameter.
        ((M, 12), {"file_path": "b"}, f"{D} got multiple values for argument 'file_path'"),
        ((M, 12), {"n_digits": 15}, f"{D} got multiple values for argument 'n_digits'"),
        ((M,), {"file_path": "b"}, f"{D} got multiple values for argument 'file_path'"),
        # The first bad keyword, in the order given, wins.
        ((M, 12), {"zzz": 1, "file_path": "b"}, f"{D} got an unexpected keyword argument 'zzz'"),
        ((M, 12), {"file_path": M, "zzz": 1}, f"{D} got multiple values for argument 'file_path'"),
        # A keyword name that has no UTF-8 form.
        ((), {"\ud800": 1}, f"{D} got an unexpected keyword argument '\ud800'"),
        ((M, 12), {"\udfff": 1}, f"{D} got an unexpected keyword argument '\udfff'"),
    ],
)
def test_binding_errors(refused, args, kwargs, message):
    assert refused(TypeError, *args, **kwargs).args == (message,)


# --- file_path --------------------------------------------------------------------
PATH_TYPE = type(pathlib.Path("a.plt")).__qualname__
NESTED = type("Inner", (), {"__qualname__": "Holder.Inner"})


@pytest.mark.parametrize("n_digits", [12, 1.5, -1, 2**64, Index(error=ValueError("never"))])
@pytest.mark.parametrize(
    "value, shown",
    [
        (b"a.plt", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (pathlib.Path("a.plt"), f"'{PATH_TYPE}' object is not an instance of 'str'"),
        (12, "'int' object is not an instance of 'str'"),
        (True, "'bool' object is not an instance of 'str'"),
        (bytearray(b"a"), "'bytearray' object is not an instance of 'str'"),
        (NESTED(), "'Holder.Inner' object is not an instance of 'str'"),
    ],
)
def test_file_path_not_a_str(refused, value, shown, n_digits):
    # The file_path error wins: n_digits is not even converted.
    exc = refused(TypeError, value, n_digits)
    assert exc.args == ("argument 'file_path': " + shown,)
    assert exc.__cause__ is None and exc.__suppress_context__
    assert getattr(n_digits, "calls", 0) == 0


@pytest.mark.parametrize("path", ["\ud800.plt", "a\udcff"])
def test_file_path_lone_surrogate(refused, path):
    exc = refused(UnicodeEncodeError, path, 12)
    with pytest.raises(UnicodeEncodeError) as interpreters:
        path.encode("utf-8")
    assert exc.args == interpreters.value.args and exc.object == path


# --- n_digits ---------------------------------------------------------------------
# An int is taken by its value; its own __index__ is not consulted.
OddInt = type("OddInt", (int,), {"__index__": lambda self: 99})


@pytest.mark.parametrize(
    "n_digits, content, expected",
    [
        (True, ONE_BYTE_FIELD, ([7.0], [])),
        (OddInt(1), ONE_BYTE_FIELD, ([7.0], [])),
        (Index(15), HEADER3 + "lead\n" + "1.5".rjust(15) * 3 + "\n", ([1.5], [[1.5], [1.5]])),
        (2**64 - 1, HEADER3, ([], [[], []])),
        (0, HEADER3, ([], [[], []])),
        (False, HEADER3, ([], [[], []])),
    ],
)
def test_n_digits_accepted(plot_file, n_digits, content, expected):
    assert read(plot_file(content), n_digits) == expected


# The largest value is valid; the first field then lies beyond its line. Three
# fields of (2^64 + 2) / 3 bytes wrap around to 2 bytes in 64-bit arithmetic.
@pytest.mark.parametrize("n_digits", [2**64 - 1, (2**64 + 2) // 3])
def test_huge_n_digits_reach_the_reader(plot_file, n_digits):
    path = plot_file(HEADER3 + "lead\n 1.00000E+00 2.00000E+00 3.00000E+00\n")
    with pytest.raises(BaseException) as caught:
        read(path, n_digits)
    assert type(caught.value).__name__ == "PanicException"
    assert not isinstance(caught.value, Exception) and str(caught.value) != ""


@pytest.mark.parametrize("value", [12.0, 1.5, "12", None, 1j, Index(1.5), Index("15")])
def test_n_digits_type_error_is_rewrapped(refused, value):
    # The interpreter's own message, prefixed with the parameter name.
    with pytest.raises(TypeError) as interpreters:
        operator.index(value)
    exc = refused(TypeError, MISSING, value)
    assert exc.args == ("argument 'n_digits': " + str(interpreters.value),)
    assert exc.__cause__ is None and exc.__suppress_context__ is True
    assert exc.__context__ is None


NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"


@pytest.mark.parametrize(
    "value, message",
    [(-1, NEGATIVE), (-(2**70), NEGATIVE), (Index(-1), NEGATIVE),
     (2**64, TOO_BIG), (2**100, TOO_BIG), (Index(2**64), TOO_BIG)],
)
def test_n_digits_out_of_range(refused, value, message):
    # The interpreter's own error, not prefixed with the parameter name.
    assert refused(OverflowError, MISSING, value).args == (message,)


TypeErrorSubclass = type("TypeErrorSubclass", (TypeError,), {})


@pytest.mark.parametrize(
    "error", [ValueError("no"), OverflowError("big"), KeyboardInterrupt(), TypeErrorSubclass()]
)
def test_index_error_other_than_type_error_passes_unchanged(refused, error):
    assert refused(type(error), MISSING, Index(error=error)) is error


def test_index_type_error_rewrapped_keeps_its_cause(refused):
    original, cause = TypeError("boom"), KeyError("why")
    original.__cause__ = cause
    exc = refused(TypeError, MISSING, Index(error=original))
    assert exc is not original and exc.args == ("argument 'n_digits': boom",)
    assert exc.__cause__ is cause and exc.__suppress_context__ is True
    assert exc.__context__ is not original
