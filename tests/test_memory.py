"""Running out of memory for the module's own data raises MemoryError and the
interpreter goes on working: the file is closed and everything the read held
is released."""

import os

import pytest

from conftest import limit_address_space, run_python

# AddressSanitizer reserves terabytes of address space for its shadow memory,
# so a process under it cannot run with a tight RLIMIT_AS; the sanitizer job
# (tools/sanitize.sh) sets this variable.
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("TOLVIK_SANITIZED")),
    reason="address space limits do not work under AddressSanitizer",
)

# The child limits its address space to what it uses now plus a margin, then
# reads a file that needs far more than the margin.
SCRIPT = r"""
import sys
import tolvik

big, good = sys.argv[1], sys.argv[2]
""" + limit_address_space(256) + r"""
for attempt in range(3):
    try:
        tolvik.rust_read_tarvelo(big, 12)
    except MemoryError as e:
        print("MemoryError:", e)
    else:
        print("no error")
print(tolvik.rust_read_tarvelo(good, 4))
print("fds unchanged:", sorted(os.listdir("/proc/self/fd")) == fds)
"""


@pytest.fixture
def good_file(plot_file):
    return plot_file("x 2\na\nb\nl\n 1.0 2.0\n")


def check(big, good):
    code, out, err = run_python(SCRIPT, big, good)
    assert code == 0, err
    lines = out.splitlines()
    assert len(lines) == 5, out
    for line in lines[:3]:
        assert line.startswith("MemoryError: memory allocation of ")
        assert line.endswith(" bytes failed")
    assert lines[3:] == ["([1.0], [[2.0]])", "fds unchanged: True"]
    assert err == ""  # not a failure of the reader: no diagnostic


def test_enormous_line(tmp_path, good_file):
    big = tmp_path / "big.plt"
    with open(big, "wb") as f:
        f.write(b"x 1\nname\nlead\n")
        chunk = b" 1.0" * (2**20 // 4)
        for _ in range(512):  # one 512 MB data line
            f.write(chunk)
        f.write(b"\n")
    check(str(big), good_file)


def test_huge_parameter_count_with_all_its_names(tmp_path, good_file):
    n = 50_000_000  # 50 million empty name lines; its columns would need over 1 GB
    big = tmp_path / "names.plt"
    with open(big, "wb") as f:
        f.write(b"x %d\n" % n)
        f.write(b"\n" * n)
    check(str(big), good_file)
