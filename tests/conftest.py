"""Helpers shared by the tests of tolvik.

``plot_file``  fixture: writes a plot file into the test's temporary folder.
``run_python`` function: runs a snippet in a fresh interpreter, for checks on
               what a whole process writes to its standard streams (the
               backtrace hint appears once per process, so those checks need a
               process of their own).
``limit_address_space`` function: the start of such a snippet that lets the
               process have only a little more memory than it holds.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest
import tolvik

# Set in the environment, this asks the module for a stack backtrace after a
# failure diagnostic instead of the one-line hint.
BACKTRACE_VARIABLE = "TOLVIK_BACKTRACE"


@pytest.fixture
def plot_file(tmp_path):
    """Return ``write(content, name=None) -> str``.

    ``content`` is str (written as UTF-8, line ends kept exactly as given: no
    newline translation) or bytes (written as they are). Each call without a
    ``name`` writes a new file (plot0.plt, plot1.plt, ...) in ``tmp_path``.
    The result is the file's path as a str.
    """
    counter = iter(range(1_000_000))

    def write(content: str | bytes, name: str | None = None) -> str:
        if name is None:
            name = f"plot{next(counter)}.plt"
        data = content.encode("utf-8") if isinstance(content, str) else bytes(content)
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


def run_python(
    code: str,
    *args: str,
    env: dict[str, str] | None = None,
    cwd: str | os.PathLike | None = None,
    timeout: float = 120,
) -> tuple[int, str, str]:
    """Run ``code`` (dedented) with ``sys.executable -c`` in a new process.

    Returns ``(returncode, stdout, stderr)``; both streams are decoded as UTF-8
    with ``surrogateescape``, so no byte is lost or changed. ``args`` become
    ``sys.argv[1:]`` of the snippet.

    The child inherits this process's environment with two changes: the folder
    that ``tolvik`` was imported from comes first on PYTHONPATH (so the child
    imports the same build), and TOLVIK_BACKTRACE is removed (so the failure
    diagnostic has its default form). ``env`` adds or overrides variables.
    """
    child_env = dict(os.environ)
    child_env.pop(BACKTRACE_VARIABLE, None)
    module_dir = os.path.dirname(os.path.abspath(tolvik.__file__))
    path = child_env.get("PYTHONPATH")
    child_env["PYTHONPATH"] = module_dir + (os.pathsep + path if path else "")
    child_env["PYTHONIOENCODING"] = "utf-8"
    if env:
        child_env.update(env)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        env=child_env,
        cwd=cwd,
        timeout=timeout,
    )
    decode = lambda data: data.decode("utf-8", "surrogateescape")  # noqa: E731
    return done.returncode, decode(done.stdout), decode(done.stderr)


def limit_address_space(margin_mib: int) -> str:
    """Code that limits the process's address space to what it uses now plus
    ``margin_mib`` MiB and keeps its open descriptors in ``fds``."""
    return f"""
import os, resource
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
limit = used + {margin_mib} * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
fds = sorted(os.listdir("/proc/self/fd"))
"""
