"""Builds the kr2270 wheel: the package with the C library and the simulated
module in kr2270/_native, so that `pip install` of the wheel needs nothing
else (libmodbus, which the simulated module uses, travels with it).

    /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps -w dist python/

The native programs come from a CMake build of this source tree:
KR2270_BUILD_DIR names a build to take them from (relative to the top of the
tree, or absolute); otherwise build-wheel/ at
the top of the tree is configured (Release) and only they are built.
"""
import os
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LIBRARY = "libkr2270c.so.1"
SIMULATOR = "kr2270-sim"


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(kr2270c VERSION ([0-9.]+)", f.read()).group(1)


def native_build():
    given = os.environ.get("KR2270_BUILD_DIR")
    if given:  # relative to the top of the tree, where build folders live
        return os.path.join(ROOT, given)
    build = os.path.join(ROOT, "build-wheel")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.check_call(["cmake", "-S", ROOT, "-B", build, *generator,
                           "-DCMAKE_BUILD_TYPE=Release", "-DKR2270_BUILD_TESTS=OFF",
                           "-DKR2270_BUILD_TOOLS=OFF", "-DKR2270_BUILD_BENCH=OFF",
                           "-DKR2270_BUILD_EXAMPLES=OFF", "-DKR2270_INSTALL_PYTHON=OFF"])
    subprocess.check_call(["cmake", "--build", build, "--target", "kr2270c", SIMULATOR,
                           "--parallel", os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")])
    return build


def shared_libraries_of(program, names):
    """The paths the dynamic loader resolves for `names` (as ldd shows them)."""
    out = subprocess.run(["ldd", program], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "=>" and parts[0].split(".so")[0] in names:
            found[parts[0]] = parts[2]
    return found


class build_with_native(build_py):
    """The package, then the library, the simulated module and libmodbus in
    kr2270/_native (the module's run path is $ORIGIN: it finds libmodbus
    beside itself)."""

    def run(self):
        super().run()
        build = native_build()
        sources = {LIBRARY: os.path.join(build, LIBRARY),
                   SIMULATOR: os.path.join(build, "sim", SIMULATOR)}
        for name, path in sources.items():
            if not os.path.exists(path):
                raise SystemExit(f"setup.py: {path} is missing; build it "
                                 f"(cmake --build {build} --target kr2270c {SIMULATOR})")
        sources.update(shared_libraries_of(sources[SIMULATOR], {"libmodbus"}))
        native = os.path.join(self.build_lib, "kr2270", "_native")
        os.makedirs(native, exist_ok=True)
        strip = shutil.which("strip")
        for name, path in sources.items():
            target = os.path.join(native, name)
            shutil.copyfile(os.path.realpath(path), target)
            shutil.copymode(os.path.realpath(path), target)
            if strip:  # debug information would make up most of the wheel
                subprocess.check_call([strip, "--strip-unneeded", target])
        notice = "/usr/share/doc/libmodbus5/copyright"
        if os.path.exists(notice):
            shutil.copyfile(notice, os.path.join(native, "libmodbus.copyright"))


class NativeDistribution(Distribution):
    """Native files inside: installed as platform files, not pure Python."""

    def has_ext_modules(self):
        return True


class platform_wheel(bdist_wheel):
    """Tagged for this platform and any Python 3: the package reaches the
    library through ctypes, so no Python ABI is involved."""

    def get_tag(self):
        return ("py3", "none", super().get_tag()[2])


setup(version=project_version(), packages=["kr2270"], distclass=NativeDistribution,
      cmdclass={"build_py": build_with_native, "bdist_wheel": platform_wheel})
