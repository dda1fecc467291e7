"""Builds tests/cpp/core_checks.cpp against the core sources alone (no Python headers), runs it."""
import glob
import os
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "c++")) is None, reason="no C++ compiler")
def test_core_checks(tmp_path):
    binary = tmp_path / "core_checks"
    sources = sorted(glob.glob(os.path.join(REPO, "src", "core", "*.cpp")))
    subprocess.run([os.environ.get("CXX", "c++"), "-std=c++20", "-O1", "-Wall", "-Wextra",
                    "-Werror", "-I", os.path.join(REPO, "src"),
                    os.path.join(REPO, "tests", "cpp", "core_checks.cpp"), *sources,
                    "-o", str(binary), "-pthread"], check=True)
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("0 failures")
