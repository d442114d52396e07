"""The extension module brindlecap._native is built by the project's CMake build, and the version is
the one of CMakeLists.txt; everything else is in pyproject.toml. Offline: pip install --no-build-isolation ."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    """The version of the project() call in CMakeLists.txt, the project's one place for it."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(\s*brindlecap_filtrations\s+VERSION\s+([0-9.]+)", cmake.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        package_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBRINDLECAP_BUILD_TESTS=OFF",
            "-DBRINDLECAP_BUILD_BENCH=OFF",
            "-DBRINDLECAP_BUILD_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
            f"-DBRINDLECAP_PYTHON_OUTPUT_DIR={package_dir}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.check_call(configure)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "brindlecap_native", "-j", jobs])


setup(version=project_version(), ext_modules=[Extension("brindlecap._native", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
