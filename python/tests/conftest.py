"""Shared by the package's tests: where the build's files are, and a Board on
the simulated card. TV940_EXPECT_PACKAGE names the folder the package under
test must come from (the build tree or an installed prefix)."""

import os
import subprocess
import sys

import pytest

import tv940

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TV940_BUILD_DIR", os.path.join(SOURCE, "build"))
DESIGNS = os.path.join(SOURCE, "designs")


def pytest_report_header(config):
    return f"tv940 {tv940.__version__} from {tv940.__file__}, library {tv940.library_path}"


@pytest.fixture(scope="session", autouse=True)
def package_under_test():
    expected = os.environ.get("TV940_EXPECT_PACKAGE")
    if expected:
        assert os.path.abspath(tv940.__file__).startswith(os.path.abspath(expected) + os.sep)


@pytest.fixture
def board(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with tv940.Board("sim") as b:
        yield b


def run_python(code, cwd, env=None, check=True, args=()):
    """Runs code in a Python process of its own (a trace, a library choice
    and an import failure are per process), args as its sys.argv[1:]; its
    completed process."""
    full = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tv940.__file__)))
    full["PYTHONPATH"] = os.pathsep.join(
        [package_root] + [p for p in full.get("PYTHONPATH", "").split(os.pathsep) if p])
    full.update(env or {})
    result = subprocess.run([sys.executable, "-c", code, *args], cwd=cwd, env=full,
                            capture_output=True, text=True, timeout=300)
    if check:
        assert result.returncode == 0, result.stderr
    return result
