"""Internal failures at the call boundary become PanicException, or abort when even that fails.

The probe extension compiles the module's own boundary code with entry points that throw."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")

# The suite also runs against an installed wheel, on a machine without a compiler.
pytestmark = pytest.mark.skipif(shutil.which(COMPILER) is None, reason="no C++ compiler")


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("probe")
    target = out / ("panic_probe" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so"))
    subprocess.run([COMPILER, "-std=c++20", "-O1", "-shared", "-fPIC",
                    "-I", sysconfig.get_paths()["include"], "-I", os.path.join(REPO, "src"),
                    os.path.join(REPO, "tests", "cpp", "panic_probe.cpp"),
                    os.path.join(REPO, "src", "binding", "boundary.cpp"), "-o", str(target)],
                   check=True)
    return str(out)


def run_probe(probe_dir, code):
    return subprocess.run([sys.executable, "-c", "import panic_probe as p\n" + code],
                          cwd=probe_dir, capture_output=True, text=True, timeout=60)


def test_failures_become_panic_exception(probe_dir):
    result = run_probe(probe_dir, """
PanicException = p.arm()
assert PanicException.__bases__ == (BaseException,)
for _ in range(3):  # the module stays usable after each failure
    try:
        p.throw_runtime("invariant broken")
    except Exception:
        raise SystemExit("caught by except Exception")
    except PanicException as e:
        assert e.args == ("invariant broken",), e.args
    try:
        p.throw_unknown()
    except PanicException as e:
        assert len(e.args) == 1 and e.args[0], e.args
print("ok")
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_a_panic_that_cannot_be_raised_aborts(probe_dir):
    result = run_probe(probe_dir, "p.throw_runtime('no exception class yet')")
    assert result.returncode < 0  # killed by SIGABRT, never returned into the interpreter
    assert "uncaught panic at ffi boundary" in result.stderr
