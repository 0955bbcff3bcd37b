"""The README's Python: every block is a file of python/snippets word for word, and each runs."""

import os
import pathlib
import re
import subprocess
import sys

import orvterdep
from conftest import ORVTER, SOURCE, VENV_BLOCK, gen_cloud, runnable_blocks
from orvterdep import tiles

SNIPPETS = ["read_points", "keep_ground", "laspy_object", "stream_origin", "packet", "tiles_summary"]


def test_every_python_block_is_a_snippet_word_for_word():
    readme = (SOURCE / "README.md").read_text()
    blocks = re.findall(r"<!-- (python/snippets/\w+\.py) -->\n```python\n(.*?)```\n", readme, re.S)
    assert readme.count("```python\n") == len(blocks), "a Python block that no test runs"
    assert [path for path, _ in blocks] == [f"python/snippets/{n}.py" for n in SNIPPETS]
    for path, body in blocks:
        assert body == (SOURCE / path).read_text(), f"the README's copy of {path} differs"


def test_snippets_run_on_clouds_and_a_document(tmp_path):
    cloud = gen_cloud(tmp_path / "cloud.las", 25_000)
    other = gen_cloud(tmp_path / "other.las", 5_000, seed=2)
    (tmp_path / "project.xml").write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<project><survey><crs unit="m">EPSG:25832</crs>'
        "</survey></project>\n")
    cases = [
        ("read_points", [cloud], "point format 0, 25000 points"),
        ("keep_ground", [cloud, tmp_path / "ground.las"], "ground points"),
        ("laspy_object", [cloud], "after appending"),
        ("stream_origin", [cloud], "read 25000 points, highest"),
        ("packet", [tmp_path / "project.xml"], "crs: EPSG:25832 m\n25000\n"),
        ("tiles_summary", [cloud, other], "2 tiles, 30000 points"),
    ]
    # The snippets import the package the tests import, wherever they run.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(orvterdep.__file__)))
    for name, args, expected in cases:
        run = subprocess.run([sys.executable, str(SOURCE / "python/snippets" / f"{name}.py"),
                              *map(str, args)], capture_output=True, text=True, cwd=tmp_path,
                             env=env)
        assert run.returncode == 0 and expected in run.stdout, f"{name}:\n{run.stdout}{run.stderr}"


def test_the_xargs_line_converts_as_the_tile_map_does(tmp_path):
    readme = (SOURCE / "README.md").read_text()
    [line] = [l for l in readme.splitlines() if l.startswith("ls /data/tiles/*.las | xargs")]
    (tmp_path / "tiles").mkdir()
    (tmp_path / "ground").mkdir()
    paths = [gen_cloud(tmp_path / "tiles" / f"t{i}.las", 3_000, seed=i) for i in range(3)]
    env = dict(os.environ, PATH=f"{ORVTER.parent}:{os.environ['PATH']}")
    subprocess.run(line.replace("/data", str(tmp_path)), shell=True, check=True, env=env)
    for p in paths:
        tiles.convert_tile(p, tmp_path / f"{p.name}.py.las", keep_classes=[2])
        assert orvterdep.read(tmp_path / "ground" / p.name)[1].tobytes() == \
            orvterdep.read(tmp_path / f"{p.name}.py.las")[1].tobytes()


def readme_path(readme):
    """PATH as the README's line sets it from the clone, with this build's tools in it."""
    [line] = runnable_blocks(readme, "path")
    run = subprocess.run(["bash", "-eu", "-c", line + 'printf %s "$PATH"'], cwd=SOURCE,
                         capture_output=True, text=True, check=True)
    first, rest = run.stdout.split(":", 1)
    assert pathlib.Path(first) == SOURCE / "build/release/tools", run.stdout
    assert rest == os.environ["PATH"]
    # Another preset's build (a sanitizer's) stands in for the release build the line names.
    return f"{ORVTER.parent}:{rest}"


def test_every_runnable_block_runs_in_an_empty_folder(tmp_path):
    readme = (SOURCE / "README.md").read_text()
    blocks = runnable_blocks(readme)
    assert len(blocks) >= 2
    # A marker spelled otherwise would leave its block unrun; the venv block runs in
    # slow_pip_install.py.
    assert readme.count("<!-- runnable") == len(blocks) + len(runnable_blocks(readme, VENV_BLOCK))
    env = dict(os.environ, PATH=readme_path(readme),
               PYTHONPATH=os.path.dirname(os.path.dirname(orvterdep.__file__)))
    for i, block in enumerate(blocks):
        folder = tmp_path / str(i)
        folder.mkdir()
        run = subprocess.run(["bash", "-eu", "-c", block], cwd=folder, env=env,
                             capture_output=True, text=True)
        assert run.returncode == 0, f"{block}\n{run.stdout}{run.stderr}"


def test_the_readme_names_every_folder_and_no_stale_claim():
    readme = (SOURCE / "README.md").read_text()
    for stale in ("writes LAS 1.1 files", "not decoded yet"):
        assert stale not in readme
    layout = readme[readme.index("## Layout"):]
    folders = [p.name for p in SOURCE.iterdir()
               if p.is_dir() and (p / "CMakeLists.txt").exists()]
    for name in folders:
        assert f"`{name}/`" in layout, f"{name}/ is not in the layout table"
