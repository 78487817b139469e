"""The type stub: it agrees with the module, it is installed where type checkers
look, and mypy accepts correct calls and refuses the ones the module refuses."""

import ast
import inspect
import re
import shutil
from pathlib import Path

import pytest
import tolvik

STUB_SOURCE = Path(__file__).resolve().parent.parent / "src" / "tolvik.pyi"
ARRAYS_STUB = STUB_SOURCE.parent / "tolvik_arrays" / "__init__.pyi"
MODULE_DIR = Path(tolvik.__file__).resolve().parent
# Where an installed distribution puts the stub: beside the extension (read by
# pyright and editors) and as a stub-only package (mypy finds single-module
# stubs in site-packages only this way).
INSTALLED_STUBS = [MODULE_DIR / "tolvik.pyi", MODULE_DIR / "tolvik-stubs" / "__init__.pyi"]


def stub_function():
    tree = ast.parse(STUB_SOURCE.read_text(encoding="utf-8"))
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assignments = {
        target.id: ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign)
        for target in node.targets
        if isinstance(target, ast.Name)
    }
    return functions, assignments


def test_stub_agrees_with_module():
    functions, assignments = stub_function()
    assert assignments["__all__"] == tolvik.__all__
    assert [f.name for f in functions] == tolvik.__all__
    function = functions[0]
    runtime = tolvik.rust_read_tarvelo
    names = ", ".join(arg.arg for arg in function.args.args)
    assert f"({names})" == runtime.__text_signature__
    assert inspect.cleandoc(ast.get_docstring(function, clean=False)) == inspect.cleandoc(
        runtime.__doc__
    )


def test_installed_stubs_match_source():
    if not INSTALLED_STUBS[1].parent.is_dir():
        pytest.skip("no stubs installed beside the imported tolvik (a development build)")
    source = STUB_SOURCE.read_bytes()
    for path in INSTALLED_STUBS:
        assert path.read_bytes() == source, path


ACCEPTED = """\
import tolvik

class Width:
    def __index__(self) -> int:
        return 12

result: tuple[list[float], list[list[float]]] = tolvik.rust_read_tarvelo("run.plt", 12)
times, columns = tolvik.rust_read_tarvelo(file_path="run.plt", n_digits=Width())
last: float = times[-1]
peaks: list[float] = [max(values) for values in columns]
names: list[str] = tolvik.__all__

import pathlib
import tolvik_arrays

plot = tolvik_arrays.read_plot(pathlib.Path("run.plt"), n_digits=12)
first: float = float(plot.times[0])
rows: int = plot.values.shape[0]
labels: tuple[str, ...] = plot.names
frame = plot.to_frame()
try:
    tolvik_arrays.read_plot(b"run.plt", Width())
except tolvik_arrays.PlotFormatError as error:
    where: tuple[str, int, str] = (error.path, error.line, error.message)
"""

# Calls that the module refuses at run time, with the error mypy must give.
REJECTED = {
    "bytes_path": (
        'tolvik.rust_read_tarvelo(b"run.plt", 12)',
        'Argument 1 to "rust_read_tarvelo" has incompatible type "bytes"; expected "str"',
    ),
    "path_object": (
        'tolvik.rust_read_tarvelo(pathlib.Path("run.plt"), 12)',
        'Argument 1 to "rust_read_tarvelo" has incompatible type "Path"; expected "str"',
    ),
    "float_width": (
        'tolvik.rust_read_tarvelo("run.plt", 12.0)',
        'Argument 2 to "rust_read_tarvelo" has incompatible type "float"; '
        'expected "SupportsIndex"',
    ),
}


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory, monkeypatch_module):
    """Run mypy --strict once over the accepted snippet and every rejected one;
    return its output lines by file name."""
    api = pytest.importorskip("mypy.api")
    folder = tmp_path_factory.mktemp("typing")
    (folder / "accepted.py").write_text(ACCEPTED)
    for name, (call, _) in REJECTED.items():
        (folder / f"rejected_{name}.py").write_text(f"import pathlib\nimport tolvik\n\n{call}\n")
    if not INSTALLED_STUBS[1].is_file():
        # A development build on PYTHONPATH: give mypy the stub from the sources.
        stubs = folder / "stubs"
        stubs.mkdir()
        shutil.copy(STUB_SOURCE, stubs / "tolvik.pyi")
        shutil.copytree(ARRAYS_STUB.parent, stubs / "tolvik_arrays", ignore=shutil.ignore_patterns("*.py"))
        monkeypatch_module.setenv("MYPYPATH", str(stubs))
    monkeypatch_module.chdir(folder)
    files = sorted(str(path.name) for path in folder.glob("*.py"))
    stdout, stderr, _ = api.run(["--strict", "--no-incremental", "--cache-dir", "/dev/null", *files])
    assert not stderr
    report = {name: [] for name in files}
    for line in stdout.splitlines():
        file_name = line.split(":", 1)[0]
        if file_name in report:
            report[file_name].append(line)
    return report


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


def test_mypy_accepts_correct_use(mypy_report):
    assert mypy_report["accepted.py"] == []


@pytest.mark.parametrize("name", REJECTED)
def test_mypy_rejects_wrong_arguments(mypy_report, name):
    lines = mypy_report[f"rejected_{name}.py"]
    expected = re.escape(f"rejected_{name}.py:4: error: {REJECTED[name][1]}") + r"\s+\[arg-type\]"
    assert len(lines) == 1 and re.fullmatch(expected, lines[0]), lines
