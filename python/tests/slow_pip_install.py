"""`pip install --no-build-isolation .` from a copy of the sources, offline, into a fresh venv.

Run as its own ctest case (it builds the library once more): Python.PipInstall.
"""

import os
import shutil
import subprocess
import sys

from conftest import SOURCE

SKIP = shutil.ignore_patterns("build", ".git", "node_modules", "__pycache__", "*.egg-info")


def test_pip_installs_the_package_into_the_running_interpreter(tmp_path):
    source = tmp_path / "src"
    shutil.copytree(SOURCE, source, ignore=SKIP, symlinks=True)
    venv = tmp_path / "venv"
    # The venv sees the system's numpy, so nothing is fetched.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          "--quiet", str(source)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    probe = ("import orvterdep; print(orvterdep.__version__); print(orvterdep.__file__); "
             "print(hasattr(orvterdep, 'np')); orvterdep.Packet()")
    out = subprocess.run([str(python), "-c", probe], capture_output=True, text=True, env=env,
                         cwd=tmp_path, check=True).stdout.split("\n")
    version = (SOURCE / "CMakeLists.txt").read_text().split("project(OrvTerDep VERSION ")[1].split()[0]
    assert out[0] == version
    assert out[1].startswith(str(venv)), out[1]
    assert out[2] == "False"
