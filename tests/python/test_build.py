"""The build itself: what CMake refuses before compiling anything."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


# A free-threaded interpreter would load a module that relies on the GIL.
# Simulated: this interpreter, with sysconfig reporting Py_GIL_DISABLED.
@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_configure_refuses_a_free_threaded_python(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(
        "import sysconfig\n"
        "_real = sysconfig.get_config_var\n"
        "sysconfig.get_config_var = lambda name: 1 if name == 'Py_GIL_DISABLED' else _real(name)\n"
    )
    # Not the sanitizer runtime of a sanitized test run: cmake is not built for it.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "LSAN_", "UBSAN_"))}
    env["PYTHONPATH"] = str(site)
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    done = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), *generator, f"-DPython_EXECUTABLE={sys.executable}"],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode != 0
    assert "free-threaded CPython build (Py_GIL_DISABLED)" in " ".join(done.stderr.split())
