"""The host survives a bad day: a full file system under the shard directory, and interpreters
that are not the main one."""

import errno
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

CAN_MOUNT = (os.geteuid() == 0 and shutil.which("unshare") is not None
             and shutil.which("mount") is not None)


def run(code, env=None, wrapper=()):
    return subprocess.run([*wrapper, sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, **(env or {})})


FULL_FS_SWITCHES = {
    "set_multiproc_dir": ({}, "core.set_multiproc_dir(DIR + '/shards')"),
    "environment": ({"VTR_MULTIPROC_DIR": "{dir}/shards"}, "pass"),
}


@pytest.mark.skipif(not CAN_MOUNT, reason="needs root, unshare and mount")
@pytest.mark.parametrize("switch", sorted(FULL_FS_SWITCHES), ids=str)
def test_full_file_system_leaves_the_mode_off(tmp_path, switch):
    # A 64 KB tmpfs, filled, in a private mount namespace: a shard whose blocks were never
    # reserved would take the worker down with SIGBUS at its first request.
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    env, enable = FULL_FS_SWITCHES[switch]
    env = {key: value.format(dir=mount_point) for key, value in env.items()}
    script = f"""
        import subprocess
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", {str(mount_point)!r}],
                       check=True)
        import os
        filler = os.open({str(mount_point / "filler")!r}, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"x" * 4096):
                pass
        except OSError:
            pass
        DIR = {str(mount_point)!r}
        import vantorel
        from vantorel import _core as core, _native
        {enable}
        core.record_request("GET", "/", 200, 1.5)
        print(core.multiproc_enabled(), _native.multiproc_failure()[:2],
              core.aggregate().total_requests)
    """
    result = run(script, env=env, wrapper=("unshare", "-m", "--propagation", "private"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == f"False ('reserve space', {errno.ENOSPC}) 1"


def subinterpreter_script(order):
    return f"""
        try:
            import _interpreters as interpreters  # 3.13
        except ImportError:
            import _xxsubinterpreters as interpreters

        def legacy_interpreter():
            # A subinterpreter that shares the main one's GIL, as mod_wsgi makes them: an isolated
            # one (3.12's default) refuses every single-phase extension module by itself.
            for how in ({{"isolated": False}}, {{"config": "legacy"}}):
                try:
                    return interpreters.create(**how)
                except TypeError:
                    pass
            return interpreters.create()

        def in_subinterpreter(code):
            interp = legacy_interpreter()
            try:
                if hasattr(interpreters, "run_string"):
                    try:
                        failure = interpreters.run_string(interp, code)
                    except Exception as exc:  # RunFailedError before 3.13
                        failure = exc
                else:
                    failure = interpreters.exec(interp, code)
                print("subinterpreter:", failure)
            finally:
                interpreters.destroy(interp)

        if {order!r} == "main first":
            import vantorel
            in_subinterpreter("import vantorel")
        else:
            in_subinterpreter("import vantorel")
            import vantorel
        from vantorel import _core
        _core.record_request("GET", "/", 200, 1.0)
        print([r.path for r in _core.get_requests()], _core.hello())
    """


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="CPython's subinterpreters")
@pytest.mark.parametrize("order", ["main first", "subinterpreter first"])
def test_a_subinterpreter_cannot_wreck_the_module(order):
    result = run(subinterpreter_script(order))
    assert result.returncode == 0, result.stderr
    sub_line, main_line = result.stdout.splitlines()[-2:]
    assert "ImportError" in sub_line and "cannot be imported in a subinterpreter" in sub_line
    assert main_line == "['/'] vantorel v0.3.0 \u2014 Kerrow core running!"
