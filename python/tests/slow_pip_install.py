"""The README's venv block, line for line, in a fresh copy of the sources: pip compiles the library
offline into a new venv, and the venv's interpreter imports the package.

Run as its own ctest case (it builds the library once more): Python.PipInstall.
"""

import os
import shutil
import subprocess
import time

from conftest import SOURCE, VENV_BLOCK, runnable_blocks

SKIP = shutil.ignore_patterns("build", ".git", "node_modules", "__pycache__", "*.egg-info", "venv")


def test_the_readme_venv_block_installs_the_package(tmp_path):
    [block] = runnable_blocks((SOURCE / "README.md").read_text(), VENV_BLOCK)
    source = tmp_path / "src"
    shutil.copytree(SOURCE, source, ignore=SKIP, symlinks=True)
    # As a user's shell has it: no build tree on the module path, no index to fetch from.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PIP_NO_INDEX="1", PIP_QUIET="1")
    started = time.monotonic()
    run = subprocess.run(["bash", "-eu", "-c", block], cwd=source, env=env, capture_output=True,
                         text=True)
    print(f"the README's venv block took {time.monotonic() - started:.0f} s")
    assert run.returncode == 0, run.stdout + run.stderr
    version = (SOURCE / "CMakeLists.txt").read_text().split("project(OrvTerDep VERSION ")[1].split()[0]
    printed_version, printed_file = run.stdout.split("\n")[-2].split(" ", 1)
    assert printed_version == version
    assert printed_file.startswith(str(source / "venv")), printed_file
    probe = "import orvterdep; print(hasattr(orvterdep, 'np')); orvterdep.Packet()"
    out = subprocess.run([str(source / "venv/bin/python"), "-c", probe], capture_output=True,
                         text=True, env=env, cwd=tmp_path, check=True).stdout
    assert out == "False\n"
